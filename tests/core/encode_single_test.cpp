// The single-palette encoder: pairs numbered by first occurrence, transparency
// with and without an alpha plane, the 252-pair limit and the hand-over to the
// multi-palette encoder, the format's size limits and failed writes.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/load.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "encode/encode_multipal.h"
#include "image_maker.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

struct Converted {
    EncodeResult result;
    std::int32_t nColors;
};

Converted convert(const Image& image, const std::string& path, bool bMultipal = false) {
    std::int32_t nColors = -1;
    const EncodeResult result = convertToRle(image, path.c_str(), bMultipal, nColors);
    return {result, nColors};
}

// Converts and returns the file's bytes, empty when nothing was written.
Bytes convertToBytes(const Image& image) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    const Converted done = convert(image, path);
    EXPECT_EQ(done.result, EncodeResult::Written);
    EXPECT_EQ(done.nColors, 0);
    return readFile(path);
}

constexpr std::uint16_t X = 0x1234;
constexpr std::uint16_t Y = 0x5678;
constexpr std::uint16_t Z = 0x0001;

TEST(ConvertToRle, NumbersPairsByFirstOccurrenceOverTheWholeImage) {
    const Image image = makeImage({{{X}, {COLOR_KEY}, {Y}}, {{Y}, {Z}, {X}}}, false);
    EXPECT_EQ(convertToBytes(image),
              (Bytes{
                  0x52, 0x4C, 0x00, 0x00, 0x03, 0x00,              // RL, flags 0, width 3
                  0x02, 0x00, 0x04, 0x00, 0x02, 0x00,              // height 2, N 4, height
                  0x1F, 0xF8, 0x34, 0x12, 0x78, 0x56, 0x01, 0x00,  // palette
                  0x03, 0x03,                                      // lengths
                  0x01, 0x00, 0x02, 0x02, 0x03, 0x01,              // codes
              }));
}

TEST(ConvertToRle, RunsOfOneColourBecomeRunCodes) {
    std::vector<Pair> line(300, Pair{X});
    for (std::size_t x = 290; x < 300; ++x) line[x] = Pair{COLOR_KEY};
    line[5] = Pair{Y};
    EXPECT_EQ(convertToBytes(makeImage({line}, false)),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x2C, 0x01, 0x01, 0x00, 0x03,
                     0x00, 0x01, 0x00, 0x1F, 0xF8, 0x34, 0x12, 0x78, 0x56,  // palette
                     0x0C,                                                  // length 12
                     0xFE, 0x01, 0x05, 0x02,                                // 5 X, Y
                     0xFE, 0x01, 0xFF, 0xFE, 0x01, 0x1D,                    // 255 X, 29 X
                     0xFF, 0x0A}));                                         // 10 transparent
}

TEST(ConvertToRle, TwoHundredFiftyTwoPairsFitOnePalette) {
    std::vector<Pair> line;
    for (std::uint16_t c = 1; c <= 252; ++c) line.push_back(Pair{c});
    Bytes expected{0x52, 0x4C, 0x00, 0x00, 0xFC, 0x00, 0x01,
                   0x00, 0xFD, 0x00, 0x01, 0x00, 0x1F, 0xF8};
    for (std::uint8_t c = 1; c <= 252; ++c) expected.insert(expected.end(), {c, 0x00});
    expected.push_back(0xFC);
    for (std::uint8_t c = 1; c <= 252; ++c) expected.push_back(c);
    EXPECT_EQ(convertToBytes(makeImage({line}, false)), expected);
}

TEST(ConvertToRle, MorePairsFailWithTheirCountAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    writeFile(path, {1, 2, 3});
    std::vector<Pair> line;
    for (std::uint16_t c = 1; c <= 253; ++c) line.push_back(Pair{c});
    Converted done = convert(makeImage({line}, false), path);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 254);

    // Counting goes on past the palette's end to report the real number.
    line.clear();
    for (std::uint16_t c = 1; c <= 300; ++c) line.push_back(Pair{c});
    line.push_back(Pair{1});
    done = convert(makeImage({line}, false), path);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 301);
    EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"out.rle"}));
}

