// The drawing runtime. Freestanding: no heap, exceptions, RTTI or library
// calls, nothing beyond <stddef.h> and <stdint.h>, so that the same source
// builds for a Cortex-M0+ and for the desktop.
//
// A draw resolves the palette once into a small table of target-ready values
// (colours byte-swapped when the target wants them, or colour times alpha for
// blending), then walks each visible line: codes left of the clip are
// counted without painting, codes right of it are not walked at all, short
// codes are painted from the table without a branch per pixel and runs as
// fills. The fast painters walk with drawLine(), below; the compact one with
// walkLine(), which also checks at open.
#include <rle565/draw.h>

#include "code_walk.h"
#include "draw_lines.h"

// A build optimised for size (GCC's -Os, or RLE565_DRAW_COMPACT defined)
// takes the compact painter: one loop for every kind of target, deciding per
// pixel at run time, and one compiled walk of the codes shared with the check
// at open. Other builds take the fast painters, one per kind of target.
#if defined(__OPTIMIZE_SIZE__) && !defined(RLE565_DRAW_COMPACT)
#define RLE565_DRAW_COMPACT 1
#endif

namespace rle565 {

namespace {

// Spread of an RGB565 value over 32 bits: red and blue stay in the low half,
// green moves to bits 21 to 26. Each channel then has room for its products
// with alpha (at most 31 × 32 or 63 × 32) before the next channel starts.
constexpr uint32_t SPREAD_MASK = 0x07E0F81F;

// Literal codes a table covers: 1 to 252, and 0 for a skip code.
constexpr uint32_t TABLE_SIZE = 256;

inline uint32_t spreadRgb565(uint16_t c) {
    return (c | static_cast<uint32_t>(c) << 16) & SPREAD_MASK;
}

inline uint16_t foldRgb565(uint32_t w) {
    w &= SPREAD_MASK;
    return static_cast<uint16_t>(w | w >> 16);
}

inline uint16_t swapBytes(uint16_t v) { return static_cast<uint16_t>(v << 8 | v >> 8); }

inline uint16_t loadColor(const uint8_t* palette, uint32_t entry) {
    const uint8_t* const p = palette + 2 * static_cast<size_t>(entry);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The target row that a painter paints: column n of the sprite's line lands
// on pixels[x + n], and only columns lo to hi - 1 lie inside the target.
class RowSpan {
public:
    void setRow(uint16_t* pixels, uint8_t* alpha, int32_t x, uint32_t lo, uint32_t hi) {
        pixels_ = pixels;
        alpha_ = alpha;
        x_ = x;
        lo_ = lo;
        hi_ = hi;
    }

protected:
    // Cuts columns [from, to) to the target; false when nothing is left.
    bool clip(uint32_t& from, uint32_t& to) const {
        if (from < lo_) from = lo_;
        if (to > hi_) to = hi_;
        return from < to;
    }

    uint16_t* pixels_ = nullptr;
    uint8_t* alpha_ = nullptr;
    int32_t x_ = 0;
    uint32_t lo_ = 0;
    uint32_t hi_ = 0;
};

#ifndef RLE565_DRAW_COMPACT

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
#endif
    for (uint32_t i = 0; i < count; ++i) dst[i] = value;
}

#ifdef RLE565_WALK_SSE2

// Eight pixels at once, channel by channel in 16-bit lanes: s over d with
// coverage a / 32, each channel (s × a + d × (32 − a)) >> 5 as blend() makes
// it, so alpha 0 gives d and 32 gives s exactly.
inline __m128i blend8(__m128i s, __m128i a, __m128i d) {
    const __m128i five = _mm_set1_epi16(31);
    const __m128i six = _mm_set1_epi16(63);
    const __m128i inverse = _mm_sub_epi16(_mm_set1_epi16(ALPHA_OPAQUE), a);
    const auto mix = [&](__m128i sc, __m128i dc) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(sc, a), _mm_mullo_epi16(dc, inverse)),
                              5);
    };
    const __m128i r = mix(_mm_srli_epi16(s, 11), _mm_srli_epi16(d, 11));
    const __m128i g =
        mix(_mm_and_si128(_mm_srli_epi16(s, 5), six), _mm_and_si128(_mm_srli_epi16(d, 5), six));
    const __m128i b = mix(_mm_and_si128(s, five), _mm_and_si128(d, five));
    return _mm_or_si128(_mm_or_si128(_mm_slli_epi16(r, 11), _mm_slli_epi16(g, 5)), b);
}

