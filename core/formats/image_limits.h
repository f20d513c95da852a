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

// Codes that leave most of a picture undrawn (a BMP's skip and
// end-of-bitmap codes, a GIF screen larger than its frames) let a few bytes
// stand for a huge transparent picture. Such a picture may reach this many
// pixels per byte of the file read so far, beyond a first megapixel that any
// file may have: far past what runs of real art reach (a BMP run covers 128
// pixels a byte at most, GIF codes about 2,700), and far below what would
// let a small file take gigabytes.
inline constexpr std::uint64_t PIXELS_PER_FILE_BYTE = 4096;
inline constexpr std::uint64_t PIXELS_ANY_FILE = std::uint64_t{1} << 20;

// Whether `pixels` may stand for a file of which `bytesRead` were read.
inline constexpr bool withinFileShare(std::uint64_t pixels, std::uint64_t bytesRead) {
    return pixels <= PIXELS_ANY_FILE || pixels / PIXELS_PER_FILE_BYTE <= bytesRead;
}

}  // namespace rle565
