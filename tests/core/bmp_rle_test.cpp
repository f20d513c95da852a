// BI_RLE8 and BI_RLE4 bitmaps laid out by hand: runs, literal stretches with
// their padding, end of line, delta moves and end of bitmap; pixels no code
// draws come out as the colour key; codes that leave the image or the file
// are refused.
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "stream_load.h"

using namespace rle565;

namespace {

using Bytes = BmpBuilder::Bytes;
using Pixels = std::vector<std::uint16_t>;

constexpr std::uint32_t BI_RLE8 = 1;
constexpr std::uint32_t BI_RLE4 = 2;
constexpr std::uint16_t K = COLOR_KEY;
// The colours of the tables below: red, green, blue, white.
constexpr std::uint16_t R = 0xF800;
constexpr std::uint16_t G = 0x07E0;
constexpr std::uint16_t B = 0x001F;
constexpr std::uint16_t W = 0xFFFF;

// From memory, checked against a stream that knows its length and a pipe
// that does not: all three routes agree.
Loaded load(Bytes file) {
    ErrorText memoryText{};
    auto fromMemory = loadImageFromMemory(file, memoryText);
    const Loaded piped = loadPiped(file);
    ErrorText streamText{};
    const FilePtr stream(fmemopen(file.data(), file.size(), "rb"));
    const auto fromStream = loadImageFromStream(stream.get(), streamText);
    EXPECT_EQ(std::string(memoryText.data()), std::string(streamText.data()));
    EXPECT_EQ(std::string(memoryText.data()), piped.error);
    if (fromMemory && fromStream && piped.image) {
        EXPECT_EQ(fromMemory->pixels, fromStream->pixels);
        EXPECT_EQ(fromMemory->pixels, piped.image->pixels);
    } else {
        EXPECT_TRUE(!fromMemory && !fromStream && !piped.image);
    }
    return {std::move(fromMemory), memoryText.data()};
}

BmpBuilder rle8(std::int32_t width, std::int32_t height) {
    BmpBuilder builder(width, height, 8);
    builder.compression(BI_RLE8).colorsUsed(4);
    builder.color(255, 0, 0).color(0, 255, 0).color(0, 0, 255).color(255, 255, 255);
    return builder;
}

BmpBuilder rle4(std::int32_t width, std::int32_t height) {
    BmpBuilder builder(width, height, 4);
    builder.compression(BI_RLE4).colorsUsed(4);
    builder.color(255, 0, 0).color(0, 255, 0).color(0, 0, 255).color(255, 255, 255);
    return builder;
}

}  // namespace

// The first line of codes is the bottom line; a literal stretch of three
// indices takes one fill byte.
TEST(BmpRle, EightBitRunsAndLiterals) {
    const auto loaded = load(rle8(3, 2)
                                 .raw({0x03, 0x01, 0x00, 0x00})
                                 .raw({0x00, 0x03, 0x02, 0x03, 0x00, 0x00})
                                 .raw({0x00, 0x01})
                                 .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{B, W, R, G, G, G}));
    EXPECT_FALSE(loaded.image->hasAlpha());
    EXPECT_EQ(loaded.image->flags, 0u);
}

// Runs alternate the two indices of their byte; literal stretches are read
// four bits at a time, high first, and padded to an even number of bytes.
TEST(BmpRle, FourBitRunsAndLiterals) {
    const auto loaded = load(rle4(5, 2)
                                 .raw({0x05, 0x12, 0x00, 0x00})
                                 .raw({0x00, 0x05, 0x30, 0x12, 0x30, 0x00})
                                 .raw({0x00, 0x01})
                                 .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{W, R, G, B, W, G, B, G, B, G}));
}

// A delta moves right and up without drawing; undrawn pixels, also those
// after an early end of line or end of bitmap, are the colour key.
TEST(BmpRle, DeltasAndUndrawnPixels) {
    const auto loaded = load(rle8(4, 3)
                                 .raw({0x01, 0x01})              // G at (0, bottom)
                                 .raw({0x00, 0x02, 0x02, 0x01})  // to x 3, one line up
                                 .raw({0x01, 0x02})              // B at (3, middle)
                                 .raw({0x00, 0x00})              // to the top line
                                 .raw({0x02, 0x03})              // W W
                                 .raw({0x00, 0x01})
                                 .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{W, W, K, K, K, K, K, B, G, K, K, K}));

    // Nothing drawn at all.
    const auto empty = load(rle8(2, 2).raw({0x00, 0x01}).build());
    ASSERT_TRUE(empty.image) << empty.error;
    EXPECT_EQ(empty.image->pixels, Pixels(4, K));
}

// A negative height makes the first line of codes the top line. Indices past
// the table are black, as in uncompressed files.
TEST(BmpRle, TopDownAndIndicesPastTheTable) {
    const auto loaded =
        load(rle8(2, -2).raw({0x02, 0x00, 0x00, 0x00, 0x02, 0x09, 0x00, 0x01}).build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{R, R, 0, 0}));
}

