// What the loader needs of recogniseFormat(), the one place that tells a
// file's format from its first bytes (<rle565/inspect.h>).
#pragma once

#include <rle565/inspect.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace rle565 {

// The bytes that tell every format apart: PNG's whole signature. Two tell
// BMP and RLE files, and whether a PNG or GIF file may follow.
inline constexpr std::size_t MAGIC_SIZE = 8;
inline constexpr std::size_t MAGIC_SHORT = 2;

// Whether the first two bytes start a PNG signature, so that reading on may
// tell a PNG file.
bool startsPng(std::span<const std::uint8_t> head);

// Whether the first two bytes start a GIF signature.
bool startsGif(std::span<const std::uint8_t> head);

}  // namespace rle565
