#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/bmp_writer.h>
#include <rle565/load.h>
#include <rle565/rle_to_bmp.h>

#include <cstring>
#include <random>

#include "encode/rle_line.h"
#include "formats/rle_reader.h"
#include "formats/rle_writer.h"
#include "read_bytes.h"
#include "rle_builder.h"

using namespace rle565;

namespace {

using Pixels = std::vector<std::uint16_t>;

std::unique_ptr<Image> load(const Bytes& file) {
    ErrorText errorText{};
    auto image = loadFileBytes(file, errorText);
    EXPECT_TRUE(image) << errorText.data();
    return image;
}

TEST(BlendRgb565, HalfOverBlackHalvesEachChannel) {
    EXPECT_EQ(blendRgb565(0xFFFF, 0x0000, 16), 0x7BEF);
    EXPECT_EQ(blendRgb565(0x0000, 0xFFFF, 16), 0x7BEF);
}

TEST(BlendRgb565, ZeroKeepsTargetAndFullCopiesSource) {
    EXPECT_EQ(blendRgb565(0x1234, 0xABCD, 0), 0xABCD);
    EXPECT_EQ(blendRgb565(0x1234, 0xABCD, 32), 0x1234);
    EXPECT_EQ(blendRgb565(0x1234, 0xABCD, 200), 0x1234);
}

// No rounding constant: 31 × 31 / 32 gives 30, 63 × 31 / 32 gives 61.
TEST(BlendRgb565, RoundsEachChannelDown) {
    EXPECT_EQ(blendRgb565(0x0000, 0xFFFF, 1), 0xF7BE);
    EXPECT_EQ(blendRgb565(0xFFFF, 0x0000, 1), 0x0020);
    EXPECT_EQ(blendRgb565(0xF800, 0x07E0, 16), 0x7BE0);
}

// The channels are mixed side by side in one word; none may spill into the next.
TEST(BlendRgb565, ChannelsStayApart) {
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        const auto s = static_cast<std::uint16_t>(random());
        const auto d = static_cast<std::uint16_t>(random());
        const std::uint32_t a = random() % 33;
        const std::uint32_t r = ((s >> 11) * a + (d >> 11) * (32 - a)) >> 5;
        const std::uint32_t g = (((s >> 5) & 63) * a + ((d >> 5) & 63) * (32 - a)) >> 5;
        const std::uint32_t b = ((s & 31) * a + (d & 31) * (32 - a)) >> 5;
        ASSERT_EQ(blendRgb565(s, d, a), r << 11 | g << 5 | b) << s << " " << d << " " << a;
    }
}

Image plainImage(Pixels pixels, Bytes alpha) {
    Image image;
    image.width = 2;
    image.height = 2;
    image.pixels = std::move(pixels);
    image.alpha = std::move(alpha);
    return image;
}

TEST(BlitImage, PlainOntoAlphaTargetCopiesBothPlanes) {
    Pixels pixels(4, 0x1111);
    Bytes alpha(4, 9);
    const Surface surface{pixels, alpha, 2};
    blitImage(plainImage({1, 2, 3, 4}, {0, 16, 32, 40}), 0, 0, surface);
    EXPECT_EQ(pixels, (Pixels{1, 2, 3, 4}));
    EXPECT_EQ(alpha, (Bytes{0, 16, 32, 32}));

    blitImage(plainImage({5, 6, 7, COLOR_KEY}, {}), 0, 0, surface);
    EXPECT_EQ(pixels, (Pixels{5, 6, 7, COLOR_KEY}));
    EXPECT_EQ(alpha, (Bytes{32, 32, 32, 32}));
}

