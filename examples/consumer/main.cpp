// Loads an image with the rle565 library, draws it onto a checkerboard larger
// than itself, the way an engine draws a sprite onto its frame, and prints an
// FNV-1a checksum of the frame.
#include <rle565/blit.h>
#include <rle565/image.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

using namespace rle565;

namespace {

// Where the sprite's top-left pixel lands, and the frame's border around it.
constexpr std::int32_t OFFSET_X = 5;
constexpr std::int32_t OFFSET_Y = 3;
constexpr std::int32_t MARGIN = 16;

// Two colours in squares of 8 pixels; the frame keeps no alpha, so partly
// transparent sprite pixels are blended onto them.
constexpr std::uint16_t BOARD_LIGHT = 0xC618;
constexpr std::uint16_t BOARD_DARK = 0x4208;
constexpr std::int32_t SQUARE = 8;

// FNV-1a over the pixels, low byte first, so that the sum is the same on
// every machine.
std::uint32_t checksum(const std::vector<std::uint16_t>& pixels) {
    std::uint32_t hash = 2166136261u;
    for (const std::uint16_t p : pixels) {
        for (const auto byte : {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8)}) {
            hash ^= byte;
            hash *= 16777619u;
        }
    }
    return hash;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sprite_checksum image.rle\n");
        return 2;
    }
    ErrorText errorText{};
    const std::unique_ptr<Image> image = loadImage(argv[1], errorText);
    if (!image) {
        std::fprintf(stderr, "%s: %s\n", argv[1], errorText.data());
        return 1;
    }
    // RLE images are at most 65535 pixels a side; keep the example's frame small.
    if (image->width > 4096 || image->height > 4096) {
        std::fprintf(stderr, "%s: too large for this example\n", argv[1]);
        return 1;
    }
    const std::int32_t width = image->width + OFFSET_X + MARGIN;
    const std::int32_t height = image->height + OFFSET_Y + MARGIN;
    std::vector<std::uint16_t> frame(static_cast<std::size_t>(width) * height);
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            const bool bLight = ((x / SQUARE + y / SQUARE) & 1) == 0;
            frame[static_cast<std::size_t>(y) * width + x] = bLight ? BOARD_LIGHT : BOARD_DARK;
        }
    }
    const Surface surface{frame, {}, width};
    blitImage(*image, OFFSET_X, OFFSET_Y, surface);
    // The checksum comes last on the line, where scripts pick it up.
    std::printf("%" PRId32 "x%" PRId32 " %s, frame checksum %08" PRIx32 "\n", image->width,
                image->height, image->isRle() ? "RLE" : "BMP", checksum(frame));
    return 0;
}
