// The writer of 24-bit BMP files, or 32-bit ones for images with an alpha plane.
#pragma once

#include <rle565/image.h>
#include <rle565/output_file.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace rle565 {

// Writes a plain image as a BMP file, replacing an existing file only when the
// whole file was written. False when the file cannot be written or would be
// larger than the format's 32-bit sizes allow.
[[nodiscard]] bool writeBmp(const Image& image, const OutputTarget& output);

// The bytes of that file, for callers that keep BMP images in memory.
// Empty when the image is too large for the format.
std::vector<std::uint8_t> encodeBmp(const Image& image);

// The shape of the file writeBmp makes of a width × height image: 32 bits per
// pixel with alpha, 24 without. Lets a caller that makes the pixel bytes
// itself (mode b decodes straight into them) write the same file.
struct BmpLayout {
    bool bAlpha = false;
    std::size_t rowSize = 0;     // bytes per row, fill included; 0 when there are no pixels
    std::uint32_t rowsSize = 0;  // bytes of all rows
    std::array<std::uint8_t, 54> header{};  // file header and 40-byte info header
};

// Nothing when a side is negative or the file would not fit the 32-bit sizes.
std::optional<BmpLayout> layoutBmp(std::int32_t width, std::int32_t height, bool bAlpha);

// The four bytes writeBmp stores for one pixel of a 32-bit file, at out:
// blue, green and red widened to 0..255, then the alpha (0..32, above 32
// counts as 32) widened to 0..255. 24-bit files take the first three.
void widenPixel(std::uint16_t color, std::uint8_t alpha, std::uint8_t* out);

}  // namespace rle565