TEST(BlitImage, PlainWithoutAlphaTargetBlends) {
    Pixels pixels(4, 0x0000);
    const Surface surface{pixels, {}, 2};
    blitImage(plainImage({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, {16, 0, 32, 1}), 0, 0, surface);
    EXPECT_EQ(pixels, (Pixels{0x7BEF, 0x0000, 0xFFFF, 0x0020}));

    blitImage(plainImage({COLOR_KEY, 1, 2, 3}, {}), 0, 0, surface);
    EXPECT_EQ(pixels, (Pixels{COLOR_KEY, 1, 2, 3}));
}

TEST(BlitImage, PlainLandsAtItsPositionInTheRow) {
    Pixels pixels(12, 0);
    const Surface surface{pixels, {}, 4};
    blitImage(plainImage({1, 2, 3, 4}, {}), 1, 1, surface);
    EXPECT_EQ(pixels, (Pixels{0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 4, 0}));
    // Rows that would leave the target are not drawn.
    blitImage(plainImage({5, 6, 7, 8}, {}), 2, 2, surface);
    EXPECT_EQ(pixels, (Pixels{0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 5, 6}));
}

TEST(DecodeRleImage, KeyOnlyFileGivesColourKey) {
    const auto image = load({0x52, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00,
                             0x1F, 0xF8, 0x02, 0xFF, 0x0A});
    ASSERT_TRUE(image);
    const Image decoded = decodeRleImage(*image);
    EXPECT_FALSE(decoded.isRle());
    EXPECT_EQ(decoded.width, 10);
    EXPECT_EQ(decoded.height, 1);
    EXPECT_EQ(decoded.pixels, Pixels(10, 0xF81F));
    EXPECT_FALSE(decoded.hasAlpha());
}

TEST(DecodeRleImage, AlphaPaletteIsCopiedUnblended) {
    const auto image = load({0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                             0x00, 0x1F, 0xF8, 0x1F, 0x00, 0x20, 0x10, 0x02, 0x01, 0x00});
    ASSERT_TRUE(image);
    const Image decoded = decodeRleImage(*image);
    EXPECT_EQ(decoded.pixels, (Pixels{0x001F, 0xF81F}));
    EXPECT_EQ(decoded.alpha, (Bytes{16, 0}));
}

TEST(DecodeRleImage, EmptyImagesHaveNoPixels) {
    const Bytes noWidth = RleBuilder().size(0, 3).line({}).line({}).line({}).bytes();
    const auto image = load(noWidth);
    ASSERT_TRUE(image);
    const Image decoded = decodeRleImage(*image);
    EXPECT_EQ(decoded.height, 3);
    EXPECT_TRUE(decoded.pixels.empty());

    const auto noLines = load({0x52, 0x4C, 0x01, 0, 0x05, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(noLines);
    EXPECT_TRUE(decodeRleImage(*noLines).pixels.empty());
}

TEST(DecodeRleLines, RunThenLiteral) {
    const Bytes file = RleBuilder()
                           .size(7, 1)
                           .palette({0xF81F, 0x1111, 0x2222})
                           .line({0xFE, 0x01, 0x05, 0x02, 0x00})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(decodeRleImage(*image).pixels,
              (Pixels{0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x2222, 0xF81F}));
}

// The base set by a switch code holds for the rest of its line; the next line
// starts at base 0 again. The alpha follows the same base as the colour.
TEST(DecodeRleLines, SwitchCodeHoldsForItsLineOnly) {
    const Bytes file = RleBuilder()
                           .flags(RLE_ALPHA | RLE_MULTIPAL)
                           .size(3, 2)
                           .palette({0xF81F, 0x1111, 0x2222, 0x3333, 0x4444})
                           .alphas({0, 32, 31, 30, 29})
                           .line({0x01, 0xFD, 0x02, 0x00, 0x01, 0xFE, 0x02, 0x01})
                           .line({0x01, 0x02, 0x03})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    const Image decoded = decodeRleImage(*image);
    EXPECT_EQ(decoded.pixels, (Pixels{0x1111, 0x3333, 0x4444, 0x1111, 0x2222, 0x3333}));
    EXPECT_EQ(decoded.alpha, (Bytes{32, 30, 29, 32, 31, 30}));
}

TEST(DecodeRleLines, SkipsLeaveTheTargetAsItWas) {
    const Bytes file = RleBuilder()
                           .flags(RLE_ALPHA)
                           .size(7, 1)
                           .palette({0xF81F, 0x1234})
                           .alphas({32, 20})
                           .line({0x00, 0x01, 0xFF, 0x04, 0x01})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    Pixels pixels(7, 0x5555);
    Bytes alpha(7, 3);
    blitImage(*image, 0, 0, {pixels, alpha, 7});
    EXPECT_EQ(pixels, (Pixels{0x5555, 0x1234, 0x5555, 0x5555, 0x5555, 0x5555, 0x1234}));
    EXPECT_EQ(alpha, (Bytes{3, 20, 3, 3, 3, 3, 20}));
}

// Without an alpha array in the target, partial alpha is blended, 0 leaves the
// pixel alone and values above 32 count as 32; with one, they are copied.
TEST(DecodeRleLines, AlphaPaletteBlendsOrCopies) {
    const Bytes file = RleBuilder()
                           .flags(RLE_ALPHA)
                           .size(4, 1)
                           .palette({0xF81F, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF})
                           .alphas({32, 16, 0, 32, 40})
                           .line({0x01, 0x02, 0x03, 0x04})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    Pixels pixels(4, 0x0000);
    blitImage(*image, 0, 0, {pixels, {}, 4});
    EXPECT_EQ(pixels, (Pixels{0x7BEF, 0x0000, 0xFFFF, 0xFFFF}));

    Bytes alpha(4, 7);
    blitImage(*image, 0, 0, {pixels, alpha, 4});
    EXPECT_EQ(pixels, Pixels(4, 0xFFFF));
    EXPECT_EQ(alpha, (Bytes{16, 0, 32, 32}));
}

TEST(DecodeRleLines, WithoutAlphaPaletteEveryEntryIsOpaque) {
    const Bytes file = RleBuilder()
                           .size(2, 2)
                           .palette({0xF81F, 0x0001})
                           .line({0x01, 0x00})
                           .line({0xFE, 0x01, 0x02})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    Pixels pixels(12, 0x7777);
    Bytes alpha(12, 5);
    blitImage(*image, 1, 1, {pixels, alpha, 4});
    EXPECT_EQ(pixels, (Pixels{0x7777, 0x7777, 0x7777, 0x7777, 0x7777, 0x0001, 0x7777, 0x7777,
                              0x7777, 0x0001, 0x0001, 0x7777}));
    EXPECT_EQ(alpha, (Bytes{5, 5, 5, 5, 5, 32, 5, 5, 5, 32, 32, 5}));
}

// Records that no loaded file can be: each damaged line stops where it would
// leave its data, palette or row, and the rest of the image is still drawn.
TEST(DecodeRleLines, StopsDamagedLines) {
    const Bytes file = RleBuilder()
                           .size(4, 4)
                           .palette({0xF81F, 0x0001, 0x0002})
                           .line({0xFE, 0x01, 0x09})
                           .line({0x01, 0x03, 0x02})
                           .line({0x02, 0xFD, 0x01, 0x00, 0x02})
                           .line({0x01, 0xFE})
                           .bytes();
    Image image = recordFromBytes(file);
    image.lineOffsets = {10, 13, 16, 21};
    Pixels pixels(20, 0);
    blitImage(image, 0, 0, {pixels, {}, 5});
    EXPECT_EQ(pixels, (Pixels{1, 1, 1, 1, 0,  //
                              1, 0, 0, 0, 0,  //
                              2, 0, 0, 0, 0,  //
                              1, 0, 0, 0, 0}));

    // An offset past the block draws nothing; lines without an offset neither.
    image.lineOffsets = {1000, 10};
    pixels.assign(20, 0);
    blitImage(image, 1, 0, {pixels, {}, 5});
    EXPECT_EQ(pixels, (Pixels{0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // Rows that would leave the target are skipped.
    image.lineOffsets = {10, 10, 10, 10};
    pixels.assign(20, 0);
    blitImage(image, 0, 3, {pixels, {}, 5});
    EXPECT_EQ(pixels, (Pixels{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0}));
    pixels.assign(20, 0);
    blitImage(image, 0, -3, {pixels, {}, 5});
    EXPECT_EQ(pixels, (Pixels{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // A palette table that leaves the block draws nothing.
    image.lineOffsets = {10, 10, 10, 10};
    image.paletteSize = 60000;
    pixels.assign(20, 0);
    blitImage(image, 0, 0, {pixels, {}, 5});
    EXPECT_EQ(pixels, Pixels(20, 0));
}

// Random records with random offsets, sizes and codes, drawn into a window of
// a larger buffer: nothing outside the window may change (and the sanitizer
// build sees every stray read).
TEST(DecodeRleLines, WildRecordsStayInBounds) {
    std::mt19937 random(1234);
    constexpr std::size_t GUARD = 64;
    for (int round = 0; round < 3000; ++round) {
        Image image;
        image.flags = IMAGE_RLE | (random() % 2 ? RLE_ALPHA : 0);
        image.width = static_cast<std::int32_t>(random() % 40);
        image.height = static_cast<std::int32_t>(random() % 6);
        image.paletteSize = static_cast<std::uint16_t>(random() % 3 ? random() % 20 : random());
        image.pixels.resize(random() % 40);
        for (auto& word : image.pixels) word = static_cast<std::uint16_t>(random());
        image.dataSize = static_cast<std::uint32_t>(random() % 90);
        image.lineOffsets.resize(random() % 7);
        for (auto& offset : image.lineOffsets) offset = random() % 100;

        const std::int32_t stride = 1 + static_cast<std::int32_t>(random() % 40);
        const std::size_t area = random() % 200;
        const bool bAlpha = random() % 2;
        Pixels pixels(area + 2 * GUARD, 0xAAAA);
        Bytes alpha(bAlpha ? area + 2 * GUARD : 0, 0xAA);
        const Surface surface{
            std::span(pixels).subspan(GUARD, area),
            bAlpha ? std::span(alpha).subspan(GUARD, area) : std::span<std::uint8_t>(), stride};
        const auto x = static_cast<std::int32_t>(random() % 60) - 20;
        const auto y = static_cast<std::int32_t>(random() % 10) - 3;
        blitImage(image, x, y, surface);
        for (std::size_t i = 0; i < GUARD; ++i) {
            ASSERT_EQ(pixels[i], 0xAAAA) << round;
            ASSERT_EQ(pixels[GUARD + area + i], 0xAAAA) << round;
            if (bAlpha) {
                ASSERT_EQ(alpha[i], 0xAA) << round;
                ASSERT_EQ(alpha[GUARD + area + i], 0xAA) << round;
            }
        }
    }
}

// Files written from random lines of palette numbers, some of them behind a
// switch code, decode back to their colours, alphas and colour key.
TEST(DecodeRleImage, RoundTripsRandomImages) {
    std::mt19937 random(99);
    for (int round = 0; round < 40; ++round) {
        const bool bAlpha = round % 2 == 1;
        const auto width = static_cast<std::uint16_t>(random() % 300);
        const auto height = static_cast<std::uint16_t>(1 + random() % 12);
        const std::size_t nEntries = 1 + random() % 400;
        std::vector<std::uint16_t> palette(nEntries);
        Bytes alphas(bAlpha ? nEntries : 0);
        for (auto& color : palette) color = static_cast<std::uint16_t>(random());
        for (auto& a : alphas) a = static_cast<std::uint8_t>(1 + random() % 32);

        Bytes lengths;
        Bytes codes;
        Pixels expected;
        Bytes expectedAlpha;
        for (std::uint16_t y = 0; y < height; ++y) {
            // Local numbers 1..limit from entry base + 1 on.
            const std::size_t limit = std::min<std::size_t>(252, nEntries - 1);
            const std::size_t base = limit ? random() % (nEntries - limit) : 0;
            Bytes values(width);
            for (auto& v : values) {
                if (limit && random() % 3 != 0)
                    v = static_cast<std::uint8_t>(1 + random() % std::min<std::size_t>(limit, 6));
            }
            Bytes line;
            if (base)
                line = {0xFD, static_cast<std::uint8_t>(base),
                        static_cast<std::uint8_t>(base >> 8)};
            encodeRleLine(values, line);
            appendLineLength(line.size(), lengths);
            codes.insert(codes.end(), line.begin(), line.end());
            for (const std::uint8_t v : values) {
                expected.push_back(v ? palette[base + v] : COLOR_KEY);
                if (bAlpha) expectedAlpha.push_back(v ? alphas[base + v] : 0);
            }
        }
        const TempDir dir;
        const std::string path = dir.file("random.rle");
        const RleHeader header{static_cast<std::uint16_t>(bAlpha ? RLE_ALPHA : 0), width, height,
                               static_cast<std::uint16_t>(nEntries)};
        ASSERT_TRUE(writeRleFile(path.c_str(), header, palette, alphas, lengths, codes));
        ErrorText errorText{};
        const auto image = loadImage(path.c_str(), errorText);
        ASSERT_TRUE(image) << errorText.data();
        const Image decoded = decodeRleImage(*image);
        ASSERT_EQ(decoded.pixels, expected) << round;
        ASSERT_EQ(decoded.alpha, expectedAlpha) << round;
    }
}

// Checked before any allocation: these would need 8 and 13 GB.
TEST(ConvertRleToBmp, RefusesImagesBeyondBmpSizes) {
    const TempDir dir;
    const std::string path = dir.file("huge.bmp");
    Image image;
    image.flags = IMAGE_RLE | RLE_ALPHA;
    image.width = 65535;
    image.height = 65535;
    EXPECT_FALSE(convertRleToBmp(image, path.c_str()));
    image.flags = IMAGE_RLE;
    EXPECT_FALSE(convertRleToBmp(image, path.c_str()));
    EXPECT_TRUE(listFolder(dir.path()).empty());
}

TEST(ConvertRleToBmp, WritesDecodedImage) {
    const auto image = load({0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                             0x00, 0x1F, 0xF8, 0x1F, 0x00, 0x20, 0x10, 0x02, 0x01, 0x00});
    ASSERT_TRUE(image);
    const TempDir dir;
    const std::string path = dir.file("out.bmp");
    ASSERT_TRUE(convertRleToBmp(*image, path.c_str()));
    EXPECT_EQ(readFile(path),
              (Bytes{0x42, 0x4D, 0x3E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00,
                     0x00, 0x28, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                     0x01, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xC2,
                     0x1E, 0x00, 0x00, 0xC2, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0xFF, 0x00, 0x00, 0x80, 0xFF, 0x00, 0xFF, 0x00}));
}

// The codes of one line that covers `width` pixels: every kind of code, runs
// of any length up to the line's end, switch codes when the palette has more
// than one literal's reach, and now and then bytes after the line's end.
Bytes randomLine(std::mt19937& random, std::uint32_t width, std::uint32_t nEntries) {
    Bytes codes;
    std::uint32_t base = 0;
    std::uint32_t n = 0;
    const auto below = [&](std::uint32_t limit) {
        return static_cast<std::uint8_t>(random() % limit);
    };
    while (n < width) {
        const std::uint32_t nLiterals =
            nEntries > base ? std::min<std::uint32_t>(252, nEntries - 1 - base) : 0;
        const std::uint32_t left = std::min<std::uint32_t>(255, width - n);
        switch (random() % 6) {
            case 0:
                codes.push_back(0x00);
                ++n;
                break;
            case 1: {
                const std::uint8_t count = below(left + 1);
                codes.insert(codes.end(), {0xFF, count});
                n += count;
                break;
            }
            case 2:
                if (nEntries > 253) {
                    base = random() % (nEntries - 1);
                    codes.insert(codes.end(), {0xFD, static_cast<std::uint8_t>(base),
                                               static_cast<std::uint8_t>(base >> 8)});
                }
                break;
            case 3:
                if (nLiterals > 0) {
                    // Short runs are the common case, long ones reach the end.
                    const std::uint8_t count = random() % 2 ? below(std::min(left, 12u) + 1)
                                                            : static_cast<std::uint8_t>(left);
                    codes.insert(codes.end(), {0xFE, below(nLiterals + 1), count});
                    n += count;
                }
                break;
            default:
                if (nLiterals > 0) {
                    codes.push_back(static_cast<std::uint8_t>(1 + below(nLiterals)));
                    ++n;
                }
                break;
        }
    }
    if (random() % 8 == 0) codes.insert(codes.end(), {0xFE, 0xEE, 0xFD});
    return codes;
}

// What mode b wrote before it streamed: the whole image decoded, then written.
Bytes decodedThenWritten(const Image& image) { return encodeBmp(decodeRleImage(image)); }

Bytes convertedBytes(const Image& image) {
    const TempDir dir;
    const std::string path = dir.file("out.bmp");
    EXPECT_TRUE(convertRleToBmp(image, path.c_str()));
    return readFile(path);
}

// Mode b decodes straight into BMP rows, a chunk of rows at a time; its files
// are byte for byte those of decodeRleImage and writeBmp, for single- and
// multi-palette files with and without alpha, rows with and without fill,
// and images of several chunks.
TEST(ConvertRleToBmp, StreamedFileEqualsDecodedImageWritten) {
    std::mt19937 random(2024);
    for (int round = 0; round < 48; ++round) {
        const bool bAlpha = round % 2 == 1;
        const bool bMultipal = round % 4 >= 2;
        const bool bLarge = round % 16 >= 14;
        const auto width =
            static_cast<std::uint16_t>(bLarge ? 900 + random() % 200 : random() % 90);
        const auto height =
            static_cast<std::uint16_t>(bLarge ? 100 + random() % 60 : random() % 20);
        const auto nEntries =
            static_cast<std::uint16_t>(bMultipal ? 254 + random() % 1500 : 1 + random() % 253);
        std::vector<std::uint16_t> palette(nEntries);
        Bytes alphas(bAlpha ? nEntries : 0);
        for (auto& color : palette) color = static_cast<std::uint16_t>(random());
        for (auto& a : alphas) a = static_cast<std::uint8_t>(random() % 34);

        RleBuilder file;
        file.flags(static_cast<std::uint16_t>((bAlpha ? RLE_ALPHA : 0) |
                                              (bMultipal ? RLE_MULTIPAL : 0)))
            .size(width, height)
            .palette(palette)
            .alphas(alphas);
        for (std::uint16_t y = 0; y < height; ++y) file.line(randomLine(random, width, nEntries));
        const auto image = load(file.bytes());
        ASSERT_TRUE(image) << round;
        ASSERT_EQ(convertedBytes(*image), decodedThenWritten(*image))
            << round << ": " << width << "x" << height;
    }
}

// Records no loaded file can be: damaged lines stop where the decoder stops
// them and the rest of their row is the colour key, as in decodeRleImage.
TEST(ConvertRleToBmp, DamagedRecordsGiveTheDecodedImage) {
    std::mt19937 random(77);
    for (int round = 0; round < 2000; ++round) {
        Image image;
        image.flags = IMAGE_RLE | (random() % 2 ? RLE_ALPHA : 0);
        image.width = static_cast<std::int32_t>(random() % 40);
        image.height = static_cast<std::int32_t>(random() % 6);
        image.paletteSize = static_cast<std::uint16_t>(random() % 3 ? random() % 20 : random());
        image.pixels.resize(random() % 60);
        for (auto& word : image.pixels) word = static_cast<std::uint16_t>(random());
        image.dataSize = static_cast<std::uint32_t>(random() % 130);
        image.lineOffsets.resize(random() % 7);
        for (auto& offset : image.lineOffsets) offset = random() % 130;
        ASSERT_EQ(convertedBytes(image), decodedThenWritten(image)) << round;
    }
}

// A file with alpha but no pixels decodes to an image with an alpha plane of
// no pixels, so its BMP is the 32-bit header alone.
TEST(ConvertRleToBmp, EmptyAlphaImageIsA32BitHeader) {
    const auto image = load(RleBuilder().flags(RLE_ALPHA).size(0, 2).line({}).line({}).bytes());
    ASSERT_TRUE(image);
    EXPECT_EQ(
        convertedBytes(*image),
        (Bytes{0x42, 0x4D, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00,
               0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
               0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x1E, 0x00, 0x00,
               0xC2, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