TEST(ConvertToRle, MultipalTakesOverAboveTwoHundredFiftyTwoPairs) {
    // 200 colours on the top line, 53 others below: two palettes.
    Image image = makeBlankImage(200, 2, false);
    for (std::int32_t x = 0; x < 200; ++x) setPixel(image, x, 0, Pair{std::uint16_t(x + 1)});
    for (std::int32_t x = 0; x < 53; ++x) setPixel(image, x, 1, Pair{std::uint16_t(x + 201)});
    TempDir dir;
    const std::string path = dir.file("out.rle");
    const Converted done = convert(image, path, true);
    EXPECT_EQ(done.result, EncodeResult::Written);
    EXPECT_EQ(done.nColors, 254);
    const Bytes file = readFile(path);
    ASSERT_GE(file.size(), 12u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 12),
              (Bytes{0x52, 0x4C, 0x02, 0x00, 0xC8, 0x00, 0x02, 0x00, 0xFE, 0x00, 0x02, 0x00}));
}

// 65536 pairs in 256 lines of 256: every alpha of the first 2048 colours.
Image everyPairImage() {
    Image image = makeBlankImage(256, 256, true);
    for (std::uint32_t i = 0; i < 65536; ++i) {
        image.pixels[i] = static_cast<std::uint16_t>(i >> 5);
        image.alpha[i] = static_cast<std::uint8_t>((i & 31) + 1);
    }
    return image;
}

TEST(ConvertToRle, The65536thPairEndsTheCountWithoutHandOver) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    Image image = everyPairImage();
    Converted done = convert(image, path, true);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 65536);

    // One pair fewer is handed over; its lines of 256 pairs fail there.
    image.alpha.back() = 0;
    done = convert(image, path, true);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 252);
    EXPECT_TRUE(listFolder(dir.path()).empty());
}

TEST(ConvertToRle, ImageWithoutVisiblePixelsHasOnlyEntryZero) {
    EXPECT_EQ(convertToBytes(makeBlankImage(10, 1, false)),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x1F,
                     0xF8, 0x02, 0xFF, 0x0A}));
}

TEST(ConvertToRle, ColourKeyIsTransparentOnlyWithoutAlphaPlane) {
    EXPECT_EQ(convertToBytes(makeImage({{{COLOR_KEY}, {X}, {COLOR_KEY}}}, false)),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
                     0x02, 0x00, 0x01, 0x00, 0x1F, 0xF8, 0x34, 0x12,  // palette
                     0x03, 0x00, 0x01, 0x00}));
    // With an alpha plane alpha 0 alone is transparent, whatever the colour.
    EXPECT_EQ(convertToBytes(makeImage({{{COLOR_KEY, 32}, {X, 0}, {0x001F, 16}}}, true)),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x03,
                     0x00, 0x01, 0x00, 0x1F, 0xF8, 0x1F, 0xF8, 0x1F, 0x00,  // palette
                     0x20, 0x20, 0x10,                                      // alphas
                     0x03, 0x01, 0x00, 0x02}));
}

TEST(ConvertToRle, OneColourAtTwoAlphasMakesTwoEntries) {
    EXPECT_EQ(convertToBytes(makeImage({{{0x0400, 20}, {0x0400, 32}, {0x0400, 20}}}, true)),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x03,
                     0x00, 0x01, 0x00, 0x1F, 0xF8, 0x00, 0x04, 0x00, 0x04,  // palette
                     0x20, 0x14, 0x20,                                      // alphas
                     0x03, 0x01, 0x02, 0x01}));
}

TEST(ConvertToRle, OpaqueAlphaPlaneStillGivesAlphaPalette) {
    EXPECT_EQ(convertToBytes(makeImage({{{Z, 32}, {Z, 32}}}, true)),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                     0x00, 0x1F, 0xF8, 0x01, 0x00, 0x20, 0x20, 0x02, 0x01, 0x01}));
}

TEST(ConvertToRle, EmptyImages) {
    EXPECT_EQ(convertToBytes(makeBlankImage(5, 0, false)),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x1F,
                     0xF8}));
    EXPECT_EQ(convertToBytes(makeBlankImage(0, 3, false)),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x03, 0x00, 0x1F,
                     0xF8, 0x00, 0x00, 0x00}));
}

