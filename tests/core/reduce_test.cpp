// Colour reduction: never more pairs than asked, transparency exact, the
// colour key never made, pictures of few pairs untouched, the same result
// each time, and a PSNR that says how near the result stays.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>

#include "image_maker.h"
#include "reduce/reduce_colours.h"

using namespace rle565;

namespace {

// The visible (colour, alpha) pairs of a plain image.
std::set<std::pair<std::uint16_t, int>> visiblePairs(const Image& image) {
    std::set<std::pair<std::uint16_t, int>> pairs;
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        if (image.hasAlpha() ? image.alpha[i] != 0 : image.pixels[i] != COLOR_KEY) {
            pairs.insert({image.pixels[i], image.hasAlpha() ? image.alpha[i] : 32});
        }
    }
    return pairs;
}

// A smooth gradient of many colours with a transparent border, with alpha
// ramping over the rows when bAlpha.
Image gradient(bool bAlpha) {
    Image image;
    image.width = 64;
    image.height = 48;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const bool bBorder = x == 0 || y == 0 || x == image.width - 1;
            const auto r = static_cast<std::uint16_t>(x / 2);
            const auto g = static_cast<std::uint16_t>(y + x / 4);
            const auto b = static_cast<std::uint16_t>((x + y) / 4);
            image.pixels.push_back(
                bBorder && !bAlpha ? COLOR_KEY : static_cast<std::uint16_t>(r << 11 | g << 5 | b));
            if (bAlpha)
                image.alpha.push_back(bBorder ? 0 : static_cast<std::uint8_t>(1 + y * 31 / 47));
        }
    }
    image.bAlpha = bAlpha;
    return image;
}

TEST(ReduceColours, KeepsToTheCountAndToTransparency) {
    for (const bool bAlpha : {false, true}) {
        for (const bool bDither : {false, true}) {
            for (const int wanted : {1, 7, 64, 251}) {
                SCOPED_TRACE(testing::Message()
                             << "alpha " << bAlpha << " dither " << bDither << " pairs " << wanted);
                const Image before = gradient(bAlpha);
                ASSERT_GT(visiblePairs(before).size(), 251u);
                Image image = before;
                ReduceReport report;
                ASSERT_TRUE(reduceColours(image, wanted, bDither, &report));
                EXPECT_TRUE(report.reduced);
                EXPECT_LE(visiblePairs(image).size(), static_cast<std::size_t>(wanted));
                for (std::size_t i = 0; i < image.pixels.size(); ++i) {
                    if (bAlpha) {
                        ASSERT_EQ(image.alpha[i] == 0, before.alpha[i] == 0) << i;
                        if (image.alpha[i] == 0) {
                            ASSERT_EQ(image.pixels[i], before.pixels[i]) << i;
                        }
                    } else {
                        ASSERT_EQ(image.pixels[i] == COLOR_KEY, before.pixels[i] == COLOR_KEY) << i;
                    }
                }
            }
        }
    }
}

TEST(ReduceColours, NeverMakesTheColourKey) {
    // Three colours round magenta whose mean rounds to it: (31, 0, 30),
    // (30, 0, 31) and (31, 1, 31) make (30.7, 0.3, 30.7).
    Image image;
    image.width = 30;
    image.height = 3;
    const std::uint16_t near[] = {31 << 11 | 0 << 5 | 30, 30 << 11 | 0 << 5 | 31,
                                  31 << 11 | 1 << 5 | 31};
    for (int i = 0; i < image.width * image.height; ++i) image.pixels.push_back(near[i % 3]);
    for (const bool bDither : {false, true}) {
        Image reduced = image;
        ReduceReport report;
        ASSERT_TRUE(reduceColours(reduced, 1, bDither, &report));
        ASSERT_TRUE(report.reduced);
        for (std::size_t i = 0; i < reduced.pixels.size(); ++i) {
            ASSERT_NE(reduced.pixels[i], COLOR_KEY) << i;
        }
    }
}

TEST(ReduceColours, LeavesPicturesOfFewPairsAlone) {
    const Image before = makeNoisyImage(40, 30, 50, 5);
    Image image = before;
    ReduceReport report;
    report.reduced = true;
    ASSERT_TRUE(reduceColours(image, 50, true, &report));
    EXPECT_FALSE(report.reduced);
    EXPECT_EQ(image.pixels, before.pixels);
}