inline __m128i swapBytes8(__m128i v) {
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

#endif

// How pixels meet the target.
enum class Mode {
    COPY,   // no target alpha, sprite without alpha: every drawn pixel is opaque
    BLEND,  // no target alpha, sprite with alpha: partial alpha mixed in
    ALPHA,  // target alpha: colours and alphas copied
};

// Paints what the walker tells onto one target row at a time. Column n of
// the sprite's line lands on pixels[x + n]; only columns lo to hi - 1 are
// painted, which is the clip.
template <Mode MODE, bool bSwap>
class Painter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = true;

    Painter(const rle565_sprite& sprite) : sprite_(sprite) { resolve(0); }

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
                if (k != CODE_SKIP) dst[i] = color_[k];
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
                dst[i] = blend(premultiplied_[k], inverse_[k], dst[i]);
            }
#else
            for (; i < len; ++i) {
                const uint8_t k = c[i];
                const uint32_t inverse = inverse_[k];
                if (inverse == 0) {
                    dst[i] = opaque(premultiplied_[k]);
                } else if (inverse < ALPHA_OPAQUE) {
                    dst[i] = blend(premultiplied_[k], inverse, dst[i]);
                }
            }
#endif
        } else {
            uint8_t* const dstAlpha = alpha_ + at;
            for (uint32_t i = 0; i < len; ++i) {
                const uint8_t k = c[i];
                if (k == CODE_SKIP) continue;
                dst[i] = color_[k];
                dstAlpha[i] = alpha8_[k];
            }
        }
    }

    // The skip or literal code k at column n, which the caller has found
    // inside the clip. No branch: a skip code keeps the pixel.
    void code(uint32_t k, uint32_t n) {
        const size_t at = target(n);
        if constexpr (MODE == Mode::COPY) {
            const uint16_t old = pixels_[at];
            pixels_[at] = k != CODE_SKIP ? color_[k] : old;
        } else if constexpr (MODE == Mode::BLEND) {
            pixels_[at] = blend(premultiplied_[k], inverse_[k], pixels_[at]);
        } else {
            const uint16_t old = pixels_[at];
            const uint8_t oldAlpha = alpha_[at];
            pixels_[at] = k != CODE_SKIP ? color_[k] : old;
            alpha_[at] = k != CODE_SKIP ? alpha8_[k] : oldAlpha;
        }
    }

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
            pixels_[at] = color_[k];
        } else if constexpr (MODE == Mode::BLEND) {
            const uint32_t inverse = inverse_[k];
            if (inverse == 0) {
                pixels_[at] = opaque(premultiplied_[k]);
            } else if (inverse < ALPHA_OPAQUE) {
                pixels_[at] = blend(premultiplied_[k], inverse, pixels_[at]);
            }
        } else {
            pixels_[at] = color_[k];
            alpha_[at] = alpha8_[k];
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
    void fill(uint32_t entry, uint32_t n, uint32_t len) {
        const size_t at = target(n);
        uint16_t* const dst = pixels_ + at;
        const uint16_t color = loadColor(sprite_.palette, entry);
        const uint32_t a = alphaOf(entry);
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
        if constexpr (MODE == Mode::ALPHA) fillRun(alpha_ + at, len, static_cast<uint8_t>(a));
    }

    void skip(uint32_t, uint32_t) {}

private:
#ifdef RLE565_WALK_SSE2
    // The eight skip or literal codes at k blended onto dst: colours and
    // alphas gathered from the table, skips at alpha 0, which gives back the
    // target's own pixel.
    void blendEight(const uint8_t* k, uint16_t* dst) const {
        const uint32_t* const t = pairs_;
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
        const uint32_t* const t = pairs_;
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
        const uint64_t four = color_[k[0]] | static_cast<uint64_t>(color_[k[1]]) << 16 |
                              static_cast<uint64_t>(color_[k[2]]) << 32 |
                              static_cast<uint64_t>(color_[k[3]]) << 48;
        __builtin_memcpy(dst, &four, sizeof four);
        return true;
    }
#endif

    // Where column n lands; only asked for columns inside the clip, so the
    // sum is never negative.
    size_t target(uint32_t n) const {
        return static_cast<size_t>(static_cast<int64_t>(x_) + static_cast<int64_t>(n));
    }

    // An entry's alpha, 32 for a sprite without alpha palette; values above
    // 32 count as opaque.
    uint32_t alphaOf(uint32_t entry) const {
        if (sprite_.alphas == nullptr) return ALPHA_OPAQUE;
        const uint32_t a = sprite_.alphas[entry];
        return a < ALPHA_OPAQUE ? a : ALPHA_OPAQUE;
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
        const uint16_t mixed = foldRgb565((premultiplied + spreadRgb565(dd) * inverse) >> 5);
        return bSwap ? swapBytes(mixed) : mixed;
    }

    // The table of literal codes 1 to 252 from palette base `base`; codes
    // naming no entry are never painted, as the walker stops at them.
    void resolve(uint32_t base) {
        base_ = base;
        const uint32_t nLiterals = literalsBelow(sprite_.palette_size, base);
        for (uint32_t k = 1; k <= nLiterals; ++k) {
            const uint32_t entry = base + k;
            const uint16_t color = loadColor(sprite_.palette, entry);
            const uint32_t a = alphaOf(entry);
            if constexpr (MODE != Mode::BLEND) color_[k] = bSwap ? swapBytes(color) : color;
            if constexpr (MODE == Mode::BLEND) {
                premultiplied_[k] = spreadRgb565(color) * a;
                inverse_[k] = static_cast<uint8_t>(ALPHA_OPAQUE - a);
#ifdef RLE565_WALK_SSE2
                pairs_[k] = color | a << 16;
#endif
            }
            if constexpr (MODE == Mode::ALPHA) alpha8_[k] = static_cast<uint8_t>(a);
        }
        if constexpr (MODE != Mode::BLEND) color_[CODE_SKIP] = 0;
        if constexpr (MODE == Mode::BLEND) {
            premultiplied_[CODE_SKIP] = 0;
            inverse_[CODE_SKIP] = ALPHA_OPAQUE;
#ifdef RLE565_WALK_SSE2
            pairs_[CODE_SKIP] = 0;
#endif
        }
        if constexpr (MODE == Mode::ALPHA) alpha8_[CODE_SKIP] = 0;
    }

    struct Empty {};
    using ColorTable = uint16_t[TABLE_SIZE];
    using WordTable = uint32_t[TABLE_SIZE];
    using ByteTable = uint8_t[TABLE_SIZE];

    const rle565_sprite& sprite_;
    uint32_t base_ = 0;
    // Only the tables a mode reads take room: the runtime's stack may be small.
    [[no_unique_address]] typename Select<MODE != Mode::BLEND, ColorTable, Empty>::Type color_;
    [[no_unique_address]] typename Select<MODE == Mode::ALPHA, ByteTable, Empty>::Type alpha8_;
    [[no_unique_address]]
    typename Select<MODE == Mode::BLEND, WordTable, Empty>::Type premultiplied_;
    [[no_unique_address]] typename Select<MODE == Mode::BLEND, ByteTable, Empty>::Type inverse_;
#ifdef RLE565_WALK_SSE2
    // Colour and alpha side by side (colour in the low half), for blending
    // eight at a time.
    [[no_unique_address]] typename Select<MODE == Mode::BLEND, WordTable, Empty>::Type pairs_;
#endif
};

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
template <class P>
void drawLine(const uint8_t* p, const uint8_t* const end, const uint8_t* const readEnd,
              const uint32_t width, const uint32_t nEntries, const uint32_t lo, const uint32_t hi,
              P& painter) {
    uint32_t base = 0;
    uint32_t nLiterals = literalsBelow(nEntries, base);
#ifdef RLE565_WALK_SSE2
    __m128i literalLimit = byteLimit(nLiterals);
#else
    (void)readEnd;
#endif
    uint32_t n = 0;
    // Columns left of the clip, counted; a run across its left edge is
    // painted from there.
    while (n < lo) {
        if (p == end) return;
        const uint32_t c = *p;
#ifdef RLE565_WALK_SSE2
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
#endif
        ++p;
        if (c <= nLiterals) {
            ++n;
            continue;
        }
        if (c == CODE_SKIP_RUN) {
            if (p == end) return;
            n += *p++;
            continue;
        }
        if (c <= CODE_LITERAL_MAX || end - p < 2) return;
        const uint32_t value = p[0];
        const uint32_t count = p[1];
        p += 2;
        if (c == CODE_SWITCH) {
            base = value | count << 8;
            nLiterals = literalsBelow(nEntries, base);
#ifdef RLE565_WALK_SSE2
            literalLimit = byteLimit(nLiterals);
#endif
            painter.setBase(base);
            continue;
        }
        // A run of nothing draws nothing, so its index needs no entry.
        if (count == 0) continue;
        if (base + value >= nEntries) return;
        // A run is cut at the end of its line, which ends the walk.
        const uint32_t drawn = count < width - n ? count : width - n;
        painter.run(base + value, n, drawn);
        n += drawn;
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
#ifdef RLE565_WALK_SSE2
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
#endif
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
#ifdef RLE565_WALK_SSE2
            literalLimit = byteLimit(nLiterals);
#endif
            painter.setBase(base);
        } else {
            return;
        }
    }
}

