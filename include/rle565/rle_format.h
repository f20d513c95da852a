// The RLE format's fixed numbers, the one home of them for the readers, the
// writers, the drawing runtime and the inspector. Needs nothing beyond
// <stddef.h> and <stdint.h>, so freestanding builds can include it.
//
// Layout (every 16-bit value little-endian, except the count inside a long
// line-length entry, which is stored high byte first):
//
//   offset  size    field
//   0       2       magic "RL" (0x4C52)
//   2       2       flags word: bit 0 RLE_ALPHA, bit 1 RLE_MULTIPAL, others 0
//   4       2       width
//   6       2       height
//   8       2       palette entry count N (entry 0 included)
//   10      2       height again (written, never read)
//   12      2N      palette table: RGB565 colours; entry 0 is the colour key
//   ..      N       alpha palette (0..32), only with RLE_ALPHA
//   ..      1 or 3  per line: line-length entry; L < 255 is one byte L,
//                   otherwise 0xFF, L >> 8, L & 0xFF
//   ..      ...     line codes, line 0 (the top line) first, back to back
//
// Everything after the 12-byte header is the data block. Each line's codes
// cover exactly `width` pixels; a palette base B starts at 0 on every line:
//
//   0             skip: one transparent pixel
//   1..252 k      literal: one pixel of entry B + k
//   253 lo hi     switch: B = lo + 256 * hi, covers nothing
//   254 k m       run: m pixels of entry B + k
//   255 m         skip-run: m transparent pixels
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace rle565 {

// The magic: the file's first two bytes, and the 16-bit value they make.
inline constexpr uint8_t RLE_MAGIC_0 = 'R';
inline constexpr uint8_t RLE_MAGIC_1 = 'L';
inline constexpr uint16_t RLE_MAGIC = RLE_MAGIC_0 | RLE_MAGIC_1 << 8;

// Header: the magic, then five little-endian 16-bit fields, at these file
// offsets.
inline constexpr size_t RLE_HEADER_SIZE = 12;
inline constexpr size_t RLE_HEAD_MAGIC = 0;
inline constexpr size_t RLE_HEAD_FLAGS = 2;
inline constexpr size_t RLE_HEAD_WIDTH = 4;
inline constexpr size_t RLE_HEAD_HEIGHT = 6;
inline constexpr size_t RLE_HEAD_PALETTE_SIZE = 8;
inline constexpr size_t RLE_HEAD_HEIGHT_AGAIN = 10;

// Flags word bits.
inline constexpr uint16_t RLE_ALPHA = 1;
inline constexpr uint16_t RLE_MULTIPAL = 2;

// The first byte of a long line-length entry; its count follows high byte
// first. Shorter counts take one byte.
inline constexpr uint8_t RLE_LONG_LENGTH = 0xFF;

// Line codes, by their first byte.
inline constexpr uint8_t CODE_SKIP = 0;
inline constexpr uint8_t CODE_LITERAL_MAX = 252;
inline constexpr uint8_t CODE_SWITCH = 253;
inline constexpr uint8_t CODE_RUN = 254;
inline constexpr uint8_t CODE_SKIP_RUN = 255;

// Alpha runs from 0 (transparent) to 32 (opaque).
inline constexpr uint8_t ALPHA_OPAQUE = 32;

// Limits that follow from the codes. A palette, or a palette base's stretch
// of a multi-palette one, names its visible entries by literal codes, so it
// holds at most RLE_MAX_VISIBLE of them, RLE_MAX_ENTRIES with the transparent
// entry 0. Every 16-bit field holds at most RLE_MAX_FIELD.
inline constexpr uint32_t RLE_MAX_VISIBLE = CODE_LITERAL_MAX;
inline constexpr uint32_t RLE_MAX_ENTRIES = RLE_MAX_VISIBLE + 1;
inline constexpr uint32_t RLE_MAX_FIELD = 0xFFFF;

// Where the data block's tables start, counted from the block's first byte:
// the colours at 0, the alphas after them, the line-length table after both.
inline constexpr size_t rleAlphaTableOffset(uint32_t nEntries) {
    return 2 * static_cast<size_t>(nEntries);
}
inline constexpr size_t rleLengthTableOffset(uint32_t nEntries, uint32_t flags) {
    return rleAlphaTableOffset(nEntries) +
           ((flags & RLE_ALPHA) != 0 ? static_cast<size_t>(nEntries) : 0);
}

}  // namespace rle565
