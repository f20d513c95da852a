// What the drawing runtime's painters share: the table size, a palette
// entry's colour, the row a painter paints and its clip; and paintLines(),
// which picks the painter for a sprite and a target. Builds for size take the
// compact painter (paint_compact.h), others the fast ones (paint_fast.h).
//
// Freestanding, as the rest of the runtime.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "blend.h"
#include "walk.h"

// A build optimised for size (GCC's -Os, or RLE565_DRAW_COMPACT defined)
// takes the compact painter: one loop for every kind of target, deciding per
// pixel at run time, and one compiled walk of the codes shared with the check
// at open. Other builds take the fast painters, one per kind of target.
#if defined(__OPTIMIZE_SIZE__) && !defined(RLE565_DRAW_COMPACT)
#define RLE565_DRAW_COMPACT 1
#endif

// The painters' names carry the way they are built, as their tables and
// loops differ with it: a program may link the runtime built one way beside
// the core, which compiles the painters into its own objects, built another
// (the tests do).
#if defined(RLE565_DRAW_COMPACT)
#define RLE565_PAINT_VARIANT compact
#elif defined(RLE565_WALK_SSE2)
#define RLE565_PAINT_VARIANT lanes
#else
#define RLE565_PAINT_VARIANT plain
#endif

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {

// Literal codes a table covers: 1 to 252, and 0 for a skip code.
constexpr uint32_t TABLE_SIZE = 256;

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

}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565

#ifdef RLE565_DRAW_COMPACT
#include "paint_compact.h"
#else
#include "draw_line.h"
#include "paint_fast.h"
#endif

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {

#ifndef RLE565_DRAW_COMPACT

namespace {

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

}  // namespace

#else

template <class Lines>
void paintLines(const rle565_sprite& sprite, bool, uint32_t targetFlags, const Lines& lines) {
    CompactPainter painter(sprite.palette, sprite.alphas,
                           (targetFlags & RLE565_TARGET_BYTESWAP) != 0);
    lines.paint(painter);
}

#endif

}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565
