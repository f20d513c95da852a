#include "formats/bmp_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "stream_load.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

using Pixels = std::vector<std::uint16_t>;
using Alpha = std::vector<std::uint8_t>;

// Reads from memory, as the fuzz target does: the stream knows its length.
Loaded readBytes(Bytes file) {
    const FilePtr stream(fmemopen(file.data(), file.size(), "rb"));
    return loadStream(stream.get());
}

std::string errorOf(const Bytes& file) { return readBytes(file).error; }

Bytes cut(const Bytes& file, std::size_t size) {
    return Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace

// Leftmost pixel in the high bit; rows of 9 pixels take 2 bytes and 2 fill
// bytes. The first row of the file is the bottom line.
TEST(ReadBmp, OneBit) {
    const auto file = BmpBuilder(9, 2, 1)
                          .color(255, 255, 255)
                          .color(0, 0, 255)
                          .row({0xB0, 0x80})
                          .row({0x01, 0x7F})
                          .build();
    ASSERT_EQ(file.size(), 70u);
    const auto loaded = readBytes(file);
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->width, 9);
    EXPECT_EQ(loaded.image->height, 2);
    EXPECT_FALSE(loaded.image->hasAlpha());
    EXPECT_EQ(loaded.image->pixels,
              (Pixels{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x001F, 0xFFFF,
                      0x001F, 0xFFFF, 0x001F, 0x001F, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x001F}));

    // One entry only: index 1 lies beyond the table.
    const auto single =
        readBytes(BmpBuilder(2, 1, 1).colorsUsed(1).color(255, 0, 0).row({0x40}).build());
    ASSERT_TRUE(single.image) << single.error;
    EXPECT_EQ(single.image->pixels, (Pixels{0xF800, 0x0000}));
}

// Two pixels per byte, the left one high; the low half of a row's last byte
// is ignored at odd widths. biClrUsed 0 means 16 entries.
TEST(ReadBmp, FourBit) {
    BmpBuilder full(3, 1, 4);
    full.color(8, 8, 8).color(255, 0, 0).color(0, 255, 0).color(0, 0, 255);
    for (int i = 4; i < 16; ++i) full.color(8, 8, 8);
    const auto file = full.row({0x12, 0x3F}).build();
    ASSERT_EQ(file.size(), 122u);  // rows at 118
    const auto loaded = readBytes(file);
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xF800, 0x07E0, 0x001F}));

    const auto small = readBytes(BmpBuilder(4, 1, 4)
                                     .colorsUsed(3)
                                     .color(255, 0, 0)
                                     .color(0, 255, 0)
                                     .color(8, 8, 8)
                                     .row({0x25, 0x10})
                                     .build());
    ASSERT_TRUE(small.image) << small.error;
    EXPECT_EQ(small.image->pixels, (Pixels{0x0841, 0x0000, 0x07E0, 0xF800}));
}

// biClrUsed 2: rows at 62, index 2 beyond the table is 0x0000. biClrUsed 0:
// 256 entries, rows at 1078.
TEST(ReadBmp, EightBit) {
    const auto two =
        BmpBuilder(3, 1, 8).colorsUsed(2).color(255, 0, 255).color(255, 255, 255).row({1, 0, 2});
    ASSERT_EQ(two.build().size(), 66u);
    const auto loaded = readBytes(two.build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xFFFF, 0xF81F, 0x0000}));

    BmpBuilder full(2, 1, 8);
    for (int i = 0; i < 256; ++i) full.color(0, 0, 0);
    const auto file = full.row({200, 255}).build();
    Bytes patched = file;
    // Entry 200 is (200, 100, 50), entry 255 is (255, 255, 255).
    patched[54 + 200 * 4] = 50;
    patched[54 + 200 * 4 + 1] = 100;
    patched[54 + 200 * 4 + 2] = 200;
    patched[54 + 255 * 4] = patched[54 + 255 * 4 + 1] = patched[54 + 255 * 4 + 2] = 255;
    ASSERT_EQ(patched.size(), 1082u);
    const auto wide = readBytes(patched);
    ASSERT_TRUE(wide.image) << wide.error;
    EXPECT_EQ(wide.image->pixels, (Pixels{0xCB26, 0xFFFF}));
}

