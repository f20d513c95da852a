// The PNG reader: every colour type and bit depth, decoded by libspng into a
// plain image.
#pragma once

#include <rle565/image.h>

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

// What a PNG file's header says, for reports.
struct PngDescription {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bitDepth = 0;
    std::uint8_t colorType = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    bool bInterlaced = false;
    bool bTransparency = false;         // a tRNS chunk
    std::uint32_t nPaletteEntries = 0;  // the PLTE chunk's entries
};

// The header of a whole PNG file in memory, or nothing when it cannot be read.
std::optional<PngDescription> describePng(std::span<const std::uint8_t> bytes);

}  // namespace rle565