#else

// Paints what the walker tells onto one target row at a time, resolving each
// entry from the palette as it comes: no table, no copies per kind of target.
// With lo = hi = 0 it paints nothing and serves as the check at open.
class Painter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;

    Painter(const uint8_t* palette, const uint8_t* alphas, bool bSwap)
        : palette_(palette), alphas_(alphas), bSwap_(bSwap) {}

    void setBase(uint32_t) {}

    void shortCodes(const uint8_t* codes, uint32_t count, uint32_t base, uint32_t n) {
        for (uint32_t i = 0; i < count; ++i) {
            if (codes[i] != CODE_SKIP) paint(base + codes[i], n + i, 1);
        }
    }

    void literal(uint32_t entry, uint32_t n) { paint(entry, n, 1); }

    void run(uint32_t entry, uint32_t n, uint32_t count) { paint(entry, n, count); }

    void skip(uint32_t, uint32_t) {}

private:
    // Paints `count` pixels of an entry from column n, inside the clip: with
    // a target alpha colour and alpha copied, else alpha 0 leaves the pixel,
    // 32 (or more) replaces it and anything between blends.
    void paint(uint32_t entry, uint32_t n, uint32_t count) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (!clip(from, to)) return;
        const uint16_t color = loadColor(palette_, entry);
        uint32_t a = ALPHA_OPAQUE;
        if (alphas_ != nullptr && alphas_[entry] < ALPHA_OPAQUE) a = alphas_[entry];
        const uint32_t premultiplied = spreadRgb565(color) * a;
        for (uint32_t i = from; i < to; ++i) {
            // Only columns inside the clip, so the sum is never negative.
            const auto at = static_cast<size_t>(static_cast<int64_t>(x_) + i);
            uint16_t value = color;
            if (alpha_ != nullptr) {
                alpha_[at] = static_cast<uint8_t>(a);
            } else if (a == 0) {
                continue;
            } else if (a < ALPHA_OPAQUE) {
                const uint16_t d = bSwap_ ? swapBytes(pixels_[at]) : pixels_[at];
                value = foldRgb565((premultiplied + spreadRgb565(d) * (ALPHA_OPAQUE - a)) >> 5);
            }
            pixels_[at] = bSwap_ ? swapBytes(value) : value;
        }
    }

    const uint8_t* palette_;
    const uint8_t* alphas_;
    bool bSwap_;
};

