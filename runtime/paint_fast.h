// The fast painters of the drawing runtime, one per kind of target and byte
// order, each resolving the palette into a table of target-ready values
// (colours byte-swapped when the target wants them, or colour times alpha
// for blending) at every palette base. drawLine() walks the codes for them.
//
// Freestanding, as the rest of the runtime; included through paint.h.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "blend.h"
#include "paint.h"
#include "walk.h"

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {
// Each source that draws gets its own copy, which the compiler may fold into
// its one caller: with external linkage the walker and painters stayed
// calls of their own, and the draw grew slower.
namespace {

// Lanes where the walker has them.
#ifdef RLE565_WALK_SSE2
#define RLE565_DRAW_LANES true
#else
#define RLE565_DRAW_LANES false
#endif

// T when bPick, else F.
template <bool bPick, class T, class F>
struct Select {
    using Type = T;
};
template <class T, class F>
struct Select<false, T, F> {
    using Type = F;
};

// Fills `count` values from dst. On x86, where unaligned stores of eight
// bytes are cheap, runs of 4 to 16 pixels, the usual ones, take two
// overlapping stores and no loop, whose end the processor would have to
// guess; elsewhere a plain loop, which needs no library call.
template <class T>
inline void fillRun(T* dst, uint32_t count, T value) {
#if defined(__x86_64__) || defined(__i386__)
    constexpr uint32_t PER_STORE = 8 / sizeof(T);
    uint64_t pattern = value;
    for (uint32_t bits = 8 * sizeof(T); bits < 64; bits *= 2) pattern |= pattern << bits;
    const auto store = [pattern](T* p) { __builtin_memcpy(p, &pattern, sizeof pattern); };
    // 4 to 8 pixels, the most frequent runs, first and with one test.
    if (count - PER_STORE <= PER_STORE) {
        store(dst);
        store(dst + count - PER_STORE);
        return;
    }
    if (count >= 2 * PER_STORE) {
        for (uint32_t i = 0; i + 2 * PER_STORE < count; i += 2 * PER_STORE) {
            store(dst + i);
            store(dst + i + PER_STORE);
        }
        store(dst + count - 2 * PER_STORE);
        store(dst + count - PER_STORE);
        return;
    }
    if (count >= PER_STORE) {
        store(dst);
        store(dst + count - PER_STORE);
        return;
    }
#else
    // Elsewhere (microcontrollers), pixels two at a time by aligned word
    // stores, as memset-like loops of the C library do.
    if constexpr (sizeof(T) == 2) {
        using Word = uint32_t __attribute__((may_alias));
        // Shorter runs, most of those of small sprites, go faster alone.
        if (count >= 8) {
            if ((reinterpret_cast<uintptr_t>(dst) & 2) != 0) {
                *dst++ = value;
                --count;
            }
            const uint32_t pair = value | static_cast<uint32_t>(value) << 16;
            auto* words = reinterpret_cast<Word*>(dst);
            for (; count >= 2; count -= 2) *words++ = pair;
            dst = reinterpret_cast<T*>(words);
        }
    }
#endif
    for (uint32_t i = 0; i < count; ++i) dst[i] = value;
}

#ifndef RLE565_WALK_SSE2
// Colours read straight from 16-bit values.
struct ColorTable16 {
    const AliasedColor* table;
    uint16_t colorOf(uint32_t k) const { return table[k]; }
};

// The literal codes (1 to `limit`) from k on, up to `last`, copied onto d
// in the colours that t.colorOf() gives; stops before the first other code. Returns where it
// stopped painting. Out of line, so that its loop has the registers to itself and the walker's stay
// where they are.
//
// Where the palette leaves the top bit of every literal code clear, the
// codes are read a word at a time from a word boundary on, and the word
// tested at once: a byte above `limit` (a longer code) shows as a top bit
// in the word plus 0x7F - limit in each byte, one that is 0 (a skip) or
// above 0x80 in the word less 1 in each (a borrow between bytes comes only
// from a 0 below, which has shown already). Without unaligned reads (a
// Cortex-M0+, or a Cortex-M3 built without them), four codes took 27
// instructions byte by byte on a Cortex-M3 and 24 so.
template <class Colors>
[[gnu::noinline]] uint16_t* copyLiterals(const uint8_t* k, const uint8_t* const last, uint16_t* d,
                                         Colors t, const uint32_t limit) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (limit < 0x80) {
        using Word = uint32_t __attribute__((may_alias));
        constexpr uint32_t ONES = 0x01010101;
        constexpr uint32_t TOPS = 0x80808080;
        const uint32_t over = (0x7F - limit) * ONES;
        for (; (reinterpret_cast<uintptr_t>(k) & 3) != 0; ++k) {
            if (k == last || *k - 1u >= limit) return d;
            *d++ = t.colorOf(*k);
        }
        while (last - k >= 4) {
            const uint32_t w = *reinterpret_cast<const Word*>(k);
            if ((((w + over) | (w - ONES)) & TOPS) != 0) break;
            d[0] = t.colorOf(w & 0xFF);
            d[1] = t.colorOf(w >> 8 & 0xFF);
            d[2] = t.colorOf(w >> 16 & 0xFF);
            d[3] = t.colorOf(w >> 24);
            k += 4;
            d += 4;
        }
    }
#endif
    for (; k != last; ++k) {
        if (*k - 1u >= limit) break;
        *d++ = t.colorOf(*k);
    }
    return d;
}
#endif

// How pixels meet the target.
enum class Mode {
    COPY,   // no target alpha, sprite without alpha: every drawn pixel is opaque
    BLEND,  // no target alpha, sprite with alpha: partial alpha mixed in
    ALPHA,  // target alpha: colours and alphas copied
};

// The painters' tables of target-ready values for the literal codes of one
// palette base, code 0 (a skip) included: only the tables a mode reads take
// room, as the runtime's stack may be small. A draw builds them on its stack,
// or reads them from a prepared palette.
struct Empty {};
using ColorTable = uint16_t[TABLE_SIZE];
using WordTable = uint32_t[TABLE_SIZE];
using ByteTable = uint8_t[TABLE_SIZE];

template <Mode MODE>
struct Tables {
    [[no_unique_address]] typename Select<MODE != Mode::BLEND, ColorTable, Empty>::Type color;
    [[no_unique_address]] typename Select<MODE == Mode::ALPHA, ByteTable, Empty>::Type alpha8;
    [[no_unique_address]]
    typename Select<MODE == Mode::BLEND, WordTable, Empty>::Type premultiplied;
    [[no_unique_address]] typename Select<MODE == Mode::BLEND, ByteTable, Empty>::Type inverse;
#ifdef RLE565_WALK_SSE2
    // Colour and alpha side by side (colour in the low half), for blending
    // eight at a time.
    [[no_unique_address]] typename Select<MODE == Mode::BLEND, WordTable, Empty>::Type pairs;
#endif
};

// The tables of literal codes 1 to 252 from palette base `base`; codes
// naming no entry are never painted, as the walker stops at them.
template <Mode MODE, bool bSwap>
void resolveTables(Tables<MODE>& t, const rle565_sprite& sprite, const Look& look, uint32_t base) {
    const uint32_t nLiterals = literalsBelow(sprite.palette_size, base);
    for (uint32_t k = 1; k <= nLiterals; ++k) {
        const uint32_t entry = base + k;
        const uint16_t color = entryColor(sprite.palette, look.colors, entry);
        const uint32_t a = entryAlpha(sprite.alphas, look.opacity, entry);
        if constexpr (MODE != Mode::BLEND) t.color[k] = bSwap ? swapBytes(color) : color;
        if constexpr (MODE == Mode::BLEND) {
            t.premultiplied[k] = spreadRgb565(color) * a;
            t.inverse[k] = static_cast<uint8_t>(ALPHA_OPAQUE - a);
#ifdef RLE565_WALK_SSE2
            t.pairs[k] = color | a << 16;
#endif
        }
        if constexpr (MODE == Mode::ALPHA) t.alpha8[k] = static_cast<uint8_t>(a);
    }
    if constexpr (MODE != Mode::BLEND) t.color[CODE_SKIP] = 0;
    if constexpr (MODE == Mode::BLEND) {
        t.premultiplied[CODE_SKIP] = 0;
        t.inverse[CODE_SKIP] = ALPHA_OPAQUE;
#ifdef RLE565_WALK_SSE2
        t.pairs[CODE_SKIP] = 0;
#endif
    }
    if constexpr (MODE == Mode::ALPHA) t.alpha8[CODE_SKIP] = 0;
}

// With lanes (x86) the painters hold tables of their own; without them
// (microcontrollers) they read each colour and alpha from the file's
// palette, or the caller's colours, as they paint: on a Cortex-M3 that
// costs a literal no more than a table would, and a draw's stack holds no
// table (one took up to 1.3 KiB there).
#ifdef RLE565_WALK_SSE2
#define RLE565_PAINT_HELD 1
#define RLE565_TABLE(name) held_.name
#endif

// Paints what the walker tells onto one target row at a time. Column n of
// the sprite's line lands on pixels[x + n]; only columns lo to hi - 1 are
// painted, which is the clip.
//
// With lanes, the tables are filled at each palette base, or copied from
// `fixed`, prepared for base 0 (only sprites whose lines never switch the
// base are given one). Without lanes, bBytes tells that the palette's
// colours are read byte by byte (they lie at an odd address, or the machine
// is big-endian), else as 16-bit values.
// bLook: whether the draw has other colours or an opacity below 32; a draw
// without them takes a painter that never looks (a tenth of the time of
// desktop draws of alpha sprites, whose runs are many and short).
template <Mode MODE, bool bSwap, bool bLook, bool bBytes = false>
class Painter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = true;
    static constexpr bool WHOLE_WALK = false;

    Painter(const rle565_sprite& sprite, const Look& look, const Tables<MODE>* fixed)
        : sprite_(sprite), look_(look) {
#ifdef RLE565_PAINT_HELD
        // With lanes (x86), the tables live in the painter: the compiler
        // then knows that no store to the frame changes them, which a table
        // reached through a pointer does not tell it (colour-key draws took
        // a sixth longer so). A prepared palette's tables are copied in.
        if (fixed != nullptr) {
            const auto* const from = reinterpret_cast<const uint8_t*>(fixed);
            auto* const to = reinterpret_cast<uint8_t*>(&held_);
            for (size_t i = 0; i < sizeof held_; ++i) to[i] = from[i];
            base_ = 0;
            return;
        }
#else
        (void)fixed;
#endif
        resolve(0);
    }

    void setRow(uint16_t* pixels, uint8_t* alpha, int32_t x, uint32_t lo, uint32_t hi) {
        RowSpan::setRow(pixels, alpha, x, lo, hi);
        // Every line starts at palette base 0.
        if (base_ != 0) resolve(0);
    }

    void setBase(uint32_t base) {
        if (base != base_) resolve(base);
    }

    void shortCodes(const uint8_t* codes, uint32_t count, uint32_t, uint32_t n) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (!clip(from, to)) return;
        const uint8_t* const c = codes + (from - n);
        const size_t at = target(from);
        uint16_t* const dst = pixels_ + at;
        const uint32_t len = to - from;
        if constexpr (MODE == Mode::COPY) {
#if defined(__x86_64__) || defined(__i386__)
            // 4 to 8 pixels, as most stretches are, by two overlapping stores
            // of four and no loop; painting a pixel twice alike does no harm.
            if (len - 4 <= 4 && paint4(c, dst) && paint4(c + len - 4, dst + len - 4)) return;
#endif
            // A branch rather than a select: skips among literals are rare,
            // so it is well guessed, and the target is not read, which would
            // wait for its cache line.
            for (uint32_t i = 0; i < len; ++i) {
                const uint8_t k = c[i];
                if (k != CODE_SKIP) dst[i] = colorOf(k);
            }
        } else if constexpr (MODE == Mode::BLEND) {
            // Opaque pixels are copied without reading the target, and skips
            // (entry "transparent", at alpha 0) leave it alone; within most
            // stretches one of the two holds throughout, so the branches are
            // well guessed.
            uint32_t i = 0;
#ifdef RLE565_WALK_SSE2
            // Eight at a time, the colours and alphas gathered from the
            // table and blended in lanes; skips blend at alpha 0, which
            // gives back the target's own pixel.
            for (; i + 8 <= len; i += 8) blendEight(c + i, dst + i);
            // The rest, fewer than eight, by the same sum without a branch.
            for (; i < len; ++i) {
                const uint8_t k = c[i];
                dst[i] = blend(RLE565_TABLE(premultiplied)[k], RLE565_TABLE(inverse)[k], dst[i]);
            }
#else
            for (; i < len; ++i) {
                if (c[i] != CODE_SKIP) blendCode(c[i], dst + i);
            }
#endif
        } else {
            uint8_t* const dstAlpha = alpha_ + at;
            for (uint32_t i = 0; i < len; ++i) {
                const uint8_t k = c[i];
                if (k == CODE_SKIP) continue;
                dst[i] = colorOf(k);
                dstAlpha[i] = alphaOf(k);
            }
        }
    }

