// The reduction of 8-bit channels to RGB565 and alpha 0..32, and the BMP
// pixel layouts beyond plain rows: pixels described by bit masks
// (BI_BITFIELDS, BI_ALPHABITFIELDS) and bitmaps coded as BI_RLE8 or BI_RLE4.
// The BMP reader parses the headers and hands the pixel data to these.
#pragma once

#include <rle565/image.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rle565::detail {

// 8-bit channels reduce to RGB565 by dropping their low bits; nothing is rounded.
inline std::uint16_t reduceRgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<std::uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
}

// 8-bit alpha from this value up counts as fully opaque.
inline constexpr std::uint8_t ALPHA_OPAQUE_FROM = 251;

// 8-bit alpha to 0..32: 251 and up opaque, the rest keep their top five bits.
inline std::uint8_t reduceAlpha(std::uint8_t a) {
    return a >= ALPHA_OPAQUE_FROM ? ALPHA_OPAQUE : static_cast<std::uint8_t>(a >> 3);
}

// Red, green, blue and alpha masks as the file gives them; 0 marks a channel
// the pixels do not hold.
struct BitMasks {
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;
    std::uint32_t alpha = 0;
};

// One channel's place in a pixel: its lowest bit and its width in bits.
struct MaskChannel {
    std::uint32_t shift = 0;
    std::uint32_t bits = 0;
};

struct MaskLayout {
    MaskChannel red;
    MaskChannel green;
    MaskChannel blue;
    MaskChannel alpha;

    bool hasAlpha() const { return alpha.bits != 0; }
};

// The channels of `masks` for pixels of `bitCount` bits (16 or 32), or
// nothing when a mask is not one contiguous run of bits, two masks share a
// bit, or a mask reaches past the pixel.
std::optional<MaskLayout> layoutMasks(const BitMasks& masks, std::uint16_t bitCount);

// Converts one row of `width` little-endian pixels of 2 or 4 bytes. Each
// colour channel goes to the top of its RGB565 field; `alpha` receives 0 to
// 32 per pixel and is only written when the layout has an alpha channel.
void convertMasked16(const std::uint8_t* row, const MaskLayout& layout, std::uint16_t* out,
                     std::uint8_t* alpha, std::size_t width);
void convertMasked32(const std::uint8_t* row, const MaskLayout& layout, std::uint16_t* out,
                     std::uint8_t* alpha, std::size_t width);

// The coded bytes of an RLE bitmap, handed out in file order. Bytes past the
// end of the file read as 0 and leave missing() true.
class CodeBytes {
public:
    virtual std::span<const std::uint8_t> take(std::size_t count) = 0;
    virtual bool missing() const = 0;
    // The bytes of the file read so far, headers included.
    virtual std::uint64_t bytesRead() const = 0;

protected:
    ~CodeBytes() = default;
};

// Turns a plane of `height` lines of `width` values, held in file order,
// upside down: BMP files keep their bottom line first unless the height is
// negative.
template <class T>
void turnOver(std::vector<T>& plane, std::size_t width, std::size_t height) {
    T* p = plane.data();
    for (std::size_t a = 0, b = height; a + 1 < b; ++a, --b)
        std::swap_ranges(p + a * width, p + (a + 1) * width, p + (b - 1) * width);
}

// Draws a BI_RLE8 (bitCount 8) or BI_RLE4 (bitCount 4) bitmap into the
// image's pixels, which it sizes itself, growing them with the lines the
// codes reach; undrawn places hold the colour key. Lines run bottom-up unless
// bTopDown. Pixels past a line's end or below the last line are dropped.
// Corrupt when the codes run past the file before the end-of-bitmap code,
// TooLarge when they would leave more of the picture undrawn than the bytes
// read so far may stand for (withinFileShare).
enum class RleDecode { Done, Corrupt, TooLarge };
[[nodiscard]] RleDecode decodeBmpRle(CodeBytes& in, std::uint16_t bitCount,
                                     const std::array<std::uint16_t, 256>& lut, bool bTopDown,
                                     Image& image);

}  // namespace rle565::detail
