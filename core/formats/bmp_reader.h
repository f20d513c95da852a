// The reader of Windows BMP files: uncompressed (1, 4, 8, 16, 24 and 32
// bits), with bit masks (16 and 32 bits) and RLE-coded (RLE8, RLE4).
#pragma once

#include <rle565/image.h>
#include <rle565/inspect.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

namespace rle565 {

// Reads the rest of a BMP file from a stream positioned just after "BM" and
// returns a plain image: RGB565 pixels, top line first, and an alpha plane
// (0 to 32) for 32-bit files without masks and for files with an alpha mask.
// Pixels that RLE codes leave undrawn are the colour key. Reads strictly forward and never closes
// the file. nullptr with the reason in errorText on failure.
std::unique_ptr<Image> readBmp(std::FILE* file, ErrorText& errorText);

// The same from the bytes of a file after "BM", held in memory.
std::unique_ptr<Image> readBmpBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText);

}  // namespace rle565
