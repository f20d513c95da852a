// The PNG reader: every colour type and bit depth, decoded by libspng into a
// plain image.
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

// The eight bytes every PNG file starts with.
inline constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE = {0x89, 'P',  'N',  'G',
                                                              '\r', '\n', 0x1A, '\n'};

// Whether the bytes start with the PNG signature.
bool isPng(std::span<const std::uint8_t> bytes);

// Reads the rest of a PNG file from a stream positioned just after its
// signature and returns a plain image: RGB565 pixels (8-bit channels lose
// their low bits, 16-bit channels keep their high byte first), top line
// first, and an alpha plane (0 to 32) when the file has an alpha channel or
// a tRNS chunk. Gamma, colour profiles and text are ignored. Reads forward
// and never closes the file. nullptr with the reason in errorText on failure.
std::unique_ptr<Image> readPng(std::FILE* file, ErrorText& errorText);

// The same from the bytes of a whole PNG file, signature included.
std::unique_ptr<Image> readPngBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText);

}  // namespace rle565
