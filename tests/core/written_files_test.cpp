// Files written by ImageMagick and Pillow (tests/data/written, see
// make_files.sh there): bit-mask BMPs checked against their stored words
// under the conversion rules, worked out here from the pixel bytes; RLE8
// files against their uncompressed twin; the PNG source against them all.
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "temp_dir.h"

using namespace rle565;

namespace {

constexpr std::size_t WIDTH = 40;
constexpr std::size_t HEIGHT = 20;

std::string dataPath(const std::string& name) {
    return std::string(RLE565_TEST_DATA) + "/written/" + name;
}

std::unique_ptr<Image> load(const std::string& name) {
    ErrorText errorText{};
    auto image = loadImage(dataPath(name).c_str(), errorText);
    EXPECT_TRUE(image) << name << ": " << errorText.data();
    if (image) {
        EXPECT_EQ(image->width, static_cast<std::int32_t>(WIDTH));
        EXPECT_EQ(image->height, static_cast<std::int32_t>(HEIGHT));
    }
    return image;
}

struct Pixel {
    std::uint16_t colour;
    std::uint8_t alpha;
};

std::uint8_t alphaRule(std::uint32_t a8) {
    return a8 >= 251 ? 32 : static_cast<std::uint8_t>(a8 >> 3);
}

// The pixels of a bottom-up file of `bytesPerPixel` little-endian words, each
// turned into a pixel by `rule`, top line first.
std::vector<Pixel> storedPixels(const std::string& name, std::size_t bytesPerPixel,
                                const std::function<Pixel(std::uint32_t)>& rule) {
    const Bytes file = readFile(dataPath(name));
    const std::size_t offBits = file[10] | file[11] << 8 | file[12] << 16;
    const std::size_t rowSize = (WIDTH * bytesPerPixel + 3) / 4 * 4;
    EXPECT_EQ(file.size(), offBits + rowSize * HEIGHT) << name;
    std::vector<Pixel> pixels(WIDTH * HEIGHT);
    if (file.size() < offBits + rowSize * HEIGHT) return pixels;
    for (std::size_t r = 0; r < HEIGHT; ++r) {
        for (std::size_t x = 0; x < WIDTH; ++x) {
            const std::uint8_t* p = &file[offBits + r * rowSize + x * bytesPerPixel];
            std::uint32_t word = 0;
            for (std::size_t i = bytesPerPixel; i-- > 0;) word = word << 8 | p[i];
            pixels[(HEIGHT - 1 - r) * WIDTH + x] = rule(word);
        }
    }
    return pixels;
}

// Compares colours and, when `bAlpha`, the alpha plane.
void expectPixels(const Image& image, const std::vector<Pixel>& expected, bool bAlpha,
                  const std::string& name) {
    ASSERT_EQ(image.hasAlpha(), bAlpha) << name;
    std::size_t nWrong = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        nWrong += image.pixels[i] != expected[i].colour;
        if (bAlpha) nWrong += image.alpha[i] != expected[i].alpha;
    }
    EXPECT_EQ(nWrong, 0u) << name;
}

}  // namespace

// ImageMagick's default for an image with alpha: 8-bit masks in a V5 header.
TEST(WrittenFiles, ImageMagickArgb32) {
    const auto image = load("magick-argb32.bmp");
    ASSERT_TRUE(image);
    expectPixels(*image,
                 storedPixels("magick-argb32.bmp", 4,
                              [](std::uint32_t w) {
                                  return Pixel{static_cast<std::uint16_t>(
                                                   ((w >> 16) & 255) >> 3 << 11 |
                                                   ((w >> 8) & 255) >> 2 << 5 | (w & 255) >> 3),
                                               alphaRule(w >> 24)};
                              }),
                 true, "magick-argb32.bmp");
}