// Bitmaps of no line and of one: there is nothing to turn over, and codes
// for lines that are not there draw nothing.
TEST(BmpRle, NoLineAndOneLine) {
    const auto none =
        load(rle4(5, 0).raw({0x05, 0x12, 0x00, 0x00, 0x03, 0x33, 0x00, 0x01}).build());
    ASSERT_TRUE(none.image) << none.error;
    EXPECT_EQ(none.image->width, 5);
    EXPECT_TRUE(none.image->pixels.empty());

    const auto one = load(rle8(3, 1).raw({0x03, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x01}).build());
    ASSERT_TRUE(one.image) << one.error;
    EXPECT_EQ(one.image->pixels, (Pixels{G, G, G}));
}

// The codes start at bfOffBits; an end of line after the last line and bytes
// after the end of bitmap are harmless.
TEST(BmpRle, DataOffsetAndTrailingBytes) {
    const auto loaded = load(
        rle8(1, 1).dataOffset(90).raw({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x05, 0x05}).build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{W}));
}

TEST(BmpRle, CorruptBitmaps) {
    auto error8 = [](const Bytes& codes) { return load(rle8(2, 2).raw(codes).build()).error; };
    // Codes that end without an end of bitmap, or in the middle of a code.
    EXPECT_EQ(error8({0x02, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}), "corrupt RLE bitmap");
    EXPECT_EQ(error8({}), "corrupt RLE bitmap");
    EXPECT_EQ(error8({0x00, 0x02, 0x01}), "corrupt RLE bitmap");
    EXPECT_EQ(error8({0x00, 0x04, 0x01, 0x01}), "corrupt RLE bitmap");
    // Codes said to start past the end of the file.
    Bytes farOffset = rle8(1, 1).raw({0x01, 0x01, 0x00, 0x01}).build();
    storeLe32(&farOffset[10], 500);
    EXPECT_EQ(load(farOffset).error, "corrupt RLE bitmap");
    // Four-bit literal stretches count their indices, not their bytes.
    EXPECT_EQ(load(rle4(3, 1).raw({0x00, 0x04, 0x12, 0x30, 0x00, 0x01}).build()).error, "");
    EXPECT_EQ(load(rle4(3, 1).raw({0x00, 0x05, 0x12, 0x30}).build()).error, "corrupt RLE bitmap");
}

// Pixels a code places past its line's end or below the last line are
// dropped, as encoders that code a row's padding as pixels need; the codes
// after them still draw.
TEST(BmpRle, PixelsOutsideTheImageAreDropped) {
    auto pixels8 = [](const Bytes& codes) {
        const auto loaded = load(rle8(2, 2).raw(codes).build());
        EXPECT_TRUE(loaded.image) << loaded.error;
        return loaded.image ? loaded.image->pixels : Pixels{};
    };
    // Bottom line first: a run of 3 on a line of 2, then the next line.
    EXPECT_EQ(pixels8({0x03, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01}), (Pixels{B, K, G, G}));
    // A literal stretch of 3 (padded to 4 bytes) with its third pixel dropped.
    EXPECT_EQ(pixels8({0x00, 0x03, 0x01, 0x02, 0x01, 0x00, 0x00, 0x01}), (Pixels{K, K, G, B}));
    // A run that starts past the line's end draws nothing there.
    EXPECT_EQ(pixels8({0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x00, 0x01}), (Pixels{K, K, G, G}));
    // Moves below the last line, and runs drawn there, are dropped.
    EXPECT_EQ(pixels8({0x00, 0x02, 0x00, 0x02, 0x01, 0x01, 0x00, 0x01}), (Pixels{K, K, K, K}));
    EXPECT_EQ(pixels8({0x02, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x02, 0x01, 0x00, 0x01}),
              (Pixels{B, B, G, G}));
    // Four-bit stretches count their indices: the fourth of a 3-wide line goes.
    const auto four = load(rle4(3, 1).raw({0x00, 0x04, 0x12, 0x10, 0x00, 0x01}).build());
    ASSERT_TRUE(four.image) << four.error;
    EXPECT_EQ(four.image->pixels, (Pixels{G, B, G}));
}

// Every prefix of a file fails cleanly: inside the headers and the colour
// table as a short file, inside the codes as a corrupt bitmap.
TEST(BmpRle, CutAtEveryLength) {
    const auto file = rle4(5, 2)
                          .raw({0x05, 0x12, 0x00, 0x00})
                          .raw({0x00, 0x05, 0x30, 0x12, 0x30, 0x00})
                          .raw({0x00, 0x01})
                          .build();
    ASSERT_TRUE(load(file).image);
    for (std::size_t size = 2; size < file.size(); ++size) {
        const auto loaded =
            load(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)));
        const char* expected = size < 54   ? "BMP header read error"
                               : size < 70 ? "truncated file"
                                           : "corrupt RLE bitmap";
        EXPECT_EQ(loaded.error, expected) << size;
    }
}
