// The one walker of the RLE format's line codes. The check at
// load and at rle565_sprite_open(), the decoders of blitImage and mode b, the
// inspector and the size-optimised drawing runtime all read line codes
// through walkLine(), each with a visitor of its own, so that what counts as
// sound is decided in one place and each visitor compiles to a loop of its
// own. Two walkers beside it are kept for speed alone and held to it by
// tests: LineScan below, and rle565_draw's drawLine() in draw_line.h.
//
// Freestanding: nothing beyond <stddef.h> and <stdint.h> (and SSE2 where the
// compiler offers it), so the runtime built for a microcontroller includes it.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

// RLE565_NO_SIMD leaves the lanes out, so that the plain paths are built and
// tested on a host that has them too.
#if defined(__SSE2__) && !defined(RLE565_NO_SIMD)
#include <emmintrin.h>
#define RLE565_WALK_SSE2 1
#endif

namespace rle565 {

// How many literal codes, from 1 up, name an entry below nEntries from this base.
inline uint32_t literalsBelow(uint32_t nEntries, uint32_t base) {
    if (nEntries <= base) return 0;
    const uint32_t nAbove = nEntries - 1 - base;
    return nAbove < CODE_LITERAL_MAX ? nAbove : CODE_LITERAL_MAX;
}

// What walkLine() found: the first fault (RLE565_OK when none) and the pixels
// the codes covered before it.
struct LineWalk {
    int fault;
    uint32_t n;
};

// Where short codes end: the number of leading bytes at p, up to `most`, that
// are skip codes or literal codes up to nLiterals, which is exactly the bytes
// of at most nLiterals.
inline uint32_t shortCodesAt(const uint8_t* p, uint32_t most, uint32_t nLiterals) {
    uint32_t k = 0;
    while (k < most && p[k] <= nLiterals) ++k;
    return k;
}

#ifdef RLE565_WALK_SSE2

// The same for the 16 bytes at p, sixteen at a time: `limit` holds nLiterals
// in every lane, made once per palette base rather than once per look.
inline uint32_t shortCodesAhead(const uint8_t* p, __m128i limit, uint32_t most) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i excess = _mm_subs_epu8(bytes, limit);
    const auto within =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128())));
    const auto count = static_cast<uint32_t>(__builtin_ctz(~within | 0x10000u));
    return count < most ? count : most;
}

// Whether the four bytes at p are all short codes, `limit` as above.
inline bool fourShortCodes(const uint8_t* p, __m128i limit) {
    uint32_t four;
    __builtin_memcpy(&four, p, sizeof four);
    const __m128i excess = _mm_subs_epu8(_mm_cvtsi32_si128(static_cast<int>(four)), limit);
    return (_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128())) & 0xF) == 0xF;
}

inline __m128i byteLimit(uint32_t limit) {
    return _mm_set1_epi8(static_cast<char>(static_cast<uint8_t>(limit)));
}

#endif

// Whether a visitor takes stretches of short codes through stretch() (below).
template <class Visitor>
constexpr bool takesStretch() {
    if constexpr (requires { Visitor::TAKES_STRETCH; }) {
        return Visitor::TAKES_STRETCH;
    } else {
        return false;
    }
}