TEST(WrittenFiles, ImageMagickSixteenBitSubtypes) {
    const auto rgb565 = load("magick-rgb565.bmp");
    ASSERT_TRUE(rgb565);
    expectPixels(*rgb565,
                 storedPixels("magick-rgb565.bmp", 2,
                              [](std::uint32_t w) {
                                  return Pixel{static_cast<std::uint16_t>(w), 32};
                              }),
                 false, "magick-rgb565.bmp");

    const auto argb1555 = load("magick-argb1555.bmp");
    ASSERT_TRUE(argb1555);
    expectPixels(
        *argb1555,
        storedPixels("magick-argb1555.bmp", 2,
                     [](std::uint32_t w) {
                         const std::uint32_t r = (w >> 10) & 31, g = (w >> 5) & 31, b = w & 31;
                         return Pixel{static_cast<std::uint16_t>(r << 11 | g << 6 | b),
                                      static_cast<std::uint8_t>((w & 0x8000) != 0 ? 32 : 0)};
                     }),
        true, "magick-argb1555.bmp");

    // Four-bit channels move up one or two bits; alpha a becomes a × 17.
    const auto argb4444 = load("magick-argb4444.bmp");
    ASSERT_TRUE(argb4444);
    expectPixels(
        *argb4444,
        storedPixels("magick-argb4444.bmp", 2,
                     [](std::uint32_t w) {
                         const std::uint32_t r = (w >> 8) & 15, g = (w >> 4) & 15, b = w & 15;
                         return Pixel{static_cast<std::uint16_t>(r << 12 | g << 7 | b << 1),
                                      alphaRule((w >> 12) * 17)};
                     }),
        true, "magick-argb4444.bmp");
}

// ImageMagick writes palette images with RLE8 codes; they hold the pixels of
// the uncompressed file it writes from the same image.
TEST(WrittenFiles, ImageMagickRle8) {
    const auto twin = load("magick-pal4.bmp");
    ASSERT_TRUE(twin);
    for (const char* name : {"magick-rle8.bmp", "magick-rle8-bmp3.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, twin->pixels) << name;
        EXPECT_FALSE(image->hasAlpha());
    }
}

// At widths that are not a multiple of four, ImageMagick's RLE8 encoder codes
// each row's padding bytes as pixels past the line's end: those are dropped,
// and every file holds the pixels of its uncompressed twin.
TEST(WrittenFiles, ImageMagickRle8AtOddWidths) {
    for (const int width : {1, 2, 3, 4, 5, 6, 7, 8, 9, 33, 61, 77}) {
        const std::string w = std::to_string(width);
        ErrorText errorText{};
        const auto image = loadImage(dataPath("rle-widths/rle8-w" + w + ".bmp").c_str(), errorText);
        ASSERT_TRUE(image) << width << ": " << errorText.data();
        const auto twin = loadImage(dataPath("rle-widths/plain-w" + w + ".bmp").c_str(), errorText);
        ASSERT_TRUE(twin) << width << ": " << errorText.data();
        EXPECT_EQ(image->width, width);
        EXPECT_EQ(image->height, 5);
        EXPECT_EQ(image->pixels, twin->pixels) << width;
    }
}

// The PNG source, read by the PNG reader, and the 32-bit files written from
// it agree on every alpha and on every visible colour.
TEST(WrittenFiles, SourcePngAgreesWithTheBmpFiles) {
    const auto source = load("source.png");
    ASSERT_TRUE(source);
    ASSERT_TRUE(source->hasAlpha());
    EXPECT_GT(std::count(source->alpha.begin(), source->alpha.end(), 0), 0);
    EXPECT_GT(std::count_if(source->alpha.begin(), source->alpha.end(),
                            [](std::uint8_t a) { return a > 0 && a < 32; }),
              0);
    for (const char* name : {"magick-argb32.bmp", "pillow-rgba.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->alpha, source->alpha) << name;
        std::size_t nWrong = 0;
        for (std::size_t i = 0; i < source->pixels.size(); ++i)
            nWrong += source->alpha[i] != 0 && image->pixels[i] != source->pixels[i];
        EXPECT_EQ(nWrong, 0u) << name;
    }
    const auto pillowPal = load("pillow-pal8.bmp");
    ASSERT_TRUE(pillowPal);
    EXPECT_FALSE(pillowPal->hasAlpha());
}