TEST(ConvertToRle, SidesAbove65535AreRefusedFirst) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    Image wide = makeBlankImage(65536, 1, false);
    for (std::int32_t x = 0; x < 300; ++x) setPixel(wide, x, 0, Pair{std::uint16_t(x)});
    Converted done = convert(wide, path, true);
    EXPECT_EQ(done.result, EncodeResult::TooLarge);
    EXPECT_EQ(done.nColors, 0);
    done = convert(makeBlankImage(1, 65536, false), path);
    EXPECT_EQ(done.result, EncodeResult::TooLarge);
    EXPECT_TRUE(listFolder(dir.path()).empty());

    done = convert(makeBlankImage(65535, 1, false), path);
    EXPECT_EQ(done.result, EncodeResult::Written);
    const Bytes file = readFile(path);
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8), (Bytes{0xFF, 0xFF, 0x01, 0x00}));
}

TEST(ConvertToRle, FailedWriteLeavesTargetAlone) {
    TempDir dir;
    const Image image = makeImage({{{X}}}, false);
    EXPECT_EQ(convert(image, dir.file("missing/out.rle")).result, EncodeResult::WriteFailed);

    // A folder in the way cannot be replaced by the file.
    std::filesystem::create_directory(dir.file("taken"));
    writeFile(dir.file("taken/inside"), {7});
    EXPECT_EQ(convert(image, dir.file("taken")).result, EncodeResult::WriteFailed);
    EXPECT_EQ(readFile(dir.file("taken/inside")), (Bytes{7}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"taken"}));
}

TEST(ConvertToRle, FailedWriteInReadOnlyFolderLeavesTargetAlone) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TempDir dir;
    const std::string path = dir.file("out.rle");
    writeFile(path, {4, 5});
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    EXPECT_EQ(convert(makeImage({{{X}}}, false), path).result, EncodeResult::WriteFailed);
    EXPECT_EQ(readFile(path), (Bytes{4, 5}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"out.rle"}));
}

TEST(ConvertToRle, RandomImagesSurviveTheRoundTrip) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const bool bAlpha = seed % 2 == 0;
        const std::int32_t width = 1 + static_cast<std::int32_t>(maker.below(300));
        const std::int32_t height = 1 + static_cast<std::int32_t>(maker.below(40));
        const std::vector<Pair> pool = maker.randomPairs(1 + maker.below(252), bAlpha);
        Image image = makeBlankImage(width, height, bAlpha);
        for (std::int32_t y = 0; y < height; ++y) {
            const std::size_t count = maker.below(std::min<std::uint32_t>(pool.size(), width));
            maker.fillLine(image, y, maker.pick(pool, count), maker.below(5));
        }
        TempDir dir;
        const std::string path = dir.file("out.rle");
        ASSERT_EQ(convert(image, path).result, EncodeResult::Written);
        ErrorText errorText{};
        const std::unique_ptr<Image> loaded = loadImage(path.c_str(), errorText);
        ASSERT_NE(loaded, nullptr) << errorText.data();
        EXPECT_EQ(countVisibleDifferences(image, decodeRleImage(*loaded)), 0u);
    }
}

// The conversion as its rules read, in two plain passes: number every pair by
// its first occurrence over the whole image, then code each line. The encoder
// under test numbers and codes in one pass and counts the rest apart.
struct Reference {
    EncodeResult result;
    std::int32_t nColors;
    Bytes file;
};

Reference convertLiterally(const Image& image) {
    std::map<std::uint32_t, std::uint8_t> entries;  // by palette key
    std::vector<std::uint16_t> colors{COLOR_KEY};
    Bytes alphas{32};
    std::int32_t nPaletteCount = 1;
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        const std::optional<Pair> pair = visiblePair(image, i);
        if (!pair) continue;
        const std::uint32_t key = std::uint32_t{pair->color} * 32 + pair->alpha - 1;
        if (entries.count(key) != 0) continue;
        if (nPaletteCount == 65536) return {EncodeResult::TooManyColors, 65536, {}};
        entries[key] = static_cast<std::uint8_t>(nPaletteCount);
        if (nPaletteCount < 253) {
            colors.push_back(pair->color);
            alphas.push_back(pair->alpha);
        }
        ++nPaletteCount;
    }
    if (nPaletteCount > 253) return {EncodeResult::TooManyColors, nPaletteCount, {}};

    RleBuilder file;
    file.flags(image.hasAlpha() ? 1 : 0)
        .size(static_cast<std::uint16_t>(image.width), static_cast<std::uint16_t>(image.height))
        .palette(colors);
    if (image.hasAlpha()) file.alphas(alphas);
    const auto width = static_cast<std::size_t>(image.width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y) {
        Bytes values;
        for (std::size_t x = 0; x < width; ++x) {
            const std::optional<Pair> pair = visiblePair(image, y * width + x);
            values.push_back(pair ? entries[std::uint32_t{pair->color} * 32 + pair->alpha - 1] : 0);
        }
        file.line(codeLineLiterally(values));
    }
    return {EncodeResult::Written, 0, file.bytes()};
}