#ifdef RLE565_WALK_SSE2
    // The skip or literal code k at column n, which the caller has found
    // inside the clip. No branch: a skip code keeps the pixel.
    void code(uint32_t k, uint32_t n) {
        const size_t at = target(n);
        if constexpr (MODE == Mode::COPY) {
            const uint16_t old = pixels_[at];
            pixels_[at] = k != CODE_SKIP ? RLE565_TABLE(color)[k] : old;
        } else if constexpr (MODE == Mode::BLEND) {
            pixels_[at] =
                blend(RLE565_TABLE(premultiplied)[k], RLE565_TABLE(inverse)[k], pixels_[at]);
        } else {
            const uint16_t old = pixels_[at];
            const uint8_t oldAlpha = alpha_[at];
            pixels_[at] = k != CODE_SKIP ? RLE565_TABLE(color)[k] : old;
            alpha_[at] = k != CODE_SKIP ? RLE565_TABLE(alpha8)[k] : oldAlpha;
        }
    }
#else
    // The literal codes (1 to `limit`) at `codes`, the first one among them,
    // painted from dst on, up to `last` at most, all inside the clip; stops
    // before the first other code, a skip code included. Returns where it
    // stopped painting.
    uint16_t* literals(const uint8_t* codes, const uint8_t* last, uint16_t* dst, uint32_t limit) {
        if constexpr (MODE == Mode::COPY) {
            if constexpr (!bLook && !bBytes && !bSwap) {
                // The palette itself, held in a register through the loop.
                const ColorTable16 table{reinterpret_cast<const AliasedColor*>(palette_)};
                return copyLiterals(codes, last, dst, table, limit);
            } else {
                return copyLiterals<const Painter&>(codes, last, dst, *this, limit);
            }
        } else if constexpr (MODE == Mode::BLEND) {
            for (; codes != last && codes[0] - 1u < limit; ++codes, ++dst) blendCode(codes[0], dst);
            return dst;
        } else {
            uint8_t* dstAlpha = alpha_ + (dst - pixels_);
            for (; codes != last && codes[0] - 1u < limit; ++codes, ++dst, ++dstAlpha) {
                dst[0] = colorOf(codes[0]);
                dstAlpha[0] = alphaOf(codes[0]);
            }
            return dst;
        }
    }

    // Whether drawLine() paints the first literals of a stretch through
    // paintCode() before it hands the rest to literals().
    static constexpr bool FIRST_ALONE = MODE == Mode::COPY;

    // The literal code k painted onto *dst, inside the clip.
    void paintCode(uint32_t k, uint16_t* dst) {
        if constexpr (MODE == Mode::COPY) {
            *dst = colorOf(k);
        } else if constexpr (MODE == Mode::BLEND) {
            blendCode(k, dst);
        } else {
            *dst = colorOf(k);
            alpha_[dst - pixels_] = alphaOf(k);
        }
    }

    // Where column n lands.
    uint16_t* at(uint32_t n) const { return pixels_ + target(n); }
