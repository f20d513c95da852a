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
// With lo = hi = 0 it paints nothing and serves as the check at open.
class CompactPainter : public RowSpan {
public:
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;

    CompactPainter(const uint8_t* palette, const uint8_t* alphas, bool bSwap)
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
                value = blendPremultiplied(premultiplied, ALPHA_OPAQUE - a, d);
            }
            pixels_[at] = bSwap_ ? swapBytes(value) : value;
        }
    }

    const uint8_t* palette_;
    const uint8_t* alphas_;
    bool bSwap_;
};

}  // namespace RLE565_PAINT_VARIANT

// The runtime's own sources keep one compiled walk of the codes for the
// compact painter: open.cpp makes it for its check, draw.cpp calls it.
#ifdef RLE565_RUNTIME_SOURCE
extern template LineWalk walkLine<CompactPainter>(const uint8_t*, const uint8_t*, const uint8_t*,
                                                  uint32_t, uint32_t, uint32_t, CompactPainter&);
#endif

}  // namespace rle565
