// How both encoders read pixels: as raw values that compare equal exactly when
// two pixels are the same visible (colour, alpha) pair or both transparent.
#pragma once

#include <rle565/image.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rle565 {

// Pixels that the single-palette encoder tests at once for the continuation of a run: long
// runs, the bulk of most sprites, then cost a few instructions per RUN_BLOCK.
constexpr std::size_t RUN_BLOCK = 8;
constexpr std::uint64_t PIXEL_BYTE_LANES = 0x0101010101010101;
constexpr std::uint64_t PIXEL_WORD_LANES = 0x0001000100010001;

// Reads pixels as raw values that are equal exactly when two pixels are the
// same visible pair or both transparent, so that pixels are told apart without
// forming their keys. With an alpha plane the raw value is alpha << 16 |
// colour (0 for every transparent pixel, whatever its colour); without one it
// is the colour itself, and the colour key is the transparent value. Raw
// values stay below RAW_LIMIT.
template <bool bAlpha>
struct PixelSource {
    static constexpr std::uint32_t TRANSPARENT = bAlpha ? 0 : COLOR_KEY;

    const std::uint16_t* pixels;
    const std::uint8_t* alpha;

    std::uint32_t raw(std::size_t i) const {
        if constexpr (bAlpha) {
            const std::uint32_t a = alpha[i];
            // All ones when the pixel is visible, else 0: no branch on the
            // edges of shapes.
            const std::uint32_t visible = 0 - static_cast<std::uint32_t>(a != 0);
            return (a << 16 | pixels[i]) & visible;
        } else {
            return pixels[i];
        }
    }

    // Whether the RUN_BLOCK pixels from i all have the raw value raw. Compares
    // whole words against the value repeated in every lane, so the order
    // of bytes in a word does not matter.
    bool sameBlock(std::size_t i, std::uint32_t raw) const {
        std::array<std::uint64_t, 2> colors;
        if constexpr (bAlpha) {
            std::uint64_t alphas;
            std::memcpy(&alphas, alpha + i, sizeof alphas);
            // Transparent pixels may have any colour.
            if (raw == TRANSPARENT) return alphas == 0;
            if (alphas != PIXEL_BYTE_LANES * (raw >> 16)) return false;
        }
        std::memcpy(colors.data(), pixels + i, sizeof colors);
        const std::uint64_t color = PIXEL_WORD_LANES * (raw & 0xFFFF);
        return ((colors[0] ^ color) | (colors[1] ^ color)) == 0;
    }

    // The palette key colour × 32 + (alpha − 1) of a raw value that is not
    // TRANSPARENT.
    static std::uint32_t key(std::uint32_t raw) {
        if constexpr (bAlpha) {
            return (raw & 0xFFFF) * 32 + (raw >> 16) - 1;
        } else {
            return raw * 32 + (ALPHA_OPAQUE - 1);
        }
    }
};

}  // namespace rle565
