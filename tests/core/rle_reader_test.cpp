#include "formats/rle_reader.h"

#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/load.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "read_bytes.h"
#include "rle_builder.h"

using namespace rle565;

namespace {

// The 10 x 1 image whose pixels are all the colour key.
const Bytes KEY_FILE = {0x52, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x01,
                        0x00, 0x01, 0x00, 0x1F, 0xF8, 0x02, 0xFF, 0x0A};

// A 2 x 1 image with alpha: colour 0x001F at alpha 16, then a transparent pixel.
const Bytes ALPHA_FILE = {0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                          0x00, 0x1F, 0xF8, 0x1F, 0x00, 0x20, 0x10, 0x02, 0x01, 0x00};

std::unique_ptr<Image> load(const Bytes& file) {
    ErrorText errorText{};
    auto image = loadFileBytes(file, errorText);
    EXPECT_TRUE(image) << errorText.data();
    return image;
}

Bytes blockOf(const Image& image) {
    const auto block = image.dataBlock();
    return Bytes(block.begin(), block.end());
}

// A builder for width 10 with the key and one colour, for damaging one line.
RleBuilder tenWide(const std::vector<Bytes>& lines) {
    RleBuilder file;
    file.size(10, static_cast<std::uint16_t>(lines.size())).palette({0xF81F, 0x1234});
    for (const Bytes& codes : lines) file.line(codes);
    return file;
}

TEST(LoadRle, LoadsKeyOnlyFile) {
    const Bytes built = RleBuilder().size(10, 1).palette({0xF81F}).line({0xFF, 0x0A}).bytes();
    EXPECT_EQ(built, KEY_FILE);

    const auto image = load(KEY_FILE);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 10);
    EXPECT_EQ(image->height, 1);
    EXPECT_EQ(image->flags, 0x40000000u);
    EXPECT_EQ(image->paletteSize, 1);
    EXPECT_FALSE(image->hasAlpha());
    EXPECT_EQ(blockOf(*image), (Bytes{0x1F, 0xF8, 0x02, 0xFF, 0x0A}));
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{3}));
}

// The alpha palette sits between colours and lengths, and the record still has
// no alpha plane of its own.
TEST(LoadRle, LoadsAlphaPaletteFile) {
    const auto image = load(ALPHA_FILE);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->flags, 0x40000001u);
    EXPECT_EQ(image->paletteSize, 2);
    EXPECT_FALSE(image->hasAlpha());
    EXPECT_EQ(image->dataSize, 9u);
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{7}));
}

TEST(LoadRle, ShortHeaderFails) {
    for (std::size_t size = 2; size < 12; ++size) {
        const Bytes file(KEY_FILE.begin(), KEY_FILE.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(loadError(file), "RLE header read error") << size;
    }
}

TEST(LoadRle, TwelveByteFileHasNoLines) {
    const auto image = load({0x52, 0x4C, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 5);
    EXPECT_EQ(image->height, 0);
    EXPECT_EQ(image->dataSize, 0u);
    EXPECT_TRUE(image->lineOffsets.empty());
}

TEST(LoadRle, HeightComesFromOffsetSix) {
    const Bytes file = RleBuilder()
                           .size(1, 2)
                           .repeatedHeight(7)
                           .palette({0xF81F})
                           .line({0x00})
                           .line({0x00})
                           .bytes();
    const auto image = load(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{4, 5}));
}

TEST(LoadRle, TrailingBytesStayInTheBlock) {
    Bytes file = KEY_FILE;
    file.insert(file.end(), {0xFE, 0x09, 0x77});
    const auto image = load(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(blockOf(*image), (Bytes{0x1F, 0xF8, 0x02, 0xFF, 0x0A, 0xFE, 0x09, 0x77}));
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(decodeRleImage(*image).pixels, std::vector<std::uint16_t>(10, 0xF81F));
}

TEST(LoadRle, FlagsWordIsCarriedWhole) {
    const auto image = load(tenWide({{0xFF, 0x0A}}).flags(0xABCE).bytes());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->flags, 0x4000ABCEu);
}

// Lines of 254, 255 and 256 code bytes: the entries FE, FF 00 FF and FF 01 00
// make a table of 7 bytes after the 4-byte palette.
TEST(LoadRle, ReadsLongLengthEntries) {
    Bytes line254(252, 0x01);
    line254.insert(line254.end(), {0xFF, 0x04});
    Bytes line255(253, 0x01);
    line255.insert(line255.end(), {0xFF, 0x03});
    const Bytes line256(256, 0x01);
    const Bytes bytes = RleBuilder()
                            .size(256, 3)
                            .palette({0xF81F, 0x1234})
                            .line(line254)
                            .line(line255)
                            .line(line256)
                            .bytes();
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 23),
              (Bytes{0xFE, 0xFF, 0x00, 0xFF, 0xFF, 0x01, 0x00}));
    const auto image = load(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{11, 265, 520}));
}