#endif

// The lines of a sprite as rle565_draw places them: the visible ones, top to
// bottom, found by stepping through the line-length table.
struct ClippedLines {
    const rle565_sprite& sprite;
    const rle565_target& target;
    int32_t x;
    uint32_t lo;      // first visible column of the sprite
    uint32_t hi;      // one past the last
    uint32_t top;     // first visible line
    uint32_t bottom;  // one past the last
    int64_t row;      // the target row of sprite line 0

    template <class P>
    void paint(P& painter) const {
        const uint8_t* entry = sprite.lengths;
        const uint8_t* const tableEnd = sprite.codes;
        const uint8_t* codes = sprite.codes;
        uint32_t count = 0;
        const auto width = static_cast<uint32_t>(sprite.width);
        for (uint32_t i = 0; i < bottom; ++i) {
            const size_t taken = readLineLength(entry, tableEnd, count);
            // A line that reaches past the bytes ends the draw: only bytes
            // changed since the sprite opened can make one.
            if (taken == 0 || count > static_cast<size_t>(sprite.end - codes)) return;
            entry += taken;
            // Lines above the target are stepped over by their lengths alone.
            if (i < top) {
                codes += count;
                continue;
            }
            const auto r = static_cast<ptrdiff_t>(row + i);
            const ptrdiff_t at = r * static_cast<ptrdiff_t>(target.stride);
            painter.setRow(target.pixels + at, target.alpha ? target.alpha + at : nullptr, x, lo,
                           hi);
#ifndef RLE565_DRAW_COMPACT
            drawLine(codes, codes + count, sprite.end, width, sprite.palette_size, lo, hi, painter);
#else
            walkLine(codes, codes + count, sprite.end, width, hi, sprite.palette_size, painter);
#endif
            codes += count;
        }
    }
};