TEST(ReduceColours, GivesTheSameResultEachTime) {
    for (const bool bDither : {false, true}) {
        Image first = gradient(true);
        Image second = gradient(true);
        ASSERT_TRUE(reduceColours(first, 40, bDither, nullptr));
        ASSERT_TRUE(reduceColours(second, 40, bDither, nullptr));
        EXPECT_EQ(first.pixels, second.pixels);
        EXPECT_EQ(first.alpha, second.alpha);
    }
}

TEST(ReduceColours, PsnrIsThatOfTheChangedPixels) {
    // Two grey levels (8 and 9 of 31 in red and blue, 16 and 18 of 63 in
    // green), reduced to one, their mean: green 17, one step from each, and
    // red and blue rounded to one of the two, one step from the other pixel.
    // Opaque, so over black and over white alike.
    Image image;
    image.width = 2;
    image.height = 1;
    image.pixels = {8 << 11 | 16 << 5 | 8, 9 << 11 | 18 << 5 | 9};
    ReduceReport report;
    ASSERT_TRUE(reduceColours(image, 1, false, &report));
    ASSERT_EQ(image.pixels[0], image.pixels[1]);
    const double step5 = 255.0 / 31;
    const double step6 = 255.0 / 63;
    EXPECT_EQ(image.pixels[0] >> 5 & 63, 17);
    const double mse = (step5 * step5 * 2 + step6 * step6 * 2) / 6;
    EXPECT_NEAR(report.psnr, 10 * std::log10(255.0 * 255.0 / mse), 0.01);
}

TEST(ReduceColours, DitherBringsTheMeanCloser) {
    // A ramp reduced to two levels: without dither each half takes one
    // level; with it the mixture of the two follows the ramp, so the
    // picture's average over a block stays nearer the original's.
    Image image = gradient(false);
    Image plain = image;
    Image dithered = image;
    ReduceReport plainReport, ditheredReport;
    ASSERT_TRUE(reduceColours(plain, 2, false, &plainReport));
    ASSERT_TRUE(reduceColours(dithered, 2, true, &ditheredReport));
    EXPECT_NE(plain.pixels, dithered.pixels);
    EXPECT_GT(plainReport.psnr, 0);
    EXPECT_GT(ditheredReport.psnr, 0);
}

TEST(ReduceColours, RefusesWhatItCannotDo) {
    Image image = gradient(false);
    EXPECT_FALSE(reduceColours(image, 0, false, nullptr));
    EXPECT_FALSE(reduceColours(image, 253, false, nullptr));
    image.flags = IMAGE_RLE;
    EXPECT_FALSE(reduceColours(image, 10, false, nullptr));
}

}  // namespace
namespace {

// Every entry asked for is used: an entry that no pair chose, or two that
// round to the same pair of the format, go to the pairs that fit worst.
TEST(ReduceColours, UsesEveryEntryAskedFor) {
    for (const int n : {8, 16, 40, 200}) {
        Image image = gradient(true);
        ASSERT_TRUE(reduceColours(image, n, false, nullptr));
        EXPECT_EQ(visiblePairs(image).size(), static_cast<std::size_t>(n)) << n;
    }
}

// The quantiser measures what the report measures, the error over black and
// over white, so a picture of partial alpha keeps a PSNR that a quantiser of
// plain premultiplied distances (26.4 dB here) does not reach; without
// alpha it is at least as good.
TEST(ReduceColours, QualityOverBlackAndWhite) {
    Image alpha = gradient(true);
    ReduceReport report;
    ASSERT_TRUE(reduceColours(alpha, 16, false, &report));
    EXPECT_GT(report.psnr, 27.0);
    Image opaque = gradient(false);
    ASSERT_TRUE(reduceColours(opaque, 16, false, &report));
    EXPECT_GT(report.psnr, 25.0);
}

// Diffusion is held back: it changes the picture, yet costs well under the
// 1.9 dB that full Floyd-Steinberg diffusion costs on this ramp.
TEST(ReduceColours, DiffusionCostsLittle) {
    for (const bool bAlpha : {false, true}) {
        Image plain = gradient(bAlpha);
        Image dithered = plain;
        ReduceReport plainReport, ditheredReport;
        ASSERT_TRUE(reduceColours(plain, 16, false, &plainReport));
        ASSERT_TRUE(reduceColours(dithered, 16, true, &ditheredReport));
        EXPECT_NE(plain.pixels, dithered.pixels);
        EXPECT_GT(ditheredReport.psnr, plainReport.psnr - 1.0) << bAlpha;
    }
}

}  // namespace