// X1R5G5B5: bit 15 dropped, red and green move up, the low green bit is 0.
// Odd widths have 2 fill bytes.
TEST(ReadBmp, SixteenBit) {
    const auto loaded = readBytes(BmpBuilder(3, 2, 16)
                                      .row({0xFF, 0x7F, 0xFF, 0xFF, 0x00, 0x7C})
                                      .row({0xE0, 0x03, 0x1F, 0x00, 0x00, 0x80})
                                      .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0x07C0, 0x001F, 0x0000, 0xFFDF, 0xFFDF, 0xF800}));
}

// Blue, green, red, reduced by dropping low bits; fill bytes are ignored
// whatever they hold.
TEST(ReadBmp, TwentyFourBit) {
    const auto loaded =
        readBytes(BmpBuilder(3, 2, 24)
                      .raw({0x07, 0x80, 0xFF, 0xFF, 0x00, 0xFF, 0x08, 0x04, 0x08, 0xAA, 0xBB, 0xCC})
                      .raw({0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x07, 0x03, 0x07, 0x00, 0x00, 0x00})
                      .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_FALSE(loaded.image->hasAlpha());
    EXPECT_EQ(loaded.image->pixels, (Pixels{0x0000, 0xFFFF, 0x0000, 0xFC00, 0xF81F, 0x0821}));
}

// The fourth byte is alpha: 251 and up is opaque, the rest >> 3.
TEST(ReadBmp, ThirtyTwoBit) {
    const auto loaded =
        readBytes(BmpBuilder(6, 1, 32)
                      .raw({0x07, 0x80, 0xFF, 0,   0xFF, 0x00, 0xFF, 7,   0x08, 0x04, 0x08, 8,
                            0xFF, 0xFF, 0xFF, 250, 0x00, 0x00, 0x00, 251, 0x00, 0xFC, 0x00, 255})
                      .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xFC00, 0xF81F, 0x0821, 0xFFFF, 0x0000, 0x07E0}));
    EXPECT_EQ(loaded.image->alpha, (Alpha{0, 0, 1, 31, 32, 32}));
}

TEST(ReadBmp, NegativeHeightIsTopDown) {
    auto build = [](std::int32_t height) {
        return BmpBuilder(1, height, 8)
            .colorsUsed(3)
            .color(255, 0, 0)
            .color(0, 255, 0)
            .color(0, 0, 255)
            .row({0})
            .row({1})
            .row({2})
            .build();
    };
    const auto bottomUp = readBytes(build(3));
    ASSERT_TRUE(bottomUp.image) << bottomUp.error;
    EXPECT_EQ(bottomUp.image->pixels, (Pixels{0x001F, 0x07E0, 0xF800}));
    const auto topDown = readBytes(build(-3));
    ASSERT_TRUE(topDown.image) << topDown.error;
    EXPECT_EQ(topDown.image->height, 3);
    EXPECT_EQ(topDown.image->pixels, (Pixels{0xF800, 0x07E0, 0x001F}));
}

// The colour table follows the info header, whatever its length; the rows
// start at bfOffBits unless that points into the headers or the table.
TEST(ReadBmp, HeaderLengthAndDataOffset) {
    auto build = [](std::uint32_t infoSize, std::uint32_t offBits) {
        return BmpBuilder(2, 1, 8)
            .headerSize(infoSize)
            .dataOffset(offBits)
            .colorsUsed(2)
            .color(255, 0, 0)
            .color(0, 0, 255)
            .row({1, 0})
            .build();
    };
    for (const auto& [infoSize, offBits] : {std::pair<std::uint32_t, std::uint32_t>{108, 130},
                                            {124, 146},
                                            {64, 186},
                                            {40, 1000},
                                            {124, 20},
                                            {40, 60}}) {
        const auto loaded = readBytes(build(infoSize, offBits));
        ASSERT_TRUE(loaded.image) << infoSize << " " << offBits << ": " << loaded.error;
        EXPECT_EQ(loaded.image->pixels, (Pixels{0x001F, 0xF800})) << infoSize << " " << offBits;
    }
}

TEST(ReadBmp, EmptyImagesLoad) {
    for (const auto& [width, height] : {std::pair{0, 5}, {7, 0}, {0, 0}, {0, -4}}) {
        const auto loaded = readBytes(BmpBuilder(width, height, 24).build());
        ASSERT_TRUE(loaded.image) << loaded.error;
        EXPECT_EQ(loaded.image->width, width);
        EXPECT_EQ(loaded.image->height, height < 0 ? -height : height);
        EXPECT_TRUE(loaded.image->pixels.empty());
    }
}