// Random images of runs up to 1, 8 or 40 pixels long, from pools of up to 400
// pairs, so that some overflow the palette at some point of some line.
Image randomRunImage(ImageMaker& maker, bool bAlpha) {
    const std::int32_t width = 1 + static_cast<std::int32_t>(maker.below(200));
    const std::int32_t height = 1 + static_cast<std::int32_t>(maker.below(30));
    const std::vector<Pair> pool = maker.randomPairs(1 + maker.below(400), bAlpha);
    const std::uint32_t maxRun = std::array<std::uint32_t, 3>{1, 8, 40}[maker.below(3)];
    Image image = makeBlankImage(width, height, bAlpha);
    for (std::int32_t y = 0; y < height; ++y) {
        maker.fillRuns(image, y, maker.pick(pool, 1 + maker.below(pool.size())), maxRun);
    }
    return image;
}

TEST(ConvertToRle, MatchesTheTwoPassConversion) {
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const Image image = randomRunImage(maker, seed % 2 == 0);
        const Reference expected = convertLiterally(image);
        TempDir dir;
        const std::string path = dir.file("out.rle");
        const Converted done = convert(image, path);
        EXPECT_EQ(done.result, expected.result);
        EXPECT_EQ(done.nColors, expected.nColors);
        if (expected.result == EncodeResult::Written) {
            EXPECT_EQ(readFile(path), expected.file);
        }
    }
}

// Runs on both sides of the 255-pixel cut and of four pixels, at every
// offset from a line's start and end, in lines of many widths, transparent and
// not: the codes found on the colours are those of the values.
TEST(ConvertToRle, RunLengthsAtTheirLimitsMatchTheTwoPassConversion) {
    const std::vector<std::uint32_t> lengths{1,  2,  3,   4,   5,   7,   8,   9,   11,  12,
                                             16, 17, 254, 255, 256, 258, 259, 260, 510, 513};
    const std::vector<std::uint16_t> colors{X, COLOR_KEY, Y, X, Z, COLOR_KEY};
    for (const bool bAlpha : {false, true}) {
        for (std::size_t shift = 0; shift < lengths.size(); ++shift) {
            SCOPED_TRACE(shift);
            // Each line is a sequence of runs; lines start at different
            // lengths, so every length meets every offset and neighbour.
            std::vector<std::vector<std::uint16_t>> lines;
            for (std::size_t y = 0; y < 3; ++y) {
                std::vector<std::uint16_t> line;
                for (std::size_t k = 0; k < lengths.size(); ++k) {
                    const std::uint32_t n = lengths[(k + shift + y * 7) % lengths.size()];
                    line.insert(line.end(), n, colors[(k + y) % colors.size()]);
                }
                lines.push_back(line);
            }
            const std::size_t width = lines[0].size();
            Image image = makeBlankImage(static_cast<std::int32_t>(width), 3, bAlpha);
            for (std::size_t y = 0; y < 3; ++y) {
                for (std::size_t x = 0; x < width; ++x) {
                    const std::uint16_t c = lines[y][x % lines[y].size()];
                    image.pixels[y * width + x] = c;
                    if (bAlpha) image.alpha[y * width + x] = c == COLOR_KEY ? 0 : 32;
                }
            }
            const Reference expected = convertLiterally(image);
            ASSERT_EQ(expected.result, EncodeResult::Written);
            EXPECT_EQ(convertToBytes(image), expected.file);
        }
    }
    // Narrow lines, below a block of eight colours and around it.
    for (std::int32_t width = 1; width <= 20; ++width) {
        SCOPED_TRACE(width);
        Image image = makeBlankImage(width, 4, false);
        for (std::size_t i = 0; i < image.pixels.size(); ++i)
            image.pixels[i] = i % 5 < 4 ? X : (i % 3 == 0 ? COLOR_KEY : Y);
        EXPECT_EQ(convertToBytes(image), convertLiterally(image).file);
    }
}