#endif

#ifdef RLE565_WALK_SSE2
    // The four skip or literal codes at k, at columns n to n + 3 inside the
    // clip. Colour-key sprites take one store when none is a skip.
    void fourCodes(const uint8_t* k, uint32_t n) {
#if defined(__x86_64__) || defined(__i386__)
        if constexpr (MODE == Mode::COPY) {
            if (paint4(k, pixels_ + target(n))) return;
        }
#endif
#ifdef RLE565_WALK_SSE2
        if constexpr (MODE == Mode::BLEND) {
            blendFour(k, pixels_ + target(n));
            return;
        }
#endif
        for (uint32_t i = 0; i < 4; ++i) code(k[i], n + i);
    }
#endif

    // Where each pixel is a blend, eight codes at a time go through the
    // lanes; elsewhere one at a time is quicker.
    static constexpr bool EIGHT_CODES = MODE == Mode::BLEND && RLE565_DRAW_LANES;

    // The eight codes at `codes`, at columns n to n + 7 inside the clip, when
    // all are skip or literal codes up to `limit`; false, and nothing
    // painted, when not.
    bool eightCodes(const uint8_t* codes, uint32_t n, uint32_t limit) {
#ifdef RLE565_WALK_SSE2
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
        const __m128i excess = _mm_subs_epu8(bytes, byteLimit(limit));
        if ((_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128())) & 0xFF) != 0xFF)
            return false;
        blendEight(codes, pixels_ + target(n));
        return true;