// Rows larger than the read buffer, and rows that straddle its refills.
TEST(ReadBmp, RowsOfAnySize) {
    for (const std::int32_t width : {1001, 3000}) {
        BmpBuilder builder(width, 4, 32);
        Pixels expected(static_cast<std::size_t>(width) * 4);
        for (std::int32_t r = 0; r < 4; ++r) {
            Bytes row;
            for (std::int32_t x = 0; x < width; ++x) {
                const auto v = static_cast<std::uint8_t>(x * 7 + r);
                row.insert(row.end(), {v, 0, 0, 255});
                expected[static_cast<std::size_t>((3 - r) * width + x)] = v >> 3;
            }
            builder.row(row);
        }
        const auto loaded = readBytes(builder.build());
        ASSERT_TRUE(loaded.image) << loaded.error;
        EXPECT_EQ(loaded.image->pixels, expected);
        EXPECT_EQ(loaded.image->alpha, Alpha(expected.size(), 32));
    }
}

TEST(ReadBmp, ShortHeader) {
    const auto file = BmpBuilder(1, 1, 24).row({0, 0, 0}).build();
    EXPECT_EQ(errorOf(cut(file, 53)), "BMP header read error");
    EXPECT_EQ(errorOf(cut(file, 2)), "BMP header read error");
}

TEST(ReadBmp, InfoHeaderBelow40Bytes) {
    for (const std::uint32_t infoSize : {0u, 12u, 16u, 39u})
        EXPECT_EQ(errorOf(BmpBuilder(1, 1, 24).headerSize(infoSize).row({0, 0, 0}).build()),
                  "unsupported BMP header");
}

// RLE codes only for the depth they are made for; JPEG, PNG and the rest are refused.
TEST(ReadBmp, CompressedFiles) {
    for (const std::uint32_t compression : {1u, 2u, 4u, 5u, 7u, 0x80000000u})
        EXPECT_EQ(errorOf(BmpBuilder(1, 1, 16).compression(compression).row({0, 0}).build()),
                  "unknown compression");
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 4).compression(1).row({0, 0}).build()),
              "unknown compression");
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 8).compression(2).row({0, 0}).build()),
              "unknown compression");
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 24).compression(4).row({0, 0, 0}).build()),
              "unknown compression");
}

TEST(ReadBmp, OtherDepths) {
    for (const std::uint16_t bits : {0, 2, 3, 15, 48, 64, 30000})
        EXPECT_EQ(errorOf(BmpBuilder(1, 1, bits).row(Bytes(8, 0)).build()),
                  "unsupported bit depth");
}

// Up to 256 entries; depths above 8 have no table and ignore biClrUsed.
TEST(ReadBmp, ColourTableOver256Entries) {
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 8).colorsUsed(257).row({0}).build()),
              "invalid colour table");
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 1).colorsUsed(0xFFFFFFFF).row({0}).build()),
              "invalid colour table");
    EXPECT_TRUE(readBytes(BmpBuilder(1, 1, 24).colorsUsed(1000).row({0, 0, 0}).build()).image);
}

TEST(ReadBmp, NegativeWidthOrUnnegatableHeight) {
    EXPECT_EQ(errorOf(BmpBuilder(-1, 1, 24).row({0, 0, 0}).build()), "invalid dimensions");
    EXPECT_EQ(errorOf(BmpBuilder(1, INT32_MIN, 24).row({0, 0, 0}).build()), "invalid dimensions");
}

// The pixel buffer (2 bytes a pixel) and the rows' bytes must fit in 32 bits.
TEST(ReadBmp, ImageTooLarge) {
    EXPECT_EQ(errorOf(BmpBuilder(65536, 65536, 16).build()), "image too large");
    EXPECT_EQ(errorOf(BmpBuilder(32768, -65536, 8).build()), "image too large");
    EXPECT_EQ(errorOf(BmpBuilder(0x7FFFFFFF, 1, 32).build()), "image too large");
    // The pixel limit: 16384 × 16384 and as many pixels in any shape pass
    // (to the check of the file's size); one more is refused.
    EXPECT_EQ(errorOf(BmpBuilder(0x7FFFFFFF, 1, 1).build()), "image too large");
    EXPECT_EQ(errorOf(BmpBuilder(16384, 16384, 1).build()), "truncated file");
    EXPECT_EQ(errorOf(BmpBuilder(16384 * 16384, -1, 1).build()), "truncated file");
    EXPECT_EQ(errorOf(BmpBuilder(16384, 16385, 1).build()), "image too large");
    EXPECT_EQ(errorOf(BmpBuilder(16384 * 16384 + 1, 1, 1).build()), "image too large");
}

