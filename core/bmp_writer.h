// The writer of 24-bit BMP files, or 32-bit ones for images with an alpha plane.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"

// Writes a plain image as a BMP file, replacing an existing file only when the
// whole file was written. False when the file cannot be written or would be
// larger than the format's 32-bit sizes allow.
[[nodiscard]] bool writeBmp(const Image& image, const char* path);

// The bytes of that file, for callers that keep BMP images in memory.
// Empty when the image is too large for the format.
std::vector<std::uint8_t> encodeBmp(const Image& image);