// With multipal conversion on, an image of too many pairs goes to the
// multi-palette encoder as if it had been counted to the end first.
TEST(ConvertToRle, HandsOverAsIfCountedFirst) {
    for (std::uint32_t seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const Image image = randomRunImage(maker, seed % 2 == 0);
        const Reference counted = convertLiterally(image);
        if (counted.result == EncodeResult::Written) continue;
        TempDir dir;
        std::int32_t nColors = counted.nColors;
        const EncodeResult expected =
            encodeMultipal(image, dir.file("direct.rle").c_str(), nColors);
        const Converted done = convert(image, dir.file("out.rle"), true);
        EXPECT_EQ(done.result, expected);
        EXPECT_EQ(done.nColors, nColors);
        if (expected == EncodeResult::Written) {
            EXPECT_EQ(readFile(dir.file("out.rle")), readFile(dir.file("direct.rle")));
        }
    }
}

// 65536 pairs in lines of 250 that the multi-palette encoder could code one
// by one: the count still refuses the image before any merging.
TEST(ConvertToRle, The65536thPairRefusesImagesOfCodableLines) {
    Image image = makeBlankImage(250, 263, true);
    for (std::uint32_t i = 0; i < 250 * 263; ++i) {
        const std::uint32_t key = std::min<std::uint32_t>(i, 65535);
        image.pixels[i] = static_cast<std::uint16_t>(key >> 5);
        image.alpha[i] = static_cast<std::uint8_t>((key & 31) + 1);
    }
    TempDir dir;
    const Converted done = convert(image, dir.file("out.rle"), true);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 65536);
    EXPECT_TRUE(listFolder(dir.path()).empty());
}

}  // namespace

// Encoding into memory gives the file's bytes exactly, for both encoders, and
// nothing but the file.
TEST(EncodeRle, GivesTheBytesOfTheFile) {
    Image alpha = makeNoisyImage(40, 30, 60, 7);
    alpha.alpha.assign(alpha.pixels.size(), 32);
    for (std::size_t i = 0; i < alpha.alpha.size(); i += 3) alpha.alpha[i] = i % 2 == 0 ? 0 : 16;
    const struct {
        const char* name;
        Image image;
        bool bMultipal;
    } cases[] = {
        {"few colours", makeImage({{{X}, {COLOR_KEY}, {Y}}, {{Y}, {Z}, {X}}}, false), false},
        {"alpha plane", alpha, false},
        {"several palettes", makeNoisyImage(120, 40, 400, 3), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("out.rle");
        const Converted onFile = convert(c.image, path, c.bMultipal);
        ASSERT_EQ(onFile.result, EncodeResult::Written);
        std::vector<std::uint8_t> bytes = {1, 2, 3};  // replaced, not appended to
        std::int32_t nColors = -1;
        ASSERT_EQ(encodeRle(c.image, bytes, c.bMultipal, nColors), EncodeResult::Written);
        EXPECT_EQ(nColors, onFile.nColors);
        EXPECT_EQ(bytes, readFile(path));

        ErrorText errorText{};
        const std::unique_ptr<Image> loaded = loadImageFromMemory(bytes, errorText);
        ASSERT_TRUE(loaded) << errorText.data();
        EXPECT_EQ(countVisibleDifferences(c.image, decodeRleImage(*loaded)), 0u);
    }
}

TEST(EncodeRle, RefusalLeavesNoBytesAndTheSameCount) {
    const Image image = makeNoisyImage(128, 8, 300, 11);
    TempDir dir;
    const Converted onFile = convert(image, dir.file("out.rle"));
    ASSERT_EQ(onFile.result, EncodeResult::TooManyColors);

    std::vector<std::uint8_t> bytes = {1, 2, 3};
    std::int32_t nColors = -1;
    EXPECT_EQ(encodeRle(image, bytes, false, nColors), EncodeResult::TooManyColors);
    EXPECT_EQ(nColors, onFile.nColors);
    EXPECT_TRUE(bytes.empty());

    EXPECT_EQ(encodeRle(makeBlankImage(70000, 1, false), bytes, false, nColors),
              EncodeResult::TooLarge);
    EXPECT_TRUE(bytes.empty());
}
