#include "rle_line.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "rle_writer.h"
#include "temp_dir.h"

namespace {

Bytes encode(const Bytes& values) {
    Bytes codes;
    // Called first: EXPECT_EQ evaluates its arguments in an unspecified order.
    const std::size_t count = encodeRleLine(values, codes);
    EXPECT_EQ(count, codes.size());
    return codes;
}

Bytes lengthEntry(std::size_t count) {
    Bytes table;
    appendLineLength(count, table);
    return table;
}

// A run code pays off from four equal values; shorter runs cost one byte per
// pixel, for colours and transparency alike.
TEST(EncodeRleLine, RunCodesStartAtFour) {
    EXPECT_EQ(encode({5, 5, 5, 5}), (Bytes{0xFE, 5, 4}));
    EXPECT_EQ(encode({5, 5, 5}), (Bytes{5, 5, 5}));
    EXPECT_EQ(encode({0, 0, 0, 0}), (Bytes{0xFF, 4}));
    EXPECT_EQ(encode({0, 0, 0}), (Bytes{0, 0, 0}));
}

TEST(EncodeRleLine, RunsLongerThan255AreSplit) {
    EXPECT_EQ(encode(Bytes(300, 0)), (Bytes{0xFF, 255, 0xFF, 45}));
    EXPECT_EQ(encode(Bytes(257, 0)), (Bytes{0xFF, 255, 0, 0}));
    EXPECT_EQ(encode(Bytes(256, 7)), (Bytes{0xFE, 7, 255, 7}));
    EXPECT_EQ(encode(Bytes(510, 7)), (Bytes{0xFE, 7, 255, 0xFE, 7, 255}));
}

TEST(EncodeRleLine, MixesRunsAndLiterals) {
    EXPECT_EQ(encode({1, 1, 1, 1, 1, 2, 2}), (Bytes{0xFE, 0x01, 0x05, 0x02, 0x02}));
    EXPECT_EQ(lengthEntry(5), (Bytes{0x05}));
    EXPECT_EQ(encode({0, 3, 0, 0, 0, 0, 9}), (Bytes{0x00, 0x03, 0xFF, 0x04, 0x09}));
}

TEST(EncodeRleLine, EmptyLineHasNoCodes) {
    EXPECT_EQ(encode({}), Bytes{});
    EXPECT_EQ(lengthEntry(0), (Bytes{0x00}));
}

// The codes of a line go after what the buffer already holds, and the count
// is the line's alone.
TEST(EncodeRleLine, AppendsToEarlierLines) {
    Bytes codes = {0xAA};
    const Bytes values = {4, 4, 4, 4, 4, 4};
    EXPECT_EQ(encodeRleLine(values, codes), 3u);
    EXPECT_EQ(codes, (Bytes{0xAA, 0xFE, 4, 6}));
}

TEST(AppendLineLength, LongFormFrom255) {
    EXPECT_EQ(lengthEntry(254), (Bytes{0xFE}));
    EXPECT_EQ(lengthEntry(255), (Bytes{0xFF, 0x00, 0xFF}));
    EXPECT_EQ(lengthEntry(256), (Bytes{0xFF, 0x01, 0x00}));
    EXPECT_EQ(lengthEntry(65535), (Bytes{0xFF, 0xFF, 0xFF}));

    Bytes table = {0x01};
    appendLineLength(0x1234, table);
    EXPECT_EQ(table, (Bytes{0x01, 0xFF, 0x12, 0x34}));
}

TEST(WriteRleFile, WritesHeaderPaletteLengthsAndCodes) {
    const TempDir dir;
    const std::string path = dir.file("key.rle");
    const std::uint16_t palette[] = {0xF81F};
    const std::uint8_t lengths[] = {0x02};
    const std::uint8_t codes[] = {0xFF, 0x0A};
    ASSERT_TRUE(writeRleFile(path.c_str(), {0, 10, 1, 1}, palette, {}, lengths, codes));
    EXPECT_EQ(readFile(path), (Bytes{0x52, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00,
                                     0x01, 0x00, 0x1F, 0xF8, 0x02, 0xFF, 0x0A}));
}

TEST(WriteRleFile, AlphaPaletteFollowsColours) {
    const TempDir dir;
    const std::string path = dir.file("alpha.rle");
    const std::uint16_t palette[] = {0xF81F, 0x001F};
    const std::uint8_t alphas[] = {32, 16};
    const std::uint8_t lengths[] = {0x02};
    const std::uint8_t codes[] = {0x01, 0x00};
    ASSERT_TRUE(writeRleFile(path.c_str(), {1, 2, 1, 2}, palette, alphas, lengths, codes));
    EXPECT_EQ(readFile(path),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                     0x00, 0x1F, 0xF8, 0x1F, 0x00, 0x20, 0x10, 0x02, 0x01, 0x00}));
}

TEST(WriteRleFile, FailsWithoutTouchingAnything) {
    const TempDir dir;
    const std::string path = dir.file("missing/out.rle");
    EXPECT_FALSE(writeRleFile(path.c_str(), {0, 0, 0, 0}, {}, {}, {}, {}));
    EXPECT_TRUE(listFolder(dir.path()).empty());
}

}  // namespace
