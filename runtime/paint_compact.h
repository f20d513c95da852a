// The compact painter of the drawing runtime, which builds for size take:
// no tables, the kind of target told at run time, walked by walkLine().
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

// Paints what the walker tells onto one target row at a time, without
// tables: runs resolve their entry once and fill with one loop per kind of
// target; literals of colour-key sprites drawn as they are come straight from
// the file's palette, others are resolved pixel by pixel. With lo = hi = 0 it
// paints nothing and serves as the check at open. It also draws what the fast
// painters leave to it: mirrored lines, whose column n lands on
// pixels[x - n].
class CompactPainter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;
    static constexpr bool WHOLE_WALK = true;
    static constexpr bool TAKES_STRETCH = true;

    CompactPainter(const uint8_t* palette, const uint8_t* alphas, bool bSwap)
        : palette_(palette), alphas_(alphas), bSwap_(bSwap) {}

    // Other colours (or null), an opacity 0..32, whether lines are mirrored
    // and whether the target has an alpha array.
    void setLook(const Look& look, bool bFlip, bool bTargetAlpha) {
        colors_ = look.colors;
        opacity_ = look.opacity;
        step_ = bFlip ? -1 : 1;
        const uint8_t* const palette = palette_;
        // A colour-key sprite drawn as it is, its palette at an even address
        // on a little-endian machine: a literal is its palette entry's
        // halfword (a skip code names entry `base`, never read).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (alphas_ == nullptr && look.colors == nullptr && look.opacity >= ALPHA_OPAQUE &&
            !bSwap_ && !bTargetAlpha && (reinterpret_cast<uintptr_t>(palette) & 1) == 0)
            direct_ = reinterpret_cast<const AliasedColor*>(palette);
#else
        (void)bTargetAlpha;
#endif
    }

    void setBase(uint32_t) {}

    // The columns of every line, then each line's row: the walk over the
    // lines built for size sets them apart (fewer values held across it).
    void setColumns(int32_t x, uint32_t lo, uint32_t hi) {
        x_ = x;
        lo_ = lo;
        hi_ = hi;
    }

    void setPixels(uint16_t* pixels, uint8_t* alpha) {
        pixels_ = pixels;
        alpha_ = alpha;
    }

    // A stretch of short codes, as walkLine() tells a visitor that takes
    // them: told apart from the code after the stretch as they are painted,
    // in one loop that keeps shortCodesAt()'s rule (on the Cortex-M0+ a count
    // of the codes and then a paint took twice the instructions a code).
    // Codes outside the clip are only told apart: all of them for the check
    // at open, which paints no column. Colour-key literals drawn as they are
    // are their palette entries' halfwords; others are resolved pixel by
    // pixel.
    // Inside the walk: painting a pixel takes one frame beyond the walker's.
    [[gnu::always_inline]] uint32_t stretch(const uint8_t* codes, uint32_t most, uint32_t base,
                                            uint32_t n, uint32_t nLiterals) {
        if (n >= hi_) return shortCodesAt(codes, most, nLiterals);
        const uint8_t* c = codes;
        const uint8_t* const end = codes + most;
        for (; n < lo_; ++n) {
            if (*c > nLiterals) return static_cast<uint32_t>(c - codes);
            if (++c == end) return most;
        }
        // Inside the clip, which a walk that stops at its right edge never
        // leaves; each literal is still tested against it, but for the
        // halfwords' loop.
        if (direct_ != nullptr && step_ > 0 && static_cast<size_t>(end - c) <= hi_ - n) {
            c = paintDirect(c, end, nLiterals, direct_ + base, pixels_ + place(n));
            return static_cast<uint32_t>(c - codes);
        }
        do {
            const uint32_t code = *c;
            if (code > nLiterals) break;
            if (code != CODE_SKIP) run(base + code, n, 1);
            ++n;
        } while (++c != end);
        return static_cast<uint32_t>(c - codes);
    }

    void literal(uint32_t entry, uint32_t n) { run(entry, n, 1); }

    // count pixels of an entry: for colour-key sprites drawn as they are,
    // its palette halfword filled, else paint().
    void run(uint32_t entry, uint32_t n, uint32_t count) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (!clip(from, to)) return;
        if (direct_ != nullptr) {
            fill(pixels_ + place(from), direct_[entry], to - from, step_);
            return;
        }
        paint(entry, place(from), to - from);
    }

    void skip(uint32_t, uint32_t) {}