#else
        (void)codes;
        (void)n;
        (void)limit;
        return false;
#endif
    }

    void literal(uint32_t entry, uint32_t n) {
        if (n < lo_ || n >= hi_) return;
        const uint32_t k = entry - base_;
        const size_t at = target(n);
        if constexpr (MODE == Mode::COPY) {
            pixels_[at] = colorOf(k);
        } else if constexpr (MODE == Mode::BLEND) {
            blendCode(k, pixels_ + at);
        } else {
            pixels_[at] = colorOf(k);
            alpha_[at] = alphaOf(k);
        }
    }

    // Runs may name any entry from the base up, entry 0 included, so their
    // colour comes from the palette itself.
    void run(uint32_t entry, uint32_t n, uint32_t count) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (clip(from, to)) fill(entry, from, to - from);
    }

    // `len` pixels of an entry from column n on, all inside the clip.
    void fill(uint32_t entry, uint32_t n, uint32_t len) { fillAt(entry, pixels_ + target(n), len); }

    // The same from dst on.
    void fillAt(uint32_t entry, uint16_t* dst, uint32_t len) {
#ifdef RLE565_PAINT_HELD
        const uint16_t color = entryColor(sprite_.palette, bLook ? look_.colors : nullptr, entry);
#else
        // Read as 16 bits where the palette allows, as literals are.
        const uint16_t color =
            bBytes || (bLook && look_.colors != nullptr && entry != 0)
                ? entryColor(sprite_.palette, bLook ? look_.colors : nullptr, entry)
                : reinterpret_cast<const AliasedColor*>(sprite_.palette)[entry];
#endif
#ifdef RLE565_PAINT_HELD
        const uint32_t a = entryAlpha(sprite_.alphas, bLook ? look_.opacity : ALPHA_OPAQUE, entry);
#else
        const uint32_t a = alphaAt(entry - base_);
#endif
        if constexpr (MODE == Mode::BLEND) {
            if (a == 0) return;
            if (a < ALPHA_OPAQUE) {
                const uint32_t premultiplied = spreadRgb565(color) * a;
                const uint32_t inverse = ALPHA_OPAQUE - a;
                uint32_t i = 0;
#ifdef RLE565_WALK_SSE2
                const __m128i color8 = _mm_set1_epi16(static_cast<short>(color));
                const __m128i a8 = _mm_set1_epi16(static_cast<short>(a));
                for (; i + 8 <= len; i += 8) {
                    auto* const at = reinterpret_cast<__m128i*>(dst + i);
                    __m128i d = _mm_loadu_si128(at);
                    if constexpr (bSwap) d = swapBytes8(d);
                    __m128i mixed = blend8(color8, a8, d);
                    if constexpr (bSwap) mixed = swapBytes8(mixed);
                    _mm_storeu_si128(at, mixed);
                }
#endif
                for (; i < len; ++i) dst[i] = blend(premultiplied, inverse, dst[i]);
                return;
            }
        }
        const uint16_t value = bSwap ? swapBytes(color) : color;
        fillRun(dst, len, value);
        if constexpr (MODE == Mode::ALPHA)
            fillRun(alpha_ + (dst - pixels_), len, static_cast<uint8_t>(a));
    }

    void skip(uint32_t, uint32_t) {}

