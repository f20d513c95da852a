// The RLE format's fixed numbers, the one home of them for the readers, the
// writers, the drawing runtime and the inspector. Needs nothing beyond
// <stddef.h> and <stdint.h>, so freestanding builds can include it; the layout
// itself is described in <rle565/rle_reader.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace rle565 {

// Header: the magic "RL", then five little-endian 16-bit fields, at these
// file offsets.
inline constexpr size_t RLE_HEADER_SIZE = 12;
inline constexpr size_t RLE_HEAD_FLAGS = 2;
inline constexpr size_t RLE_HEAD_WIDTH = 4;
inline constexpr size_t RLE_HEAD_HEIGHT = 6;
inline constexpr size_t RLE_HEAD_PALETTE_SIZE = 8;

// Flags word bits.
inline constexpr uint16_t RLE_ALPHA = 1;
inline constexpr uint16_t RLE_MULTIPAL = 2;

// The first byte of a long line-length entry; its count follows high byte first.
inline constexpr uint8_t RLE_LONG_LENGTH = 0xFF;

// Line codes, by their first byte.
inline constexpr uint8_t CODE_SKIP = 0;
inline constexpr uint8_t CODE_LITERAL_MAX = 252;
inline constexpr uint8_t CODE_SWITCH = 253;
inline constexpr uint8_t CODE_RUN = 254;
inline constexpr uint8_t CODE_SKIP_RUN = 255;

// Alpha runs from 0 (transparent) to 32 (opaque).
inline constexpr uint8_t ALPHA_OPAQUE = 32;

}  // namespace rle565