// Walks one line's codes in [p, end) until they have covered `stop` pixels
// (stop <= width), telling the visitor what they draw. Bytes from end up to
// readEnd (at or after end) may be looked at, never taken for codes: a look
// at sixteen bytes then also serves the short lines that most sprites have.
//
//   v.shortCodes(codes, count, base, n)  count skip or literal codes (all
//                                        naming entries below nEntries) for
//                                        columns n on, under palette base
//   v.literal(entry, n)                  one pixel of an entry
//   v.run(entry, n, count)               count pixels of an entry
//   v.skip(n, count)                     count transparent pixels
//   v.setBase(base)                      a switch code
//
// A visitor whose TAKES_STRETCH is true gets each stretch of short codes
// through v.stretch(codes, most, base, n, nLiterals) instead: it paints the
// leading codes at `codes`, at most `most` and the first a short one, that
// are at most nLiterals (skip codes and literals naming entries below
// nEntries) and returns how many they are.
// A visitor whose LONE_CODES is true gets a short code followed by a long one
// through literal() or skip() rather than shortCodes().
// A visitor whose NEEDS_LOOK is true gets shortCodes() only with at least 16
// bytes readable at `codes` (it may read them all); the codes of a tail
// closer than that to readEnd come one by one. Nothing is told about a code that is unsound,
// and nothing after it: the walk stops there with its fault; only a run that
// passes the end of the line is told as far as the width first, so damaged
// lines still draw what lies inside their row. With stop equal
// to width the fault is the line's first by the load-time rules; bytes after
// the covered pixels are never read.
template <class Visitor>
LineWalk walkLine(const uint8_t* p, const uint8_t* end, const uint8_t* readEnd, uint32_t width,
                  uint32_t stop, uint32_t nEntries, Visitor& v) {
    uint32_t base = 0;
    uint32_t nLiterals = literalsBelow(nEntries, base);
#ifdef RLE565_WALK_SSE2
    __m128i literalLimit = byteLimit(nLiterals);
#endif
    uint32_t n = 0;
    while (n < stop) {
        // A stretch of skips and sound literals, the bulk of most lines, goes
        // to the visitor at once. For a visitor with LONE_CODES, a lone one,
        // as between the runs of most sprites, comes as it is, which saves
        // drawing a look (about 7% of the time of a draw of small sprites) but
        // costs checking and mode b more than that on images of many
        // literals.
        const auto avail = static_cast<size_t>(end - p);
        const uint32_t most = avail < stop - n ? static_cast<uint32_t>(avail) : stop - n;
        if constexpr (takesStretch<Visitor>()) {
            // The visitor tells the stretch's codes apart itself as it
            // paints them: one pass over them instead of a count and then a
            // paint (a speed-only loop of the drawing runtime built for
            // size; its rule is shortCodesAt()'s).
            if (most > 0 && *p <= nLiterals) {
                const uint32_t nShort = v.stretch(p, most, base, n, nLiterals);
                p += nShort;
                n += nShort;
                // Unless the stretch took all there was, a longer code follows.
                if (nShort == most) continue;
            }
        } else {
            const bool bLook = readEnd - p >= 16;
            const bool bStretch =
                Visitor::LONE_CODES ? most > 1 && p[0] <= nLiterals && p[1] <= nLiterals : most > 0;
            if (bStretch && (bLook || !Visitor::NEEDS_LOOK)) {
                uint32_t nLooked;
                uint32_t nShort;
#ifdef RLE565_WALK_SSE2
                if (bLook) {
                    nLooked = most < 16 ? most : 16;
                    nShort = shortCodesAhead(p, literalLimit, nLooked);
                } else
#endif
                {
                    nLooked = Visitor::NEEDS_LOOK && most > 16 ? 16 : most;
                    nShort = shortCodesAt(p, nLooked, nLiterals);
                }
                if (nShort > 0) {
                    v.shortCodes(p, nShort, base, n);
                    p += nShort;
                    n += nShort;
                }
                // Unless the stretch filled the look, a longer code follows:
                // it is read at once, without looking again.
                if (n >= stop || (nShort == nLooked && p != end)) continue;
            }
        }
        if (p == end) return {RLE565_ERR_TOO_FEW, n};
        const uint8_t c = *p++;
        // The most frequent code first, tested with one comparison. For a
        // painter, which takes short codes ahead of a long one as they come,
        // a long code is as frequent: it is told apart first.
        // A visitor that takes stretches has taken every short code before
        // this one: none is left to tell apart here.
        const bool bLong = Visitor::LONE_CODES && c > CODE_LITERAL_MAX;
        const bool bShort = !takesStretch<Visitor>() && !bLong;
        if (bShort && c - 1u < nLiterals) {
            v.literal(base + c, n);
            ++n;
        } else if (bShort && c == CODE_SKIP) {
            v.skip(n, 1);
            ++n;
        } else if (!bLong && c <= CODE_LITERAL_MAX) {
            return {RLE565_ERR_ENTRY, n};
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return {RLE565_ERR_LINE_LENGTH, n};
            const uint32_t count = *p++;
            if (count > width - n) {
                v.skip(n, width - n);
                return {RLE565_ERR_OVERSHOOT, width};
            }
            v.skip(n, count);
            n += count;
        } else {
            if (end - p < 2) return {RLE565_ERR_LINE_LENGTH, n};
            if (c == CODE_SWITCH) {
                base = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
                nLiterals = literalsBelow(nEntries, base);
#ifdef RLE565_WALK_SSE2
                literalLimit = byteLimit(nLiterals);
#endif
                v.setBase(base);
            } else {
                const uint32_t count = p[1];
                const uint32_t entry = base + p[0];
                if (count > width - n) {
                    if (entry >= nEntries) return {RLE565_ERR_OVERSHOOT, n};
                    v.run(entry, n, width - n);
                    return {RLE565_ERR_OVERSHOOT, width};
                }
                // A run of nothing draws nothing, so its index needs no entry.
                if (count > 0) {
                    if (entry >= nEntries) return {RLE565_ERR_ENTRY, n};
                    v.run(entry, n, count);
                    n += count;
                }
            }
            p += 2;
        }
    }
    return {RLE565_OK, n};
}

// A visitor that only checks.
struct CheckVisitor {
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;
    void shortCodes(const uint8_t*, uint32_t, uint32_t, uint32_t) {}
    void literal(uint32_t, uint32_t) {}
    void run(uint32_t, uint32_t, uint32_t) {}
    void skip(uint32_t, uint32_t) {}
    void setBase(uint32_t) {}
};

