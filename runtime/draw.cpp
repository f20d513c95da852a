// The drawing runtime. Freestanding: no heap, exceptions, RTTI or library
// calls, nothing beyond <stddef.h> and <stdint.h>, so that the same source
// builds for a Cortex-M0+ and for the desktop.
//
// A draw resolves the palette once into a small table of target-ready values
// (colours byte-swapped when the target wants them, or colour times alpha for
// blending), then walks each visible line: codes left of the clip are
// counted without painting, codes right of it are not walked at all, short
// codes are painted from the table without a branch per pixel and runs as
// fills. The fast painters walk with drawLine(); the compact one with
// walkLine(), which also checks at open.
// The runtime's own source, as paint_compact.h tells apart.
#define RLE565_RUNTIME_SOURCE 1

#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "layout.h"
#include "paint.h"

namespace rle565 {

namespace {

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

}  // namespace

}  // namespace rle565

extern "C" {

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
