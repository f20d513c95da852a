// Drawing images into 16-bit targets, and RLE decoding.
#pragma once

#include <rle565/image.h>

#include <cstdint>
#include <span>

namespace rle565 {

// The target of a blit; it points at the caller's arrays and owns nothing.
// The pixel in column u of row v is at v * stride + u in both arrays.
struct Surface {
    std::span<std::uint16_t> pixels;
    std::span<std::uint8_t> alpha;  // empty: the target keeps no alpha
    std::int32_t stride = 0;
};

// s laid over d with coverage a / 32, each channel at its own width, rounding down.
std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t d, std::uint32_t a);

// Draws an image of either form with its top-left pixel at (x, y). Targets
// with an alpha array get colours and alphas copied; others get partial alpha
// blended. Nothing outside the target's arrays or the image's data is touched:
// a line that would leave them is not drawn, or stops where it would.
void blitImage(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface);

// Decodes an RLE-form image into a plain one: undrawn pixels hold the colour
// key and, when the file carries alpha, alpha 0.
Image decodeRleImage(const Image& image);

}  // namespace rle565