TEST(LoadRle, AcceptsLongFormForShortCounts) {
    const auto image = load(tenWide({{0xFF, 0x0A}, {0xFF, 0x0A}}).longLengths().bytes());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->lineOffsets, (std::vector<std::uint32_t>{10, 12}));
}

// A stream that serves `bytes` but reports a size of its own, or none.
struct FakeStream {
    FakeStream(Bytes content, long claimed, bool bFails)
        : bytes(std::move(content)), size(claimed), bSizeFails(bFails) {}

    Bytes bytes;
    long size;
    bool bSizeFails;
    long pos = 0;

    static ssize_t read(void* cookie, char* buffer, size_t size) {
        auto& self = *static_cast<FakeStream*>(cookie);
        const long available = static_cast<long>(self.bytes.size()) - self.pos;
        const size_t count = available > 0 ? std::min(size, static_cast<size_t>(available)) : 0;
        std::memcpy(buffer, self.bytes.data() + self.pos, count);
        self.pos += static_cast<long>(count);
        return static_cast<ssize_t>(count);
    }
    static int seek(void* cookie, off64_t* offset, int whence) {
        auto& self = *static_cast<FakeStream*>(cookie);
        if (whence == SEEK_END && self.bSizeFails) return -1;
        const long from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self.pos : self.size;
        self.pos = from + static_cast<long>(*offset);
        *offset = self.pos;
        return 0;
    }

    std::string loadError() {
        cookie_io_functions_t io{};
        io.read = read;
        io.seek = seek;
        const FilePtr file(fopencookie(this, "rb", io));
        ErrorText errorText{};
        const auto image = loadImageFromStream(file.get(), errorText);
        return image ? std::string() : std::string(errorText.data());
    }
};

TEST(LoadRle, UnknownSizeIsReadError) {
    FakeStream stream(KEY_FILE, 17, true);
    EXPECT_EQ(stream.loadError(), "RLE read error");
}

TEST(LoadRle, ShortDataBlockIsReadError) {
    FakeStream longer(KEY_FILE, 18, false);
    EXPECT_EQ(longer.loadError(), "RLE read error");
    FakeStream exact(KEY_FILE, 17, false);
    EXPECT_EQ(exact.loadError(), "");
}