private:
    // count pixels of an entry from place `at` on: resolved once, then, by
    // the kind of target, told once: colour and alpha copied to a target
    // with an alpha array, else alpha 0 leaves the pixels, 32 replaces them
    // and anything between blends.
    [[gnu::always_inline]] void paint(uint32_t entry, ptrdiff_t at, uint32_t count) const {
        uint16_t* p = pixels_ + at;
        const ptrdiff_t step = step_;
        const uint16_t color = entryColor(palette_, colors_, entry);
        const uint32_t a = entryAlpha(alphas_, opacity_, entry);
        const uint16_t value = bSwap_ ? swapBytes(color) : color;
        if (alpha_ != nullptr || a >= ALPHA_OPAQUE) {
            // The alphas first, then the colours by fill(): fewer values
            // live at once, a smaller frame.
            if (alpha_ != nullptr) {
                uint8_t* q = alpha_ + at;
                uint32_t k = count;
                do {
                    *q = static_cast<uint8_t>(a);
                    q += step;
                } while (--k != 0);
            }
            fill(p, value, count, step);
        } else if (a != 0) {
            const uint32_t premultiplied = spreadRgb565(color) * a;
            const uint32_t inverse = ALPHA_OPAQUE - a;
            do {
                const uint16_t d = bSwap_ ? swapBytes(*p) : *p;
                const uint16_t mixed = blendPremultiplied(premultiplied, inverse, d);
                *p = bSwap_ ? swapBytes(mixed) : mixed;
                p += step;
            } while (--count != 0);
        }
    }

    // Paints the literals of the codes from c on, up to end or the first
    // code above nLiterals, which it returns, with the colours at `colors`.
    // Out of line, as a loop of its own: all it needs stays in registers.
    [[gnu::noinline]] static const uint8_t* paintDirect(const uint8_t* c, const uint8_t* end,
                                                        uint32_t nLiterals,
                                                        const AliasedColor* colors, uint16_t* to) {
        uint16_t* p = to;
        do {
            const uint32_t code = *c;
            if (code > nLiterals) break;
            if (code != CODE_SKIP) *p = colors[code];
            ++p;
        } while (++c != end);
        return c;
    }

    // Where column n lands, in 32 bits: only asked for columns inside the
    // clip, whose place lies in 0 .. the target's width - 1, which the sum
    // modulo 2^32 gives exactly even where x alone wrapped.
    ptrdiff_t place(uint32_t n) const {
        const auto origin = static_cast<uint32_t>(x_);
        return static_cast<ptrdiff_t>(step_ < 0 ? origin - n : origin + n);
    }

    // Out of line, as a loop of its own: all it needs stays in registers
    // (inside run() the count went to the stack at every pixel).
    [[gnu::noinline]] static void fill(uint16_t* p, uint16_t value, uint32_t count,
                                       ptrdiff_t step) {
        do {
            *p = value;
            p += step;
        } while (--count != 0);
    }

    // Whole words: packed in one, the opacity and the step cost each pixel
    // of alpha sprites loads and extensions on the M0+ (1.96 to 1.91 of the
    // raw blend), for 8 bytes of stack.
    const uint8_t* palette_;
    const uint8_t* alphas_;
    const uint16_t* colors_ = nullptr;
    const AliasedColor* direct_ = nullptr;
    uint32_t opacity_ = ALPHA_OPAQUE;
    ptrdiff_t step_ = 1;
    bool bSwap_;
};

}  // namespace RLE565_PAINT_VARIANT

// The runtime's own sources built for size keep one compiled walk of the
// codes for the compact painter: open.cpp makes it for its check, draw.cpp
// calls it.
#if defined(RLE565_RUNTIME_SOURCE) && defined(RLE565_DRAW_COMPACT)
extern template LineWalk walkLine<CompactPainter>(const uint8_t*, const uint8_t*, const uint8_t*,
                                                  uint32_t, uint32_t, uint32_t, CompactPainter&);
#endif

}  // namespace rle565
