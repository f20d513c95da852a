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

    // A stretch of skip and literal codes: clipped once, then each literal
    // put where it lands, stepping through the row.
    void shortCodes(const uint8_t* codes, uint32_t count, uint32_t base, uint32_t n) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (!clip(from, to)) return;
        const ptrdiff_t at = place(from);
        uint16_t* p = pixels_ + at;
        uint8_t* q = alpha_ != nullptr ? alpha_ + at : nullptr;
        for (const uint8_t* c = codes + (from - n); c != codes + (to - n); ++c) {
            if (*c != CODE_SKIP) put(p, q, base + *c);
            p += step_;
            if (q != nullptr) q += step_;
        }
    }

    void literal(uint32_t entry, uint32_t n) {
        uint32_t from = n;
        uint32_t to = n + 1;
        if (!clip(from, to)) return;
        const ptrdiff_t at = place(from);
        put(pixels_ + at, alpha_ != nullptr ? alpha_ + at : nullptr, entry);
    }

    void run(uint32_t entry, uint32_t n, uint32_t count) {
        uint32_t from = n;
        uint32_t to = n + count;
        if (!clip(from, to)) return;
        const ptrdiff_t at = place(from);
        uint16_t* p = pixels_ + at;
        uint8_t* q = alpha_ != nullptr ? alpha_ + at : nullptr;
        const uint16_t color = entryColor(palette_, colors_, entry);
        const uint32_t a = alphaOf(entry);
        for (uint32_t i = from; i < to; ++i) {
            store(p, q, color, a);
            p += step_;
            if (q != nullptr) q += step_;
        }
    }

    void skip(uint32_t, uint32_t) {}

private:
    // Where column n lands; only asked for columns inside the clip, so the
    // place is never negative.
    ptrdiff_t place(uint32_t n) const {
        const auto column = static_cast<ptrdiff_t>(n);
        return static_cast<ptrdiff_t>(x_) + (step_ < 0 ? -column : column);
    }

    // An entry's alpha, scaled by the opacity.
    [[gnu::always_inline]] uint32_t alphaOf(uint32_t entry) const {
        return entryAlpha(alphas_, opacity_, entry);
    }

    void put(uint16_t* p, uint8_t* q, uint32_t entry) const {
        store(p, q, entryColor(palette_, colors_, entry), alphaOf(entry));
    }

    // One pixel of colour `value` and alpha a at p (and the alpha at q, for a
    // target with an alpha array, where colour and alpha are copied); else
    // alpha 0 leaves the pixel, 32 replaces it and anything between blends.
    [[gnu::always_inline]] void store(uint16_t* p, uint8_t* q, uint16_t value, uint32_t a) const {
        if (q != nullptr) {
            *q = static_cast<uint8_t>(a);
        } else if (a == 0) {
            return;
        } else if (a < ALPHA_OPAQUE) {
            const uint16_t d = bSwap_ ? swapBytes(*p) : *p;
            value = blendPremultiplied(spreadRgb565(value) * a, ALPHA_OPAQUE - a, d);
        }
        *p = bSwap_ ? swapBytes(value) : value;
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
