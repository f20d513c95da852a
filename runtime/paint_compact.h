// The compact painter of the drawing runtime, which builds for size take:
// one loop for every kind of target, no tables, walked by walkLine().
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

// Paints what the walker tells onto one target row at a time, resolving each
// entry from the palette as it comes: no table, no copies per kind of target.
// With lo = hi = 0 it paints nothing and serves as the check at open. It
// also draws what the fast painters leave to it: mirrored lines, whose
// column n lands on pixels[x - n].
class CompactPainter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;
    static constexpr bool WHOLE_WALK = true;

    CompactPainter(const uint8_t* palette, const uint8_t* alphas, bool bSwap)
        : palette_(palette), alphas_(alphas), bSwap_(bSwap) {}

    // Other colours (or null), an opacity 0..32 and whether lines are mirrored.
    void setLook(const uint16_t* colors, uint32_t opacity, bool bFlip) {
        colors_ = colors;
        opacity_ = opacity;
        step_ = bFlip ? -1 : 1;
    }

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
        const uint16_t color = entryColor(palette_, colors_, entry);
        const uint32_t a = entryAlpha(alphas_, opacity_, entry);
        if (alpha_ == nullptr && a == 0) return;
        const uint32_t premultiplied = spreadRgb565(color) * a;
        // Only columns inside the clip, so the place is never negative.
        const ptrdiff_t at =
            static_cast<ptrdiff_t>(x_) +
            (step_ < 0 ? -static_cast<ptrdiff_t>(from) : static_cast<ptrdiff_t>(from));
        uint16_t* p = pixels_ + at;
        uint8_t* q = alpha_ != nullptr ? alpha_ + at : nullptr;
        for (uint32_t i = from; i < to; ++i, p += step_) {
            uint16_t value = color;
            if (q != nullptr) {
                *q = static_cast<uint8_t>(a);
                q += step_;
            } else if (a < ALPHA_OPAQUE) {
                const uint16_t d = bSwap_ ? swapBytes(*p) : *p;
                value = blendPremultiplied(premultiplied, ALPHA_OPAQUE - a, d);
            }
            *p = bSwap_ ? swapBytes(value) : value;
        }
    }

    const uint8_t* palette_;
    const uint8_t* alphas_;
    const uint16_t* colors_ = nullptr;
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