// The first fault of one line's codes in [p, end), or RLE565_OK; bytes up to
// readEnd may be looked at.
inline int checkLine(const uint8_t* p, const uint8_t* end, const uint8_t* readEnd, uint32_t width,
                     uint32_t nEntries) {
    CheckVisitor v;
    return walkLine(p, end, readEnd, width, width, nEntries, v).fault;
}

// Whether lines' codes are sound: the verdict of checkLine(), without the
// fault. A second walker, kept for its speed alone: without a visitor to
// tell and without the runs cut at the width, and with two lines tested side
// by side, so that the processor follows two chains of code positions at
// once instead of waiting on one, it takes less than half the time of
// checkLine() on images of many literals and short runs (3.2 MB of codes:
// 1 to 2 ms against 3.4 ms). Mode b checks every line of a large file this
// way before writing. Where it cannot look at sixteen bytes it leaves the
// line to checkLine(); tests and the fuzz targets hold both to the same
// verdicts.
class LineScan {
public:
    LineScan(const uint8_t* p, const uint8_t* end, const uint8_t* readEnd, uint32_t width,
             uint32_t nEntries)
        : start_(p), p_(p), end_(end), readEnd_(readEnd), width_(width), nEntries_(nEntries) {
#ifdef RLE565_WALK_SSE2
        setBase(0);
#endif
    }

    // One stretch of short codes and the code after it; false once the
    // verdict is known.
    bool step() {
#ifdef RLE565_WALK_SSE2
        if (n_ >= width_) return finish(true);
        if (readEnd_ - p_ < 16)
            return finish(checkLine(start_, end_, readEnd_, width_, nEntries_) == RLE565_OK);
        const auto avail = static_cast<size_t>(end_ - p_);
        const uint32_t most = avail < width_ - n_ ? static_cast<uint32_t>(avail) : width_ - n_;
        const uint32_t nShort = shortCodesAhead(p_, limit_, most < 16 ? most : 16);
        p_ += nShort;
        n_ += nShort;
        if (n_ >= width_) return finish(true);
        if (p_ == end_) return finish(false);
        const uint8_t c = *p_;
        if (c <= nLiterals_) return true;
        if (c <= CODE_LITERAL_MAX) return finish(false);
        if (c == CODE_SWITCH) {
            if (end_ - p_ < 3) return finish(false);
            setBase(static_cast<uint32_t>(p_[1]) | static_cast<uint32_t>(p_[2]) << 8);
            p_ += 3;
            return true;
        }
        const bool bRun = c == CODE_RUN;
        if (end_ - p_ < (bRun ? 3 : 2)) return finish(false);
        const uint32_t count = p_[bRun ? 2 : 1];
        if (count > width_ - n_) return finish(false);
        if (bRun && count > 0 && base_ + p_[1] >= nEntries_) return finish(false);
        n_ += count;
        p_ += bRun ? 3 : 2;
        return true;
#else
        return finish(checkLine(start_, end_, readEnd_, width_, nEntries_) == RLE565_OK);
#endif
    }

    bool sound() const { return bSound_; }

private:
    bool finish(bool bSound) {
        bSound_ = bSound;
        return false;
    }

#ifdef RLE565_WALK_SSE2
    void setBase(uint32_t base) {
        base_ = base;
        nLiterals_ = literalsBelow(nEntries_, base);
        limit_ = byteLimit(nLiterals_);
    }

    __m128i limit_;
#endif
    const uint8_t* start_;
    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* readEnd_;
    uint32_t width_;
    uint32_t nEntries_;
    uint32_t base_ = 0;
    uint32_t nLiterals_ = 0;
    uint32_t n_ = 0;
    bool bSound_ = false;
};

inline bool isLineSound(const uint8_t* p, const uint8_t* end, const uint8_t* readEnd,
                        uint32_t width, uint32_t nEntries) {
    LineScan scan(p, end, readEnd, width, nEntries);
    while (scan.step()) {
    }
    return scan.sound();
}

// The verdicts of several lines at once: true when all are sound.
template <size_t N>
inline bool areLinesSound(LineScan (&scans)[N]) {
    bool bRunning[N];
    for (size_t i = 0; i < N; ++i) bRunning[i] = true;
    for (bool bAll = true; bAll;) {
        for (size_t i = 0; i < N; ++i) bRunning[i] = bRunning[i] && scans[i].step();
        for (size_t i = 0; i < N; ++i) bAll = bAll && bRunning[i];
    }
    bool bSound = true;
    for (size_t i = 0; i < N; ++i) {
        while (bRunning[i]) bRunning[i] = scans[i].step();
        bSound = bSound && scans[i].sound();
    }
    return bSound;
}

}  // namespace rle565
