// The RLE file format and its reader.
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

#include <rle565/image.h>
#include <rle565/rle_format.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace rle565 {

// The load's words for an RLE file whose header is cut short, whose data
// block cannot be read whole, and whose tables or line codes are unsound.
inline constexpr const char* RLE_ERROR_HEADER = "RLE header read error";
inline constexpr const char* RLE_ERROR_READ = "RLE read error";
inline constexpr const char* RLE_ERROR_CORRUPT = "RLE data corrupt";

// The first structural fault of an RLE data block. `line` is the line whose
// length entry or codes are at fault, or -1 when the palette tables are.
struct RleFault {
    const char* what;
    std::int32_t line;
};

// What the header tells of an RLE image's data block.
struct RleShape {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t flags = 0;
    std::uint16_t paletteSize = 0;
};

// Where each line's codes lie: offsets[i] from codesStart (the block offset of
// the first line's codes), a line ending where the next starts and the last at
// total.
struct RleTable {
    std::vector<std::uint32_t> offsets;
    std::uint64_t total = 0;
    std::uint64_t codesStart = 0;
};

// Reads the line-length table of a data block of blockSize bytes whose first
// bytes are `head` (all of the block, or at least its palette tables and three
// bytes a line after them) and checks that the tables and every line's
// length lie inside the block. The first fault, or nothing.
std::optional<RleFault> readRleTable(std::span<const std::uint8_t> head, std::uint64_t blockSize,
                                     const RleShape& shape, RleTable& table);

// Fills lineOffsets of an RLE-form image whose width, height, flags,
// paletteSize, pixels and dataSize are set, and checks the whole structure:
// tables inside the data block, each line's codes inside its own length,
// every line covering exactly `width` pixels, every drawn entry below N.
// Returns the first fault, or nothing when the data block is sound.
std::optional<RleFault> indexRleLines(Image& image);

// The file's bytes as an RLE-form image without the structural check, so
// that indexRleLines() can name the fault of a damaged one. Nothing when the
// header is cut short or the data block exceeds the record's 32-bit size.
std::optional<Image> readRleUnchecked(std::span<const std::uint8_t> bytes);

// Reads an RLE file from an open stream (positioned anywhere) into an image
// in RLE form. nullptr with "RLE header read error", "RLE read error" or
// "RLE data corrupt" in errorText on failure. Never closes the file.
std::unique_ptr<Image> loadRle(std::FILE* file, ErrorText& errorText);

// The same from a whole RLE file held in memory, "RL" included.
std::unique_ptr<Image> loadRleBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText);

}  // namespace rle565