private:
#ifdef RLE565_WALK_SSE2
    // The eight skip or literal codes at k blended onto dst: colours and
    // alphas gathered from the table, skips at alpha 0, which gives back the
    // target's own pixel.
    void blendEight(const uint8_t* k, uint16_t* dst) const {
        const uint32_t* const t = RLE565_TABLE(pairs);
        const __m128i lo = _mm_set_epi32(static_cast<int>(t[k[3]]), static_cast<int>(t[k[2]]),
                                         static_cast<int>(t[k[1]]), static_cast<int>(t[k[0]]));
        const __m128i hi = _mm_set_epi32(static_cast<int>(t[k[7]]), static_cast<int>(t[k[6]]),
                                         static_cast<int>(t[k[5]]), static_cast<int>(t[k[4]]));
        const __m128i color = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(lo, 16), 16),
                                              _mm_srai_epi32(_mm_slli_epi32(hi, 16), 16));
        const __m128i a = _mm_packs_epi32(_mm_srli_epi32(lo, 16), _mm_srli_epi32(hi, 16));
        auto* const at = reinterpret_cast<__m128i*>(dst);
        __m128i d = _mm_loadu_si128(at);
        if constexpr (bSwap) d = swapBytes8(d);
        __m128i mixed = blend8(color, a, d);
        if constexpr (bSwap) mixed = swapBytes8(mixed);
        _mm_storeu_si128(at, mixed);
    }

    // The same for four codes, in the low lanes.
    void blendFour(const uint8_t* k, uint16_t* dst) const {
        const uint32_t* const t = RLE565_TABLE(pairs);
        const __m128i four = _mm_set_epi32(static_cast<int>(t[k[3]]), static_cast<int>(t[k[2]]),
                                           static_cast<int>(t[k[1]]), static_cast<int>(t[k[0]]));
        const __m128i color = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(four, 16), 16), four);
        const __m128i a = _mm_packs_epi32(_mm_srli_epi32(four, 16), four);
        auto* const at = reinterpret_cast<__m128i*>(dst);
        __m128i d = _mm_loadl_epi64(at);
        if constexpr (bSwap) d = swapBytes8(d);
        __m128i mixed = blend8(color, a, d);
        if constexpr (bSwap) mixed = swapBytes8(mixed);
        _mm_storel_epi64(at, mixed);
    }