TEST(ReadBmp, MissingTableOrRows) {
    EXPECT_EQ(errorOf(BmpBuilder(1, 1, 8).colorsUsed(2).color(0, 0, 0).build()), "truncated file");
    EXPECT_EQ(errorOf(BmpBuilder(4, 3, 24).row(Bytes(12, 0)).row(Bytes(12, 0)).build()),
              "truncated file");
    EXPECT_EQ(errorOf(BmpBuilder(2, 1, 8).dataOffset(200).colorsUsed(1).color(0, 0, 0).build()),
              "truncated file");
    EXPECT_EQ(errorOf(BmpBuilder(10000, 10000, 32).build()), "truncated file");
}

// Where a file breaks several rules, the earlier check names it.
TEST(ReadBmp, ChecksRunInOrder) {
    auto headerOnly = [](BmpBuilder builder) { return cut(builder.build(), 54); };
    EXPECT_EQ(errorOf(cut(BmpBuilder(1, 1, 2).headerSize(12).compression(1).build(), 53)),
              "BMP header read error");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(1, 1, 2).headerSize(12).compression(1))),
              "unsupported BMP header");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(1, 1, 2).compression(1).colorsUsed(300))),
              "unknown compression");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(-1, 1, 2).colorsUsed(300))), "unsupported bit depth");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(-1, 1, 8).colorsUsed(300))), "invalid colour table");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(-1, 65536, 16))), "invalid dimensions");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(65536, INT32_MIN, 16))), "invalid dimensions");
    EXPECT_EQ(errorOf(headerOnly(BmpBuilder(65536, 65536, 16))), "image too large");
}

// Every prefix of a valid file fails cleanly, except the one that lacks no
// more than the fill after the last row, which loads in full.
TEST(ReadBmp, CutAtEveryLength) {
    const Bytes files[] = {
        BmpBuilder(3, 3, 8)
            .headerSize(108)
            .dataOffset(180)
            .colorsUsed(2)
            .color(255, 0, 0)
            .color(0, 0, 255)
            .row({0, 1, 0})
            .row({1, 1, 1})
            .row({1, 0, 1})
            .build(),
        BmpBuilder(3, -2, 24).row(Bytes(9, 0x40)).row(Bytes(9, 0xC0)).build(),
        BmpBuilder(1, 2, 16).row({0x12, 0x34}).row({0x56, 0x78}).build(),
    };
    for (const auto& file : files) {
        const auto whole = readBytes(file);
        ASSERT_TRUE(whole.image) << whole.error;
        const std::size_t lastFill = (file[28] == 8 ? 1 : file[28] == 24 ? 3 : 2);
        for (std::size_t size = 2; size < file.size(); ++size) {
            const auto loaded = readBytes(cut(file, size));
            if (size >= file.size() - lastFill) {
                ASSERT_TRUE(loaded.image) << size << ": " << loaded.error;
                EXPECT_EQ(loaded.image->pixels, whole.image->pixels);
            } else {
                EXPECT_EQ(loaded.error, size < 54 ? "BMP header read error" : "truncated file")
                    << size;
            }
        }
    }
}

// Files many times the read buffer, with rows that do not divide it and data
// at odd offsets: every route into the reader gives the same pixels.
TEST(ReadBmp, LargeFilesReadInPieces) {
    const TempDir dir;
    for (const std::uint32_t offset : {54u, 61u, 4097u}) {
        constexpr std::int32_t WIDTH = 1001;
        constexpr std::int32_t HEIGHT = 300;
        BmpBuilder builder(WIDTH, HEIGHT, 24);
        builder.dataOffset(offset);
        Pixels expected(static_cast<std::size_t>(WIDTH) * HEIGHT);
        for (std::int32_t r = 0; r < HEIGHT; ++r) {
            Bytes row;
            for (std::int32_t x = 0; x < WIDTH; ++x) {
                const auto b = static_cast<std::uint8_t>(x * 7 + r);
                const auto g = static_cast<std::uint8_t>(x + 3 * r);
                const auto red = static_cast<std::uint8_t>(x * 5 + 11 * r);
                row.insert(row.end(), {b, g, red});
                expected[static_cast<std::size_t>((HEIGHT - 1 - r) * WIDTH + x)] =
                    static_cast<std::uint16_t>((red >> 3) << 11 | (g >> 2) << 5 | b >> 3);
            }
            builder.row(row);
        }
        const Bytes file = builder.build();
        writeFile(dir.file("large.bmp"), file);
        ErrorText errorText{};
        const auto named = loadImage(dir.file("large.bmp").c_str(), errorText);
        ASSERT_TRUE(named) << errorText.data();
        EXPECT_EQ(named->pixels, expected) << offset;
        const auto inMemory = readBytes(file);
        ASSERT_TRUE(inMemory.image) << inMemory.error;
        EXPECT_EQ(inMemory.image->pixels, expected) << offset;
    }
}

