#include "encode/rle_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "formats/rle_writer.h"
#include "image_maker.h"
#include "temp_dir.h"

using namespace rle565;

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

// Lines of runs 1 to 600 long of 0 and four values from 1 to 252, so that
// runs meet the thresholds of 4 and 255 at every offset of the encoder's
// word-wide scans.
Bytes randomLine(std::mt19937& rng) {
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 1200)(rng);
    const std::uint32_t longest = std::array<std::uint32_t, 4>{3, 12, 40, 600}[rng() % 4];
    std::array<std::uint8_t, 5> choice{};
    for (std::size_t k = 1; k < choice.size(); ++k)
        choice[k] = static_cast<std::uint8_t>(1 + rng() % 252);
    Bytes values;
    while (values.size() < length) {
        const std::size_t run = 1 + rng() % longest;
        values.insert(values.end(), run, choice[rng() % choice.size()]);
    }
    values.resize(length);
    return values;
}

TEST(EncodeRleLine, MatchesTheLiteralRunReading) {
    std::mt19937 rng(7);
    for (int k = 0; k < 3000; ++k) {
        const Bytes values = randomLine(rng);
        ASSERT_EQ(encode(values), codeLineLiterally(values)) << k;
    }
}

// The codes may be written over the values they code, from the same start or
// an earlier one, as the multi-palette encoder does.
TEST(EncodeRleLine, CodesInPlaceOverTheirValues) {
    std::mt19937 rng(8);
    for (int k = 0; k < 500; ++k) {
        const Bytes values = randomLine(rng);
        const std::size_t lead = k % 4;
        Bytes buffer(lead, 0xAA);
        buffer.insert(buffer.end(), values.begin(), values.end());
        const std::span<std::uint8_t> all(buffer);
        const std::size_t count = encodeRleLine(all.subspan(lead), all);
        ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + count), codeLineLiterally(values)) << k;
    }
}

// Coding numbers through a table of values gives the codes of the values
// themselves, also in place over the numbers with any lead.
TEST(EncodeRleLine, CodesNumbersThroughTheirValues) {
    std::mt19937 rng(9);
    for (int k = 0; k < 1000; ++k) {
        const Bytes numbers = randomLine(rng);
        // A random one-to-one table that keeps 0 for the transparent pixels.
        std::array<std::uint8_t, 256> valueOf{};
        std::vector<std::uint8_t> free(252);
        for (std::size_t v = 0; v < free.size(); ++v) free[v] = static_cast<std::uint8_t>(v + 1);
        std::shuffle(free.begin(), free.end(), rng);
        for (std::size_t v = 1; v < valueOf.size(); ++v) valueOf[v] = free[(v - 1) % free.size()];
        Bytes values;
        for (const std::uint8_t number : numbers) values.push_back(valueOf[number]);

        const std::size_t lead = k % 4;
        Bytes buffer(lead, 0xAA);
        buffer.insert(buffer.end(), numbers.begin(), numbers.end());
        const std::span<std::uint8_t> all(buffer);
        const std::size_t count = encodeRleLine(all.subspan(lead), all, valueOf);
        ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + count), codeLineLiterally(values)) << k;
    }
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
