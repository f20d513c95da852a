// The drawing runtime's painters for callers that place the lines themselves:
// blitImage draws an image's lines, found through its line offsets, onto rows
// of a Surface that it has bounds-checked, through the same painting loops
// as rle565_draw. Header only: the core compiles it into its own objects, and
// the runtime's library exports nothing but its C functions.
#pragma once

#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "paint.h"
#include "walk.h"

namespace rle565 {

// One line to draw: its codes from `codes` (the line stops at `end` at the
// latest) and the target row that the sprite's column 0 lands on, with room
// for the sprite's whole width.
struct LineRow {
    const uint8_t* codes;
    const uint8_t* end;
    uint16_t* pixels;
    uint8_t* alpha;
};

// Gives line `line`'s codes and row, or false to leave the line undrawn.
using NextLineRow = bool (*)(void* context, uint32_t line, LineRow& row);

// Only the core's blitImage draws this way, in a source of its own.
namespace {

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

// Draws `nLines` lines of a sprite view whose palette fields and width are
// set (the lengths and codes fields are not read), each onto the row that
// next() gives. With bTargetAlpha every row has an alpha row too.
void drawLineRows(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                  uint32_t nLines, NextLineRow next, void* context) {
    if (sprite.width <= 0) return;
    const GivenLines lines{static_cast<uint32_t>(sprite.width), nLines, sprite.palette_size, next,
                           context};
    paintLines(sprite, bTargetAlpha, targetFlags, lines);
}

}  // namespace

}  // namespace rle565
