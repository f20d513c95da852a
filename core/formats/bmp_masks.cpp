#include <bit>
#include <cstdint>

#include "bytes.h"
#include "formats/bmp_pixels.h"

namespace rle565::detail {

namespace {

// The widths of the RGB565 fields.
constexpr std::uint32_t RED_BITS = 5;
constexpr std::uint32_t GREEN_BITS = 6;
constexpr std::uint32_t BLUE_BITS = 5;

std::optional<MaskChannel> channelOf(std::uint32_t mask) {
    if (mask == 0) return MaskChannel{};
    const auto shift = static_cast<std::uint32_t>(std::countr_zero(mask));
    const std::uint32_t run = mask >> shift;
    // One contiguous run: everything above its top bit is 0.
    if ((run & (run + std::uint64_t{1})) != 0) return std::nullopt;
    return MaskChannel{shift, static_cast<std::uint32_t>(std::popcount(run))};
}

// The channel's value placed at the top of a field of `field` bits.
std::uint32_t place(std::uint32_t pixel, const MaskChannel& c, std::uint32_t field) {
    if (c.bits == 0) return 0;
    const std::uint32_t value =
        static_cast<std::uint32_t>((std::uint64_t{pixel} >> c.shift) & ((1ull << c.bits) - 1));
    return c.bits < field ? value << (field - c.bits) : value >> (c.bits - field);
}

std::uint16_t colorOf(std::uint32_t pixel, const MaskLayout& m) {
    return static_cast<std::uint16_t>(place(pixel, m.red, RED_BITS) << 11 |
                                      place(pixel, m.green, GREEN_BITS) << 5 |
                                      place(pixel, m.blue, BLUE_BITS));
}

// An n-bit alpha scaled to 0..255 (rounding down), then reduced as 8-bit alpha is.
std::uint8_t alphaOf(std::uint32_t pixel, const MaskChannel& a) {
    const std::uint64_t top = (1ull << a.bits) - 1;
    const std::uint64_t value = (std::uint64_t{pixel} >> a.shift) & top;
    return reduceAlpha(static_cast<std::uint8_t>(value * 255 / top));
}

}  // namespace

std::optional<MaskLayout> layoutMasks(const BitMasks& masks, std::uint16_t bitCount) {
    if (bitCount != 16 && bitCount != 32) return std::nullopt;
    const std::uint64_t all = masks.red | masks.green | masks.blue | masks.alpha;
    const std::uint64_t sum =
        std::uint64_t{masks.red} + masks.green + masks.blue + std::uint64_t{masks.alpha};
    // Masks that share no bit add up to their union.
    if (sum != all || all >> bitCount != 0) return std::nullopt;
    const auto red = channelOf(masks.red);
    const auto green = channelOf(masks.green);
    const auto blue = channelOf(masks.blue);
    const auto alpha = channelOf(masks.alpha);
    if (!red || !green || !blue || !alpha) return std::nullopt;
    return MaskLayout{*red, *green, *blue, *alpha};
}

void convertMasked16(const std::uint8_t* row, const MaskLayout& layout, std::uint16_t* out,
                     std::uint8_t* alpha, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint32_t pixel = loadLe16(row + 2 * x);
        out[x] = colorOf(pixel, layout);
        if (layout.hasAlpha()) alpha[x] = alphaOf(pixel, layout.alpha);
    }
}

void convertMasked32(const std::uint8_t* row, const MaskLayout& layout, std::uint16_t* out,
                     std::uint8_t* alpha, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint32_t pixel = loadLe32(row + 4 * x);
        out[x] = colorOf(pixel, layout);
        if (layout.hasAlpha()) alpha[x] = alphaOf(pixel, layout.alpha);
    }
}

}  // namespace rle565::detail
