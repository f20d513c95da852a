// The one place that tells a file's format from its first bytes: "BM" for
// BMP, "RL" for RLE, the eight-byte signature for PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rle565 {

enum class FileFormat { Unknown, Bmp, Rle, Png };

// The bytes that tell every format apart: PNG's whole signature. Two tell
// BMP and RLE files, and whether a PNG file may follow.
inline constexpr std::size_t MAGIC_SIZE = 8;
inline constexpr std::size_t MAGIC_SHORT = 2;

// The format of a file whose first bytes are `head` (as many as there are, up
// to MAGIC_SIZE). A PNG file needs its whole signature; with fewer bytes, or
// any other start, the format is Unknown.
FileFormat recogniseFormat(std::span<const std::uint8_t> head);

// Whether the first two bytes start a PNG signature, so that reading on may
// tell a PNG file.
bool startsPng(std::span<const std::uint8_t> head);

}  // namespace rle565