#endif

#if defined(__x86_64__) || defined(__i386__)
    // The four literal codes at k painted onto dst by one store; false, and
    // nothing painted, when one of them is a skip code.
    bool paint4(const uint8_t* k, uint16_t* dst) const {
        uint32_t codes;
        __builtin_memcpy(&codes, k, sizeof codes);
        if (((codes - 0x01010101u) & ~codes & 0x80808080u) != 0) return false;
        const uint64_t four = colorOf(k[0]) | static_cast<uint64_t>(colorOf(k[1])) << 16 |
                              static_cast<uint64_t>(colorOf(k[2])) << 32 |
                              static_cast<uint64_t>(colorOf(k[3])) << 48;
        __builtin_memcpy(dst, &four, sizeof four);
        return true;
    }
#endif

    // Where column n lands; only asked for columns inside the clip, so the
    // sum is never negative.
    size_t target(uint32_t n) const {
        return static_cast<size_t>(static_cast<int64_t>(x_) + static_cast<int64_t>(n));
    }

    // The pixel of an opaque entry, given s × 32.
    static uint16_t opaque(uint32_t premultiplied) {
        const uint16_t color = foldRgb565(premultiplied >> 5);
        return bSwap ? swapBytes(color) : color;
    }

    // s over d with coverage a / 32, given s × a and 32 − a: exact for alpha
    // 0 (d) and 32 (s), so no pixel needs a branch.
    static uint16_t blend(uint32_t premultiplied, uint32_t inverse, uint16_t d) {
        const uint16_t dd = bSwap ? swapBytes(d) : d;
        const uint16_t mixed = blendPremultiplied(premultiplied, inverse, dd);
        return bSwap ? swapBytes(mixed) : mixed;
    }

    // Tables, or where colours and alphas are read, for palette base `base`.
    void resolve(uint32_t base) {
        base_ = base;
#ifdef RLE565_PAINT_HELD
        resolveTables<MODE, bSwap>(held_, sprite_, bLook ? look_ : Look{}, base);
#else
        palette_ = sprite_.palette + 2 * static_cast<size_t>(base);
        alphas_ = sprite_.alphas != nullptr ? sprite_.alphas + base : nullptr;
        if constexpr (bLook) colors_ = look_.colors != nullptr ? look_.colors + base : nullptr;
#endif
    }