// Every way the structure can fail, each with the line indexRleLines names.
TEST(LoadRle, RefusesCorruptStructure) {
    struct Case {
        RleBuilder file;
        const char* what;
        std::int32_t line;
    };
    const RleBuilder shortTable =
        tenWide({}).size(10, 2).lineLengths({0x02}).trailing({0xFF, 0x0A});
    const RleBuilder cutLongEntry = tenWide({}).size(10, 1).lineLengths({0xFF, 0x00});
    const RleBuilder lengthPastBlock = tenWide({{0xFF, 0x0A}}).lineLengths({0x05});
    const RleBuilder codesPastLength = tenWide({{0xFF}, {0x0A}});
    const RleBuilder runPastLength = tenWide({{0xFE, 0x01}, {0xFF, 0x0A}});
    const RleBuilder hugePalette = tenWide({{0xFF, 0x0A}}).entryCount(100);
    const RleBuilder shortAlphas =
        RleBuilder().flags(RLE_ALPHA).palette({0xF81F, 0x1234}).alphas({32});

    const std::vector<Case> cases = {
        {tenWide({{0xFF, 0x0A}, {0xFE, 0x01, 0x0B}}), "run passes the end of the line", 1},
        {tenWide({{0xFF, 0x0B}}), "run passes the end of the line", 0},
        {tenWide({{0x01, 0xFF, 0x0A}}), "run passes the end of the line", 0},
        {tenWide({{0x02, 0xFF, 0x09}}), "code names an entry beyond the palette", 0},
        {tenWide({{0xFE, 0x02, 0x0A}}), "code names an entry beyond the palette", 0},
        {tenWide({{0xFF, 0x0A}, {0xFD, 0x01, 0x00, 0x01, 0xFF, 0x09}}),
         "code names an entry beyond the palette", 1},
        {tenWide({{0xFF, 0x09}}), "line covers fewer pixels than the width", 0},
        {tenWide({{}}), "line covers fewer pixels than the width", 0},
        {shortTable, "line-length table reaches past the data block", 1},
        {cutLongEntry, "line-length table reaches past the data block", 0},
        {lengthPastBlock, "line codes reach past the data block", 0},
        {codesPastLength, "code reaches past the line's length", 0},
        {runPastLength, "code reaches past the line's length", 0},
        {hugePalette, "palette tables reach past the data block", -1},
        {shortAlphas, "palette tables reach past the data block", -1},
    };
    for (const Case& c : cases) {
        const Bytes bytes = c.file.bytes();
        EXPECT_EQ(loadError(bytes), "RLE data corrupt") << c.what;

        Image image = recordFromBytes(bytes);
        const auto fault = indexRleLines(image);
        ASSERT_TRUE(fault) << c.what;
        EXPECT_STREQ(fault->what, c.what);
        EXPECT_EQ(fault->line, c.line) << c.what;
        EXPECT_TRUE(image.lineOffsets.empty());
    }
}

// Nothing is checked that the decoder never reads: bytes after the width is
// covered, the index of an empty run, skips of any kind.
TEST(LoadRle, ChecksOnlyWhatIsDrawn) {
    EXPECT_EQ(loadError(tenWide({{0xFF, 0x0A, 0x09, 0xFD}}).bytes()), "");
    EXPECT_EQ(loadError(tenWide({{0xFE, 0x09, 0x00, 0x00, 0xFF, 0x09}}).bytes()), "");
    EXPECT_EQ(loadError(tenWide({{0xFD, 0xFF, 0xFF, 0x00, 0xFF, 0x09}}).bytes()), "");
    EXPECT_EQ(loadError(RleBuilder().size(0, 2).line({}).line({0x07, 0x07}).bytes()), "");
}

