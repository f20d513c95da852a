// Loads an image with the rle565 library, draws it onto a checkerboard larger
// than itself, the way an engine draws a sprite onto its frame, and prints an
// FNV-1a checksum of the frame.
#include <memory.h>  // the C library's header: the package must not hide it
#include <rle565/blit.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// The engine's own image and surface types, as most engines have: the
// library's names live in namespace rle565 and do not clash with them.
struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint16_t> pixels;
};
struct Surface {
    std::uint16_t* pixels = nullptr;
    std::int32_t stride = 0;
};

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
    rle565::ErrorText errorText{};
    const std::unique_ptr<rle565::Image> image = rle565::loadImage(argv[1], errorText);
    if (!image) {
        std::fprintf(stderr, "%s: %s\n", argv[1], errorText.data());
        return 1;
    }
    // RLE images are at most 65535 pixels a side; keep the example's frame small.
    if (image->width > 4096 || image->height > 4096) {
        std::fprintf(stderr, "%s: too large for this example\n", argv[1]);
        return 1;
    }
    Image frame;
    frame.width = image->width + OFFSET_X + MARGIN;
    frame.height = image->height + OFFSET_Y + MARGIN;
    frame.pixels.resize(static_cast<std::size_t>(frame.width) * frame.height);
    // One row of the board, then copies of it shifted by a square every
    // SQUARE rows.
    std::vector<std::uint16_t> rows[2];
    for (int phase = 0; phase < 2; ++phase) {
        for (std::int32_t x = 0; x < frame.width; ++x) {
            rows[phase].push_back(((x / SQUARE + phase) & 1) == 0 ? BOARD_LIGHT : BOARD_DARK);
        }
    }
    const Surface target{frame.pixels.data(), frame.width};
    for (std::int32_t y = 0; y < frame.height; ++y) {
        memcpy(target.pixels + static_cast<std::size_t>(y) * target.stride,
               rows[(y / SQUARE) & 1].data(), rows[0].size() * sizeof(std::uint16_t));
    }
    const rle565::Surface surface{frame.pixels, {}, frame.width};
    rle565::blitImage(*image, OFFSET_X, OFFSET_Y, surface);
    // The checksum comes last on the line, where scripts pick it up.
    std::printf("%" PRId32 "x%" PRId32 " %s, frame checksum %08" PRIx32 "\n", image->width,
                image->height, image->isRle() ? "RLE" : "BMP", checksum(frame.pixels));
    return 0;
}
