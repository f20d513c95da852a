// The writer of 24-bit BMP files, or 32-bit ones for images with an alpha plane.
#pragma once

#include <rle565/image.h>
#include <rle565/output_target.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rle565 {

// Writes a plain image as a BMP file, replacing an existing file only when the
// whole file was written. False when the file cannot be written or would be
// larger than the format's 32-bit sizes allow.
[[nodiscard]] bool writeBmp(const Image& image, const OutputTarget& output);

// The bytes of that file, for callers that keep BMP images in memory.
// Empty when the image is too large for the format.
std::vector<std::uint8_t> encodeBmp(const Image& image);

// The size in bytes of the file writeBmp makes of a width × height image,
// with alpha or without, a negative side counting as 0; the size may pass
// what the format's 32-bit fields can hold, which writeBmp then refuses.
std::uint64_t bmpFileSize(std::int32_t width, std::int32_t height, bool bAlpha);

}  // namespace rle565
