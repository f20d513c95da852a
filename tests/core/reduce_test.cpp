// Colour reduction: never more pairs than asked, transparency exact, the
// colour key never made, pictures of few pairs untouched, the same result
// each time, and a PSNR that says how near the result stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// A picture made in 8-bit red, green, blue and alpha, and the plain image
// the loaders make of it (channels cut down to RGB565 and alpha 0..32).
struct Source {
    std::vector<std::array<int, 4>> bytes;
    Image image;
};

template <class Colour>
Source picture(int width, int height, bool bAlpha, Colour colour) {
    Source source;
    Image& image = source.image;
    image.width = width;
    image.height = height;
    image.bAlpha = bAlpha;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::array<int, 4> c{};
            const std::array<double, 4> wanted = colour(x, y);
            for (std::size_t k = 0; k < 4; ++k) {
                c[k] = std::clamp(static_cast<int>(std::lround(wanted[k])), 0, 255);
            }
            if (!bAlpha) c[3] = 255;
            source.bytes.push_back(c);
            image.pixels.push_back(
                static_cast<std::uint16_t>(c[0] >> 3 << 11 | c[1] >> 2 << 5 | c[2] >> 3));
            if (bAlpha)
                image.alpha.push_back(static_cast<std::uint8_t>(c[3] >= 251 ? 32 : c[3] >> 3));
        }
    }
    return source;
}

// Smooth colour fields, one with alpha (a window fading out towards the
// edges, transparent at the border).
Source smoothField(bool bAlpha) {
    return picture(96, 96, bAlpha, [bAlpha](int x, int y) {
        const double fade = std::min({x, y, 95 - x, 95 - y}) / 12.0;
        return std::array<double, 4>{
            128 + 120 * std::sin(x * 0.05 + y * 0.02), 128 + 120 * std::cos(y * 0.045 - x * 0.01),
            128 + 110 * std::sin((x + y) * 0.03 + 1), bAlpha ? 255 * std::min(fade, 1.0) : 255};
    });
}

// A sprite: an anti-aliased shaded disc over a soft shadow, on nothing.
Source softSprite() {
    return picture(80, 80, true, [](int x, int y) {
        const double disc = std::clamp(30.5 - std::hypot(x - 36.0, y - 36.0), 0.0, 1.0);
        const double shadow =
            0.6 * std::clamp((34.0 - std::hypot(x - 44.0, y - 44.0)) / 10.0, 0.0, 1.0);
        const double a = disc + shadow * (1 - disc);
        if (a <= 0) return std::array<double, 4>{0, 0, 0, 0};
        const double light = std::clamp(1.2 - std::hypot(x - 26.0, y - 26.0) / 40.0, 0.0, 1.0);
        // The disc's colour over the shadow's black, unpremultiplied.
        const double k = disc / a;
        return std::array<double, 4>{k * (60 + 190 * light), k * (40 + 120 * light),
                                     k * (150 + 100 * light), a * 255};
    });
}

// A look over black (0 to 2) and over white (3 to 5) from 8-bit channels.
std::array<double, 6> composite(std::array<int, 4> c) {
    std::array<double, 6> look{};
    for (std::size_t k = 0; k < 3; ++k) {
        look[k] = c[k] * c[3] / 255.0;
        look[k + 3] = look[k] + 255 - c[3];
    }
    return look;
}

// A pixel as the decoder shows it in 8-bit channels.
std::array<int, 4> decoded(const Image& image, std::size_t i) {
    const std::uint16_t v = image.pixels[i];
    const int alpha = image.hasAlpha() ? image.alpha[i] : v == COLOR_KEY ? 0 : 32;
    return {(v >> 11 & 31) * 255 / 31, (v >> 5 & 63) * 255 / 63, (v & 31) * 255 / 31,
            alpha >= 32 ? 255 : alpha * 8};
}

