// The largest image any reader takes: where sprite work ends and a file that
// only claims a huge picture begins. Every reader (BMP, PNG, and any to come)
// refuses larger ones with "image too large" before it allocates anything.
#pragma once

#include <cstdint>

namespace rle565 {

// Pixels in all, width × height: a 16384 × 16384 sheet, 512 MiB of RGB565.
inline constexpr std::uint64_t MAX_IMAGE_PIXELS = std::uint64_t{16384} * 16384;

// Whether a width × height image stays within the readers' limit.
inline constexpr bool withinPixelLimit(std::uint64_t width, std::uint64_t height) {
    return width <= MAX_IMAGE_PIXELS && height <= MAX_IMAGE_PIXELS &&
           width * height <= MAX_IMAGE_PIXELS;
}

}  // namespace rle565
