// drawLine(), the drawing runtime's own walker of one line's codes for the
// fast painters: a second walker beside walkLine(), kept for speed alone and
// held to it by the drawing tests.
//
// Freestanding, as the rest of the runtime; included through paint.h.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "walk.h"

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {
// Each source that draws gets its own copy, which the compiler may fold into
// its one caller: with external linkage the walker and painters stayed
// calls of their own, and the draw grew slower.
namespace {

// Draws one line of an opened sprite: the codes of [p, end) painted on the
// painter's row, columns lo to hi - 1 of the width.
//
// A second walker of the codes, kept for speed alone. It takes literals
// first, four or two at a time where they come so and painted without a
// branch per pixel, counts the columns left of the clip without painting and
// stops at its right edge. Through walkLine() and the painter's visitor,
// drawing 64x64 colour-key sprites took about 1.5 times as long and alpha
// sprites 1.2 times: telling a stretch of short codes apart from the code
// after it costs more than the stretches of two to eight codes of most
// sprites save.
// It keeps walkLine()'s rules where a line is sound, as rle565_sprite_open()
// has made sure; on bytes changed since, it still reads nothing outside
// [p, end) (and readEnd for a look), paints nothing outside the clip, and
// stops where walkLine() finds the line's first fault. The drawing tests hold
// it to blitImage(), which draws through walkLine().
// A code other than a skip or literal one, c, met left of the clip at
// column n, with p just after it: a skip run counted, a switch taken, a run
// counted and painted from the clip's edge by the painter (cut at the end of
// the line). False where the walk ends: at the codes' end or a fault.
template <class P>
inline bool countHiddenCode(const uint32_t c, const uint8_t*& p, const uint8_t* const end,
                            uint32_t& n, uint32_t& base, uint32_t& nLiterals,
                            const uint32_t nEntries, const uint32_t width, P& painter) {
    if (c == CODE_SKIP_RUN) {
        if (p == end) return false;
        n += *p++;
        return true;
    }
    if (c <= CODE_LITERAL_MAX || end - p < 2) return false;
    const uint32_t value = p[0];
    const uint32_t count = p[1];
    p += 2;
    if (c == CODE_SWITCH) {
        base = value | count << 8;
        nLiterals = literalsBelow(nEntries, base);
        painter.setBase(base);
        return true;
    }
    // A run of nothing draws nothing, so its index needs no entry.
    if (count == 0) return true;
    if (base + value >= nEntries) return false;
    const uint32_t drawn = count < width - n ? count : width - n;
    painter.run(base + value, n, drawn);
    n += drawn;
    return true;
}

#ifdef RLE565_WALK_SSE2
template <class P>
void drawLine(const uint8_t* p, const uint8_t* const end, const uint8_t* const readEnd,
              const uint32_t width, const uint32_t nEntries, const uint32_t lo, const uint32_t hi,
              P& painter) {
    uint32_t base = 0;
    uint32_t nLiterals = literalsBelow(nEntries, base);
    __m128i literalLimit = byteLimit(nLiterals);
    uint32_t n = 0;
    // Columns left of the clip, counted; a run across its left edge is
    // painted from there.
    while (n < lo) {
        if (p == end) return;
        const uint32_t c = *p;
        // Four short codes in one step; after four, as many as sixteen
        // bytes show, where they can be looked at. A look at once would cost
        // colour-key sprites, whose stretches are short, more than it saves.
        if (c <= nLiterals && lo - n >= 4 && end - p >= 4) {
            if (fourShortCodes(p, literalLimit)) {
                uint32_t nShort = 4;
                if (readEnd - p >= 16) {
                    const auto avail = static_cast<size_t>(end - p);
                    uint32_t most = lo - n < 16 ? lo - n : 16;
                    if (avail < most) most = static_cast<uint32_t>(avail);
                    nShort = shortCodesAhead(p, literalLimit, most);
                }
                p += nShort;
                n += nShort;
                continue;
            }
        }
        ++p;
        if (c <= nLiterals) {
            ++n;
            continue;
        }
        if (!countHiddenCode(c, p, end, n, base, nLiterals, nEntries, width, painter)) return;
        if (c == CODE_SWITCH) literalLimit = byteLimit(nLiterals);
    }
    // Columns inside the clip. Every code is tested against the codes' end and
    // the clip's right edge: both are well guessed, and a walk that counted
    // how far it may go without them cost more for the counting.
    while (p != end && n < hi) {
        const uint32_t c = *p++;
        if (c <= nLiterals) {
            if constexpr (P::EIGHT_CODES) {
                if (hi - n >= 8 && end - p >= 7 && painter.eightCodes(p - 1, n, nLiterals)) {
                    p += 7;
                    n += 8;
                    continue;
                }
            }
            // Four short codes, or two, in one step: fewer tests of the kind
            // of code, whose outcome the processor guesses worst.
            if (hi - n >= 4 && end - p >= 3) {
                if (fourShortCodes(p - 1, literalLimit)) {
                    painter.fourCodes(p - 1, n);
                    p += 3;
                    n += 4;
                    continue;
                }
            }
            if (hi - n >= 2 && p != end && *p <= nLiterals) {
                painter.code(c, n);
                painter.code(*p, n + 1);
                ++p;
                n += 2;
                continue;
            }
            painter.code(c, n);
            ++n;
        } else if (c == CODE_RUN) {
            if (end - p < 2) return;
            const uint32_t entry = base + p[0];
            uint32_t count = p[1];
            p += 2;
            // Cut at the clip, which is at most the line's end: either ends
            // the walk.
            if (count > hi - n) count = hi - n;
            if (entry >= nEntries) {
                if (count == 0) continue;
                return;
            }
            painter.fill(entry, n, count);
            n += count;
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return;
            n += *p++;
        } else if (c == CODE_SWITCH) {
            if (end - p < 2) return;
            base = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
            p += 2;
            nLiterals = literalsBelow(nEntries, base);
            literalLimit = byteLimit(nLiterals);
            painter.setBase(base);
        } else {
            return;
        }
    }
}

#else

// The same without lanes (microcontrollers), where each instruction counts:
// a stretch of literal codes goes to the painter at once, bounded by the
// codes' end and the clip once rather than at every code, and is painted
// from a table indexed by the codes themselves; skip codes, runs and the
// rest are told apart after it. Columns left of the clip are counted four
// codes at a time.
template <class P>
void drawLine(const uint8_t* p, const uint8_t* const end, const uint8_t* const,
              const uint32_t width, const uint32_t nEntries, const uint32_t lo, const uint32_t hi,
              P& painter) {
    uint32_t base = 0;
    uint32_t nLiterals = literalsBelow(nEntries, base);
    uint32_t n = 0;
    // Columns left of the clip, counted; a run across its left edge is
    // painted from there.
    while (n < lo) {
        if (p == end) return;
        const uint32_t c = *p;
        if (c <= nLiterals) {
            const auto avail = static_cast<size_t>(end - p);
            const uint32_t most = avail < lo - n ? static_cast<uint32_t>(avail) : lo - n;
            uint32_t k = 1;
            while (k + 4 <= most && p[k] <= nLiterals && p[k + 1] <= nLiterals &&
                   p[k + 2] <= nLiterals && p[k + 3] <= nLiterals)
                k += 4;
            while (k < most && p[k] <= nLiterals) ++k;
            p += k;
            n += k;
            continue;
        }
        ++p;
        if (!countHiddenCode(c, p, end, n, base, nLiterals, nEntries, width, painter)) return;
    }
    // Columns inside the clip, from dst up to dstEnd.
    if (n >= hi) return;
    uint16_t* dst = painter.at(n);
    uint16_t* const dstEnd = dst + (hi - n);
    while (p != end && dst != dstEnd) {
        const uint32_t c = *p;
        if (c - 1u < nLiterals) {
            // For colour-key sprites, the first two literals painted at
            // once: lone ones and pairs, as between the runs of outlined
            // sprites, go no further (alpha sprites took 4% more so; with
            // three, colour-key ones took 2% more, and written as a loop of
            // two, 2% more too).
            if constexpr (P::FIRST_ALONE) {
                painter.paintCode(c, dst);
                ++p;
                ++dst;
                if (p == end || dst == dstEnd || *p - 1u >= nLiterals) continue;
                painter.paintCode(*p, dst);
                ++p;
                ++dst;
                if (p == end || dst == dstEnd || *p - 1u >= nLiterals) continue;
            }
            const auto room = static_cast<size_t>(dstEnd - dst);
            const auto avail = static_cast<size_t>(end - p);
            uint16_t* const to =
                painter.literals(p, p + (avail < room ? avail : room), dst, nLiterals);
            p += to - dst;
            dst = to;
            continue;
        }
        ++p;
        if (c == CODE_SKIP) {
            ++dst;
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return;
            const uint32_t count = *p++;
            // Nothing of the line is left to paint after a skip past the clip.
            if (count >= static_cast<size_t>(dstEnd - dst)) return;
            dst += count;
        } else if (c == CODE_RUN) {
            if (end - p < 2) return;
            const uint32_t entry = base + p[0];
            uint32_t count = p[1];
            p += 2;
            // Cut at the clip, which is at most the line's end: either ends
            // the walk.
            const auto room = static_cast<size_t>(dstEnd - dst);
            if (count > room) count = static_cast<uint32_t>(room);
            if (entry >= nEntries) {
                if (count == 0) continue;
                return;
            }
            painter.fillAt(entry, dst, count);
            dst += count;
        } else if (c == CODE_SWITCH) {
            if (end - p < 2) return;
            base = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
            p += 2;
            nLiterals = literalsBelow(nEntries, base);
            painter.setBase(base);
        } else {
            return;
        }
    }
}

#endif

}  // namespace
}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565