// A stream that cannot tell its length is checked as it is read.
TEST(ReadBmp, StreamWithoutKnownLength) {
    const auto file = BmpBuilder(3, 2, 24).row(Bytes(9, 0xFF)).row(Bytes(9, 0x00)).build();
    const auto whole = loadPiped(file);
    ASSERT_TRUE(whole.image) << whole.error;
    EXPECT_EQ(whole.image->pixels, (Pixels{0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF}));
    EXPECT_TRUE(loadPiped(cut(file, file.size() - 3)).image);
    EXPECT_EQ(loadPiped(cut(file, file.size() - 4)).error, "truncated file");
    EXPECT_EQ(loadPiped(cut(file, 60)).error, "truncated file");
    EXPECT_EQ(loadPiped(BmpBuilder(2, 1, 8).colorsUsed(2).build()).error, "truncated file");
}

// A file that is cut while it is read: its length, taken first, promises
// every row, but the bytes stop part way. The read that falls short is
// refused, however far it got, rather than leaving black rows.
struct CutFile {
    const Bytes* bytes;
    std::size_t promised;  // the length the file claims
    std::size_t given;     // the bytes it hands out before it ends
    std::size_t at = 0;
};

ssize_t readCut(void* cookie, char* out, std::size_t size) {
    auto* f = static_cast<CutFile*>(cookie);
    const std::size_t n = std::min(size, f->given > f->at ? f->given - f->at : 0);
    std::copy_n(f->bytes->data() + f->at, n, out);
    f->at += n;
    return static_cast<ssize_t>(n);
}

int seekCut(void* cookie, off64_t* offset, int whence) {
    auto* f = static_cast<CutFile*>(cookie);
    const auto base = whence == SEEK_SET   ? 0
                      : whence == SEEK_CUR ? static_cast<off64_t>(f->at)
                                           : static_cast<off64_t>(f->promised);
    f->at = static_cast<std::size_t>(base + *offset);
    *offset = static_cast<off64_t>(f->at);
    return 0;
}

TEST(ReadBmp, FileCutWhileRead) {
    BmpBuilder builder(1000, 600, 24);
    for (int y = 0; y < 600; ++y) builder.row(Bytes(3000, static_cast<std::uint8_t>(y)));
    const Bytes file = builder.build();
    for (const std::size_t given : {file.size() / 2, file.size() - 1}) {
        CutFile cut{&file, file.size(), given};
        std::FILE* stream = fopencookie(&cut, "rb", {readCut, nullptr, seekCut, nullptr});
        ASSERT_TRUE(stream);
        const Loaded loaded = loadStream(stream);
        std::fclose(stream);
        EXPECT_FALSE(loaded.image) << given;
        EXPECT_EQ(loaded.error, "truncated file") << given;
    }
    CutFile whole{&file, file.size(), file.size()};
    std::FILE* stream = fopencookie(&whole, "rb", {readCut, nullptr, seekCut, nullptr});
    ASSERT_TRUE(stream);
    EXPECT_TRUE(loadStream(stream).image);
    std::fclose(stream);
}

// Files opened by name learn their length from the file system.
TEST(ReadBmp, LoadImageFromFile) {
    const TempDir dir;
    const auto file = BmpBuilder(1, 1, 24).row({0x00, 0x00, 0xFF}).build();
    writeFile(dir.file("a.bmp"), file);
    writeFile(dir.file("b.bmp"), cut(file, 56));
    ErrorText errorText{};
    const auto image = loadImage(dir.file("a.bmp").c_str(), errorText);
    ASSERT_TRUE(image) << errorText.data();
    EXPECT_EQ(image->pixels, (Pixels{0xF800}));
    EXPECT_FALSE(loadImage(dir.file("b.bmp").c_str(), errorText));
    EXPECT_STREQ(errorText.data(), "truncated file");
}
