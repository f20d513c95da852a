// Writes the BMP images that the microcontroller tests embed after the
// converter has made RLE files of them:
//   keyed.bmp  40 x 30, 24-bit on the colour key: stripes, runs and speckles
//   multi.bmp  48 x 40, 32-bit, 60 (colour, alpha) pairs a band of 8 lines,
//              300 in all, so that it needs several palettes (-v2)
//   wide.bmp   300 x 6, 24-bit noise with keyed gaps: the odd lines take more
//              than 255 code bytes; wider than any target the tests draw on
// The pixels come from fixed formulas and one fixed-seed generator, so the
// files are the same on every build.
#include <rle565/bmp_writer.h>
#include <rle565/image.h>

#include <cstdint>
#include <cstdio>
#include <string>

using namespace rle565;

namespace {

std::uint32_t seed = 12345;

std::uint32_t nextRandom() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
}

Image makeImage(std::int32_t width, std::int32_t height, bool bAlpha) {
    Image image;
    image.width = width;
    image.height = height;
    image.pixels.assign(static_cast<std::size_t>(width) * height, COLOR_KEY);
    if (bAlpha) image.alpha.assign(image.pixels.size(), 0);
    return image;
}

Image makeKeyed() {
    Image image = makeImage(40, 30, false);
    constexpr std::uint16_t STRIPES[] = {0xF800, 0x07E0, 0x001F, 0xFFE0, 0x07FF, 0xFFFF};
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x) {
            const std::int32_t dx = 2 * x - 39;
            const std::int32_t dy = 2 * y - 29;
            if (dx * dx + dy * dy > 38 * 38) continue;  // outside the disc: transparent
            std::uint16_t color = STRIPES[(x + y) / 6 % 6];
            if (nextRandom() % 7 == 0) color = static_cast<std::uint16_t>(nextRandom() & 0xF7DF);
            if (y % 10 == 4 && x > 8 && x < 30) continue;  // a transparent slit
            image.pixels[static_cast<std::size_t>(y) * image.width + x] = color;
        }
    }
    return image;
}

Image makeMulti() {
    Image image = makeImage(48, 40, true);
    for (std::int32_t y = 0; y < image.height; ++y) {
        const std::uint32_t band = static_cast<std::uint32_t>(y) / 8;
        for (std::int32_t x = 0; x < image.width; ++x) {
            if ((x + y) % 11 == 0) continue;  // alpha 0
            const std::uint32_t k = band * 60 + nextRandom() % 60;
            const std::size_t i = static_cast<std::size_t>(y) * image.width + x;
            image.pixels[i] = static_cast<std::uint16_t>((k * 2654435761u) >> 16);
            image.alpha[i] = static_cast<std::uint8_t>(k % 4 == 0 ? 32 : 1 + k % 32);
        }
    }
    return image;
}

Image makeWide() {
    Image image = makeImage(300, 6, false);
    for (std::int32_t y = 0; y < image.height; ++y) {
        const bool bEven = y % 2 == 0;
        for (std::int32_t x = 0; x < image.width; ++x) {
            if (x % 50 >= 44) continue;                  // gaps of six
            if (bEven && x >= 100 && x < 130) continue;  // a longer gap
            const bool bRun = bEven && x >= 200 && x < 240;
            const std::size_t i = static_cast<std::size_t>(y) * image.width + x;
            image.pixels[i] =
                bRun ? 0x8410 : static_cast<std::uint16_t>(0x1111 * (1 + nextRandom() % 8));
        }
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sprites outdir\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool bOk = writeBmp(makeKeyed(), (dir + "/keyed.bmp").c_str()) &&
                     writeBmp(makeMulti(), (dir + "/multi.bmp").c_str()) &&
                     writeBmp(makeWide(), (dir + "/wide.bmp").c_str());
    if (!bOk) {
        std::fprintf(stderr, "make_sprites: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