// The mean of the PSNR over black and over white of the decoded image
// against the 8-bit original, each pixel's error first averaged over
// `block` × `block` squares (1: the plain PSNR; larger: the look from afar).
double psnrOf(const Source& source, const Image& after, int block = 1) {
    std::array<double, 2> squared{};
    double samples = 0;
    const int width = after.width;
    for (int by = 0; by + block <= after.height; by += block) {
        for (int bx = 0; bx + block <= width; bx += block) {
            std::array<double, 6> was{}, now{};
            for (int y = by; y < by + block; ++y) {
                for (int x = bx; x < bx + block; ++x) {
                    const auto i = static_cast<std::size_t>(y * width + x);
                    const auto a = composite(source.bytes[i]);
                    const auto b = composite(decoded(after, i));
                    for (std::size_t k = 0; k < 6; ++k) {
                        was[k] += a[k];
                        now[k] += b[k];
                    }
                }
            }
            for (std::size_t k = 0; k < 6; ++k) {
                const double d = (was[k] - now[k]) / (block * block);
                squared[k / 3] += d * d;
            }
            samples += 3;
        }
    }
    double sum = 0;
    for (const double e : squared)
        sum += 10 * std::log10(255.0 * 255.0 * samples / std::max(e, 1e-9));
    return sum / 2;
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

TEST(ReduceColours, StaysNearTheOriginal) {
    // Floors a tenth or two of a dB under what the reduction reaches, without
    // and with diffusion: a palette left where the cut put it, entries
    // rounded the wrong way, alpha errors weighed wrongly or diffusion that
    // overshoots fall under them. Diffusion must also bring the look from
    // afar (4 × 4 squares) nearer than the plain reduction does.
    struct Case {
        const char* name;
        Source source;
        int pairs;
        double plain, dithered;
    };
    const Case cases[] = {
        {"smooth field", smoothField(false), 16, 22.4, 21.35},
        {"smooth field", smoothField(false), 64, 28.1, 26.95},
        {"fading field", smoothField(true), 32, 23.85, 22.9},
        {"soft sprite", softSprite(), 16, 33.6, 33.3},
        {"soft sprite", softSprite(), 48, 39.7, 39.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ", " << c.pairs << " pairs");
        Image plain = c.source.image, dithered = c.source.image;
        ReduceReport report;
        ASSERT_TRUE(reduceColours(plain, c.pairs, false, &report));
        ASSERT_TRUE(report.reduced);
        ASSERT_TRUE(reduceColours(dithered, c.pairs, true, &report));
        ASSERT_TRUE(report.reduced);
        EXPECT_LE(visiblePairs(plain).size(), static_cast<std::size_t>(c.pairs));
        EXPECT_LE(visiblePairs(dithered).size(), static_cast<std::size_t>(c.pairs));
        EXPECT_GE(psnrOf(c.source, plain), c.plain);
        EXPECT_GE(psnrOf(c.source, dithered), c.dithered);
        EXPECT_GT(psnrOf(c.source, dithered, 4), psnrOf(c.source, plain, 4));
    }
}

TEST(ReduceColours, DitherFollowsASmoothRamp) {
    // A grey ramp reduced to four levels: without diffusion it shows four
    // bands; with it the mixture follows the ramp, so that 4 × 4 squares
    // stay much nearer the original, at little cost in the plain PSNR.
    const Source ramp = picture(128, 16, false, [](int x, int) {
        const double v = 20 + x * 1.7;
        return std::array<double, 4>{v, v, v, 255};
    });
    Image plain = ramp.image, dithered = ramp.image;
    ASSERT_TRUE(reduceColours(plain, 4, false, nullptr));
    ASSERT_TRUE(reduceColours(dithered, 4, true, nullptr));
    EXPECT_GE(psnrOf(ramp, dithered, 4), psnrOf(ramp, plain, 4) + 2.5);
    EXPECT_GE(psnrOf(ramp, dithered), psnrOf(ramp, plain) - 1.5);
}

TEST(ReduceColours, RefusesWhatItCannotDo) {
    Image image = gradient(false);
    EXPECT_FALSE(reduceColours(image, 0, false, nullptr));
    EXPECT_FALSE(reduceColours(image, 253, false, nullptr));
    image.flags = IMAGE_RLE;
    EXPECT_FALSE(reduceColours(image, 10, false, nullptr));
}

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
// 1.9 dB that full Floyd-Steinberg diffusion costs on this ramp (about 1.1 dB
// against the RGB565 picture, which is not what diffusion aims at: it aims
// at the likeliest 8-bit original).
TEST(ReduceColours, DiffusionCostsLittle) {
    for (const bool bAlpha : {false, true}) {
        Image plain = gradient(bAlpha);
        Image dithered = plain;
        ReduceReport plainReport, ditheredReport;
        ASSERT_TRUE(reduceColours(plain, 16, false, &plainReport));
        ASSERT_TRUE(reduceColours(dithered, 16, true, &ditheredReport));
        EXPECT_NE(plain.pixels, dithered.pixels);
        EXPECT_GT(ditheredReport.psnr, plainReport.psnr - 1.5) << bAlpha;
    }
}

}  // namespace