// A data block of several hundred kilobytes arrives whole, whatever way the
// loader reads it in.
TEST(LoadRle, LargeBlockArrivesWhole) {
    RleBuilder file;
    std::vector<std::uint16_t> palette(200);
    for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = static_cast<std::uint16_t>(i * 331);
    file.size(1000, 300).palette(palette);
    for (int y = 0; y < 300; ++y) {
        Bytes codes(1000);
        for (std::size_t x = 0; x < codes.size(); ++x)
            codes[x] = static_cast<std::uint8_t>(1 + (x * 7 + static_cast<std::size_t>(y)) % 199);
        file.line(codes);
    }
    const Bytes bytes = file.bytes();
    const auto image = load(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(blockOf(*image), Bytes(bytes.begin() + 12, bytes.end()));
}

// One code of a generated line: where it starts, what it is and how many
// pixels the line covers before it.
struct Code {
    std::size_t at;
    std::uint8_t kind;  // the code byte: 0, a literal, 0xFD, 0xFE or 0xFF
    std::uint32_t covered;
};

// A sound line of `width` pixels, mostly literals in streaks of every length,
// with runs, skips, skip-runs and, for palettes past one literal's reach,
// switch codes between them.
Bytes soundLine(std::mt19937& random, std::uint32_t width, std::uint32_t nEntries,
                std::vector<Code>& codes) {
    Bytes line;
    std::uint32_t base = 0;
    std::uint32_t n = 0;
    while (n < width) {
        const std::uint32_t nLiterals = std::min<std::uint32_t>(252, nEntries - 1 - base);
        const std::uint32_t left = std::min<std::uint32_t>(255, width - n);
        const std::uint32_t pick = random() % 20;
        const Code code{line.size(), 0, n};
        if (pick < 15) {
            line.push_back(static_cast<std::uint8_t>(1 + random() % nLiterals));
            ++n;
        } else if (pick == 15) {
            line.push_back(0x00);
            ++n;
        } else if (pick == 16) {
            const auto count = static_cast<std::uint8_t>(random() % (left + 1));
            line.insert(line.end(), {0xFF, count});
            n += count;
        } else if (pick == 17 && nEntries > 300) {
            base = static_cast<std::uint32_t>(random() % (nEntries - 1));
            line.insert(line.end(), {0xFD, static_cast<std::uint8_t>(base),
                                     static_cast<std::uint8_t>(base >> 8)});
        } else {
            const auto count = static_cast<std::uint8_t>(1 + random() % std::min(left, 20u));
            const auto k = static_cast<std::uint8_t>(random() % (nLiterals + 1));
            line.insert(line.end(), {0xFE, k, count});
            n += count;
        }
        codes.push_back(code);
        codes.back().kind = line[code.at];
    }
    return line;
}

// Long lines are checked sixteen bytes at a time where the processor allows;
// each still reports its first fault exactly. Every round damages one code of
// one line so that this code becomes the image's first fault.
TEST(IndexRleLines, LongLinesReportTheirFirstFault) {
    std::mt19937 random(4242);
    int nDamaged = 0;
    for (int round = 0; round < 400; ++round) {
        const std::uint32_t width = 40 + random() % 300;
        const std::uint32_t nEntries = round % 2 ? 400 + random() % 600 : 2 + random() % 250;
        const std::vector<std::uint16_t> palette(nEntries, 0x1234);
        std::vector<Bytes> lines;
        std::vector<std::vector<Code>> codes(4);
        for (auto& lineCodes : codes)
            lines.push_back(soundLine(random, width, nEntries, lineCodes));
        // Bytes after the width is covered are never looked at.
        lines[1].insert(lines[1].end(), 20, 0xFC);
        const auto index = [&] {
            RleBuilder file;
            file.size(static_cast<std::uint16_t>(width), 4).palette(palette);
            for (const Bytes& line : lines) file.line(line);
            Image image = recordFromBytes(file.bytes());
            return indexRleLines(image);
        };
        ASSERT_FALSE(index()) << round;

        const std::size_t y = random() % 4;
        const Code code = codes[y][random() % codes[y].size()];
        const std::uint32_t tooMany = width - code.covered + 1;
        const char* expected = nullptr;
        if (code.kind >= 1 && code.kind <= 252 && nEntries <= 252) {
            // Beyond the palette from any base; small palettes have no switch codes.
            lines[y][code.at] = static_cast<std::uint8_t>(nEntries);
            expected = "code names an entry beyond the palette";
        } else if (code.kind == 0xFE && tooMany <= 255) {
            lines[y][code.at + 2] = static_cast<std::uint8_t>(tooMany);
            expected = "run passes the end of the line";
        } else if (code.kind == 0xFF && tooMany <= 255) {
            lines[y][code.at + 1] = static_cast<std::uint8_t>(tooMany);
            expected = "run passes the end of the line";
        } else {
            continue;
        }
        ++nDamaged;
        const auto fault = index();
        ASSERT_TRUE(fault) << round;
        EXPECT_STREQ(fault->what, expected) << round;
        EXPECT_EQ(fault->line, static_cast<std::int32_t>(y)) << round;
    }
    EXPECT_GT(nDamaged, 150);
}

TEST(LoadRle, CutFileFailsCleanly) {
    const Bytes file = tenWide({{0xFE, 0x01, 0x0A}, {0x01, 0x00, 0xFF, 0x08}}).bytes();
    for (std::size_t size = 2; size < file.size(); ++size) {
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(loadError(cut), size < 12 ? "RLE header read error" : "RLE data corrupt") << size;
    }
    EXPECT_EQ(loadError(file), "");
}

TEST(IndexRleLines, RefusesRecordsNoFileMakes) {
    Image negative;
    negative.width = -1;
    EXPECT_STREQ(indexRleLines(negative)->what, "negative width or height");

    Image overstated;
    overstated.pixels = {0, 0};
    overstated.dataSize = 5;
    EXPECT_STREQ(indexRleLines(overstated)->what, "data size exceeds its buffer");
}

}  // namespace