public:
    // Literal code k's colour as the target takes it (copying painters).
    uint16_t colorOf(uint32_t k) const {
#ifdef RLE565_PAINT_HELD
        return RLE565_TABLE(color)[k];
#else
        const uint16_t color = rawColor(k);
        return bSwap ? swapBytes(color) : color;
#endif
    }

    // Literal code k's alpha (painters onto targets with alpha).
    uint8_t alphaOf(uint32_t k) const {
#ifdef RLE565_PAINT_HELD
        return RLE565_TABLE(alpha8)[k];
#else
        return static_cast<uint8_t>(alphaAt(k));
#endif
    }

    // Literal code k laid over *dst (blending painters): copied when opaque,
    // mixed when partial, nothing when transparent.
    void blendCode(uint32_t k, uint16_t* dst) const {
#ifdef RLE565_PAINT_HELD
        const uint32_t inverse = RLE565_TABLE(inverse)[k];
        if (inverse == 0) {
            *dst = opaque(RLE565_TABLE(premultiplied)[k]);
        } else if (inverse < ALPHA_OPAQUE) {
            *dst = blend(RLE565_TABLE(premultiplied)[k], inverse, *dst);
        }
#else
        const uint32_t a = alphaAt(k);
        if (a == 0) return;
        if (a == ALPHA_OPAQUE) {
            *dst = colorOf(k);
        } else {
            *dst = blend(spreadRgb565(rawColor(k)) * a, ALPHA_OPAQUE - a, *dst);
        }
#endif
    }

private:
#ifndef RLE565_PAINT_HELD
    uint16_t rawColor(uint32_t k) const {
        if constexpr (bLook) {
            if (colors_ != nullptr) return colors_[k];
        }
        if constexpr (bBytes) {
            return loadColor(palette_, k);
        } else {
            return reinterpret_cast<const AliasedColor*>(palette_)[k];
        }
    }

    // 0 to 32, as entryAlpha() makes it. A blending painter without a look
    // draws only sprites with alphas.
    uint32_t alphaAt(uint32_t k) const {
        if constexpr (MODE == Mode::BLEND && !bLook) {
            const uint32_t a = alphas_[k];
            return a < ALPHA_OPAQUE ? a : ALPHA_OPAQUE;
        }
        return entryAlpha(alphas_, bLook ? look_.opacity : ALPHA_OPAQUE, k);
    }
#endif

    const rle565_sprite& sprite_;
    const Look look_;
    uint32_t base_ = 0;
#ifdef RLE565_PAINT_HELD
    Tables<MODE> held_;
#else
    const uint8_t* palette_ = nullptr;
    const uint8_t* alphas_ = nullptr;
    const uint16_t* colors_ = nullptr;
#endif
};

}  // namespace
}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565
