// The layout of the BMP files writeBmp makes, for writers that make the pixel
// bytes themselves (mode b decodes straight into them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace rle565 {

// The file header and the 40-byte info header before the pixel rows.
inline constexpr std::size_t BMP_HEADER_SIZE = 54;

// The shape of the file writeBmp makes of a width × height image: 32 bits per
// pixel with alpha, 24 without. Lets a caller that makes the pixel bytes
// itself (mode b decodes straight into them) write the same file.
struct BmpLayout {
    bool bAlpha = false;
    std::size_t rowSize = 0;     // bytes per row, fill included; 0 when there are no pixels
    std::uint32_t rowsSize = 0;  // bytes of all rows
    std::array<std::uint8_t, BMP_HEADER_SIZE> header{};  // file header and 40-byte info header
};

// Bytes per row of a file of that width, fill included.
std::uint64_t bmpRowSize(std::uint64_t width, bool bAlpha);

// Nothing when a side is negative or the file would not fit the 32-bit sizes.
std::optional<BmpLayout> layoutBmp(std::int32_t width, std::int32_t height, bool bAlpha);

// The four bytes writeBmp stores for one pixel of a 32-bit file, at out:
// blue, green and red widened to 0..255, then the alpha (0..32, above 32
// counts as 32) widened to 0..255. 24-bit files take the first three.
void widenPixel(std::uint16_t color, std::uint8_t alpha, std::uint8_t* out);

}  // namespace rle565