// The lines of drawLineRows(), placed by its caller.
struct GivenLines {
    uint32_t width;
    uint32_t nLines;
    uint32_t nEntries;
    NextLineRow next;
    void* context;

    template <class P>
    void paint(P& painter) const {
        for (uint32_t i = 0; i < nLines; ++i) {
            LineRow line;
            if (!next(context, i, line)) continue;
            painter.setRow(line.pixels, line.alpha, 0, 0, width);
            walkLine(line.codes, line.end, line.end, width, width, nEntries, painter);
        }
    }
};

#ifndef RLE565_DRAW_COMPACT

template <Mode MODE, class Lines>
void paintAs(const rle565_sprite& sprite, bool bSwap, const Lines& lines) {
    if (bSwap) {
        Painter<MODE, true> painter(sprite);
        lines.paint(painter);
    } else {
        Painter<MODE, false> painter(sprite);
        lines.paint(painter);
    }
}

template <class Lines>
void paintLines(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                const Lines& lines) {
    const bool bSwap = (targetFlags & RLE565_TARGET_BYTESWAP) != 0;
    if (bTargetAlpha) {
        paintAs<Mode::ALPHA>(sprite, bSwap, lines);
    } else if (sprite.alphas != nullptr) {
        paintAs<Mode::BLEND>(sprite, bSwap, lines);
    } else {
        paintAs<Mode::COPY>(sprite, bSwap, lines);
    }
}

#else

template <class Lines>
void paintLines(const rle565_sprite& sprite, bool, uint32_t targetFlags, const Lines& lines) {
    Painter painter(sprite.palette, sprite.alphas, (targetFlags & RLE565_TARGET_BYTESWAP) != 0);
    lines.paint(painter);
}

#endif

inline uint32_t loadField(const uint8_t* bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset] | bytes[offset + 1] << 8);
}

}  // namespace

void drawLineRows(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                  uint32_t nLines, NextLineRow next, void* context) {
    if (sprite.width <= 0) return;
    const GivenLines lines{static_cast<uint32_t>(sprite.width), nLines, sprite.palette_size, next,
                           context};
    paintLines(sprite, bTargetAlpha, targetFlags, lines);
}

}  // namespace rle565

