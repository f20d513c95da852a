// The drawing runtime's painters for callers that place the lines themselves:
// blitImage draws an image's lines, found through its line offsets, onto rows
// of a Surface that it has bounds-checked, through the same painting loops
// as rle565_draw.
#pragma once

#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

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

// Draws `nLines` lines of a sprite view whose palette fields and width are
// set (the lengths and codes fields are not read), each onto the row that
// next() gives. With bTargetAlpha every row has an alpha row too.
void drawLineRows(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                  uint32_t nLines, NextLineRow next, void* context);

}  // namespace rle565