extern "C" {

int rle565_sprite_open(rle565_sprite* sprite, const void* bytes, size_t size) {
    using namespace rle565;
    if (sprite == nullptr) return RLE565_ERR_ARGUMENT;
    // Field by field: a whole-struct store would be a call to memset, which
    // freestanding builds need not have.
    sprite->width = 0;
    sprite->height = 0;
    sprite->flags = 0;
    sprite->palette_size = 0;
    sprite->palette = nullptr;
    sprite->alphas = nullptr;
    sprite->lengths = nullptr;
    sprite->codes = nullptr;
    sprite->end = nullptr;
    sprite->fault_line = -1;
    if (bytes == nullptr && size > 0) return RLE565_ERR_ARGUMENT;
    const auto* const file = static_cast<const uint8_t*>(bytes);
    if (size < RLE_HEADER_SIZE || file[0] != 'R' || file[1] != 'L') return RLE565_ERR_HEADER;
    // The converter keeps the data block's size in 32 bits.
    if (size - RLE_HEADER_SIZE > UINT32_MAX) return RLE565_ERR_TOO_LARGE;
    const uint32_t flagsWord = loadField(file, RLE_HEAD_FLAGS);
    const BlockShape shape{loadField(file, RLE_HEAD_WIDTH), loadField(file, RLE_HEAD_HEIGHT),
                           flagsWord, loadField(file, RLE_HEAD_PALETTE_SIZE)};
    const uint8_t* const data = file + RLE_HEADER_SIZE;
    const size_t dataSize = size - RLE_HEADER_SIZE;
    const uint8_t* codes = nullptr;
    const auto onLine = [&codes, data](uint32_t line, size_t offset) {
        if (line == 0) codes = data + offset;
    };
#ifdef RLE565_DRAW_COMPACT
    // The walk that draws, told to paint no column: one compiled walk less.
    const BlockFault fault =
        checkBlock(data, dataSize, shape, onLine, Painter(nullptr, nullptr, false));
#else
    const BlockFault fault = checkBlock(data, dataSize, shape, onLine);
#endif
    if (fault.fault != RLE565_OK) {
        sprite->fault_line = fault.line;
        return fault.fault;
    }
    const size_t tableStart = lengthTableStart(shape);
    sprite->width = static_cast<int32_t>(shape.width);
    sprite->height = static_cast<int32_t>(shape.height);
    sprite->flags = flagsWord;
    sprite->palette_size = shape.nEntries;
    sprite->palette = data;
    sprite->alphas =
        (flagsWord & RLE_ALPHA) != 0 ? data + 2 * static_cast<size_t>(shape.nEntries) : nullptr;
    sprite->lengths = data + tableStart;
    // Without lines the codes would start where the table ends, which is
    // where it starts.
    sprite->codes = codes != nullptr ? codes : sprite->lengths;
    sprite->end = file + size;
    return RLE565_OK;
}

const char* rle565_error_text(int error) {
    switch (error) {
        case RLE565_OK:
            return "sound";
        case RLE565_ERR_ARGUMENT:
            return "no sprite, or no bytes";
        case RLE565_ERR_HEADER:
            return "no RLE header";
        case RLE565_ERR_PALETTE:
            return "palette tables reach past the data block";
        case RLE565_ERR_LENGTH_TABLE:
            return "line-length table reaches past the data block";
        case RLE565_ERR_LINE_BLOCK:
            return "line codes reach past the data block";
        case RLE565_ERR_LINE_LENGTH:
            return "code reaches past the line's length";
        case RLE565_ERR_OVERSHOOT:
            return "run passes the end of the line";
        case RLE565_ERR_ENTRY:
            return "code names an entry beyond the palette";
        case RLE565_ERR_TOO_FEW:
            return "line covers fewer pixels than the width";
        case RLE565_ERR_TOO_LARGE:
            return "data block larger than 4 GiB";
        default:
            return "unknown error";
    }
}

void rle565_draw(const rle565_sprite* sprite, const rle565_target* target, int32_t x, int32_t y) {
    using namespace rle565;
    if (sprite == nullptr || target == nullptr || target->pixels == nullptr) return;
    if (sprite->width <= 0 || sprite->height <= 0 || target->width <= 0 || target->height <= 0)
        return;
    // Sprite columns and lines that land inside the target, in 64 bits so
    // that no position overflows.
    const int64_t left = x < 0 ? -static_cast<int64_t>(x) : 0;
    const int64_t right = static_cast<int64_t>(target->width) - x;
    const int64_t above = y < 0 ? -static_cast<int64_t>(y) : 0;
    const int64_t below = static_cast<int64_t>(target->height) - y;
    const int64_t hi = right < sprite->width ? right : sprite->width;
    const int64_t bottom = below < sprite->height ? below : sprite->height;
    if (left >= hi || above >= bottom) return;
    const ClippedLines lines{*sprite,
                             *target,
                             x,
                             static_cast<uint32_t>(left),
                             static_cast<uint32_t>(hi),
                             static_cast<uint32_t>(above),
                             static_cast<uint32_t>(bottom),
                             y};
    paintLines(*sprite, target->alpha != nullptr, target->flags, lines);
}

}  // extern "C"
