// BMP files with bit masks (BI_BITFIELDS, BI_ALPHABITFIELDS), laid out by
// hand: masks after a 40-byte header or inside a longer one, each channel
// placed at the top of its RGB565 field, alpha scaled and reduced.
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bmp_builder.h"

using namespace rle565;

namespace {

using Bytes = BmpBuilder::Bytes;
using Pixels = std::vector<std::uint16_t>;
using Alpha = std::vector<std::uint8_t>;

constexpr std::uint32_t BI_BITFIELDS = 3;
constexpr std::uint32_t BI_ALPHABITFIELDS = 6;

struct Loaded {
    std::unique_ptr<Image> image;
    std::string error;
};

// Both routes into the reader, which must agree.
Loaded load(Bytes file) {
    ErrorText memoryText{};
    auto fromMemory = loadImageFromMemory(file, memoryText);
    ErrorText streamText{};
    const FilePtr stream(fmemopen(file.data(), file.size(), "rb"));
    const auto fromStream = loadImageFromStream(stream.get(), streamText);
    EXPECT_EQ(std::string(memoryText.data()), std::string(streamText.data()));
    EXPECT_EQ(!fromMemory, !fromStream);
    if (fromMemory && fromStream) {
        EXPECT_EQ(fromMemory->pixels, fromStream->pixels);
        EXPECT_EQ(fromMemory->alpha, fromStream->alpha);
    }
    return {std::move(fromMemory), memoryText.data()};
}

Bytes words16(std::initializer_list<std::uint16_t> values) {
    Bytes bytes;
    for (const std::uint16_t v : values)
        bytes.insert(bytes.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    return bytes;
}

Bytes words32(std::initializer_list<std::uint32_t> values) {
    Bytes bytes(values.size() * 4);
    std::size_t at = 0;
    for (const std::uint32_t v : values) {
        storeLe32(&bytes[at], v);
        at += 4;
    }
    return bytes;
}

}  // namespace

// 5-6-5 masks after a 40-byte header: the words are the pixels.
TEST(BmpMasks, Rgb565IsExact) {
    const auto file = BmpBuilder(3, 2, 16)
                          .compression(BI_BITFIELDS)
                          .masks({0xF800, 0x07E0, 0x001F})
                          .row(words16({0xF800, 0x07E0, 0x001F}))
                          .row(words16({0xFFFF, 0x1234, 0x0021}))
                          .build();
    ASSERT_EQ(file.size(), 66u + 16);
    const auto loaded = load(file);
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xFFFF, 0x1234, 0x0021, 0xF800, 0x07E0, 0x001F}));
    EXPECT_FALSE(loaded.image->hasAlpha());
}

// 5-5-5 masks give what the same words give without masks; narrower
// channels move further up, wider ones lose their low bits.
TEST(BmpMasks, ChannelsGoToTheTopOfTheirFields) {
    const auto x555 = load(BmpBuilder(4, 1, 16)
                               .compression(BI_BITFIELDS)
                               .masks({0x7C00, 0x03E0, 0x001F})
                               .row(words16({0x7FFF, 0x7C00, 0x03E0, 0x001F}))
                               .build());
    ASSERT_TRUE(x555.image) << x555.error;
    EXPECT_EQ(x555.image->pixels, (Pixels{0xFFDF, 0xF800, 0x07C0, 0x001F}));

    // 3-3-2 in the low byte: red r3 << 2, green g3 << 3, blue b2 << 3.
    const auto low = load(BmpBuilder(2, 1, 16)
                              .compression(BI_BITFIELDS)
                              .masks({0xE0, 0x1C, 0x03})
                              .row(words16({0xFF, 0xA6}))
                              .build());
    ASSERT_TRUE(low.image) << low.error;
    // 0xA6 = 101 001 10: red 5 -> 10100, green 1 -> 001000, blue 2 -> 10000.
    EXPECT_EQ(low.image->pixels, (Pixels{0xE718, 0xA110}));

    // 10-10-10 in a 32-bit pixel: each channel keeps its top 5 or 6 bits.
    const auto wide = load(BmpBuilder(1, 1, 32)
                               .compression(BI_BITFIELDS)
                               .masks({0x3FF00000, 0x000FFC00, 0x000003FF})
                               .row(words32({0x2AA55A5A}))
                               .build());
    ASSERT_TRUE(wide.image) << wide.error;
    // red 1010101010 -> 10101, green 0101010110 -> 010101, blue 1001011010 -> 10010.
    EXPECT_EQ(wide.image->pixels, (Pixels{0xAAB2}));
    EXPECT_FALSE(wide.image->hasAlpha());
}

// 8-bit masks in a header of 56 bytes and more, alpha included: the same
// reduction as 32-bit BI_RGB pixels, alpha by the same rule.
TEST(BmpMasks, AlphaMaskInTheHeader) {
    const auto file =
        BmpBuilder(6, 1, 32)
            .headerSize(124)
            .compression(BI_BITFIELDS)
            .headerMasks({0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000})
            .row(words32({0x00FF8007, 0x07FF00FF, 0x08000000, 0xFA000000, 0xFB000000, 0xFFFFFFFF}))
            .build();
    const auto loaded = load(file);
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xFC00, 0xF81F, 0, 0, 0, 0xFFFF}));
    EXPECT_EQ(loaded.image->alpha, (Alpha{0, 0, 1, 31, 32, 32}));

    // 52 to 55 bytes hold the colour masks only; the alpha byte is ignored.
    const auto h52 = load(BmpBuilder(1, 1, 32)
                              .headerSize(52)
                              .compression(BI_BITFIELDS)
                              .headerMasks({0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000})
                              .row(words32({0x80FF0000}))
                              .build());
    ASSERT_TRUE(h52.image) << h52.error;
    EXPECT_EQ(h52.image->pixels, (Pixels{0xF800}));
    EXPECT_FALSE(h52.image->hasAlpha());
}

// An n-bit alpha is scaled to 0..255 (a × 255 / (2^n - 1), rounded down),
// then reduced: 1, 2 and 4 bits.
TEST(BmpMasks, NarrowAlphaIsScaled) {
    const auto argb1555 = load(BmpBuilder(2, 1, 16)
                                   .headerSize(108)
                                   .compression(BI_BITFIELDS)
                                   .headerMasks({0x7C00, 0x03E0, 0x001F, 0x8000})
                                   .row(words16({0xFC00, 0x7C00}))
                                   .build());
    ASSERT_TRUE(argb1555.image) << argb1555.error;
    EXPECT_EQ(argb1555.image->pixels, (Pixels{0xF800, 0xF800}));
    EXPECT_EQ(argb1555.image->alpha, (Alpha{32, 0}));

    // 4 bits: 15 -> 255 -> 32, 14 -> 238 -> 29, 8 -> 136 -> 17, 1 -> 17 -> 2.
    const auto argb4444 = load(BmpBuilder(4, 1, 16)
                                   .headerSize(124)
                                   .compression(BI_BITFIELDS)
                                   .headerMasks({0x0F00, 0x00F0, 0x000F, 0xF000})
                                   .row(words16({0xFF00, 0xE0F0, 0x800F, 0x1A5C}))
                                   .build());
    ASSERT_TRUE(argb4444.image) << argb4444.error;
    // red r4 << 1, green g4 << 2, blue b4 << 1: 0xA5C gives 10100, 010100, 11000.
    EXPECT_EQ(argb4444.image->pixels, (Pixels{0xF000, 0x0780, 0x001E, 0xA298}));
    EXPECT_EQ(argb4444.image->alpha, (Alpha{32, 29, 17, 2}));

    // BI_ALPHABITFIELDS after a 40-byte header: four masks. 2 bits: 3, 2, 1, 0.
    const auto abf = load(BmpBuilder(4, 1, 32)
                              .compression(BI_ALPHABITFIELDS)
                              .masks({0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000})
                              .row(words32({0xC0000000, 0x80000000, 0x40000000, 0x3FFFFFFF}))
                              .build());
    ASSERT_TRUE(abf.image) << abf.error;
    EXPECT_EQ(abf.image->alpha, (Alpha{32, 21, 10, 0}));
    EXPECT_EQ(abf.image->pixels[3], 0xFFFF);
}

// A mask may fill the whole 32-bit pixel: such a colour channel keeps its top
// five or six bits, and such an alpha is scaled like a narrow one.
TEST(BmpMasks, MaskOfAllThirtyTwoBits) {
    const auto red = load(BmpBuilder(4, 1, 32)
                              .compression(BI_BITFIELDS)
                              .masks({0xFFFFFFFF, 0, 0})
                              .row(words32({0xFFFFFFFF, 0x80000000, 0x08000000, 0x07FFFFFF}))
                              .build());
    ASSERT_TRUE(red.image) << red.error;
    EXPECT_EQ(red.image->pixels, (Pixels{0xF800, 0x8000, 0x0800, 0x0000}));

    const auto green = load(BmpBuilder(2, 1, 32)
                                .compression(BI_BITFIELDS)
                                .masks({0, 0xFFFFFFFF, 0})
                                .row(words32({0xFFFFFFFF, 0x07FFFFFF}))
                                .build());
    ASSERT_TRUE(green.image) << green.error;
    EXPECT_EQ(green.image->pixels, (Pixels{0x07E0, 0x0020}));

    // a × 255 / (2^32 - 1): 0xFC000000 gives 251, 0xFB000000 250, 0xF0000000
    // 239, 0x80000000 127 and 0x07FFFFFF 7.
    const auto alpha = load(
        BmpBuilder(6, 1, 32)
            .compression(BI_ALPHABITFIELDS)
            .masks({0, 0, 0, 0xFFFFFFFF})
            .row(words32({0xFFFFFFFF, 0xFC000000, 0xFB000000, 0xF0000000, 0x80000000, 0x07FFFFFF}))
            .build());
    ASSERT_TRUE(alpha.image) << alpha.error;
    EXPECT_EQ(alpha.image->alpha, (Alpha{32, 32, 31, 29, 15, 0}));
}

// A zero alpha mask means no alpha plane; the colour key then marks
// transparency as in any image without alpha.
TEST(BmpMasks, ZeroAlphaMaskIsOpaque) {
    const auto loaded = load(BmpBuilder(2, 1, 32)
                                 .compression(BI_ALPHABITFIELDS)
                                 .masks({0x00FF0000, 0x0000FF00, 0x000000FF, 0})
                                 .row(words32({0x00FF00FF, 0xFF123456}))
                                 .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_FALSE(loaded.image->hasAlpha());
    EXPECT_EQ(loaded.image->pixels, (Pixels{0xF81F, 0x11AA}));
}

// Rows start at bfOffBits when it points past the masks.
TEST(BmpMasks, RowsAtTheDataOffset) {
    const auto loaded = load(BmpBuilder(1, 1, 16)
                                 .compression(BI_BITFIELDS)
                                 .masks({0xF800, 0x07E0, 0x001F})
                                 .dataOffset(80)
                                 .row(words16({0x1234}))
                                 .build());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->pixels, (Pixels{0x1234}));
}

TEST(BmpMasks, InvalidMasks) {
    auto error16 = [](std::initializer_list<std::uint32_t> masks) {
        return load(BmpBuilder(1, 1, 16)
                        .compression(BI_ALPHABITFIELDS)
                        .masks(masks)
                        .row(words16({0}))
                        .build())
            .error;
    };
    EXPECT_EQ(error16({0xF00F, 0x07E0, 0x0010, 0}), "invalid bit masks");        // not one run
    EXPECT_EQ(error16({0xF800, 0x0FE0, 0x001F, 0}), "invalid bit masks");        // red and green
    EXPECT_EQ(error16({0xF800, 0x07E0, 0x001F, 0x0001}), "invalid bit masks");   // alpha and blue
    EXPECT_EQ(error16({0xF800, 0x07E0, 0x001F, 0x10000}), "invalid bit masks");  // past 16 bits
    EXPECT_EQ(error16({0xF800, 0x07E0, 0x001F, 0}), "");
    EXPECT_EQ(load(BmpBuilder(1, 1, 32)
                       .headerSize(56)
                       .compression(BI_BITFIELDS)
                       .headerMasks({0xFF0000, 0xFF00, 0xFF, 0xF0F00000})
                       .row(words32({0}))
                       .build())
                  .error,
              "invalid bit masks");
    // Masks only describe 16- and 32-bit pixels; compression 3 at other
    // depths is another coding, not taken.
    for (const std::uint16_t bits : {1, 4, 8, 24, 0, 64})
        EXPECT_EQ(load(BmpBuilder(1, 1, bits)
                           .compression(BI_BITFIELDS)
                           .masks({0xFF0000, 0xFF00, 0xFF})
                           .row(Bytes(8, 0))
                           .build())
                      .error,
                  "unknown compression")
            << bits;
}

// Every prefix fails cleanly; the masks are part of what must be there.
TEST(BmpMasks, CutAtEveryLength) {
    const auto file = BmpBuilder(3, 2, 16)
                          .compression(BI_BITFIELDS)
                          .masks({0xF800, 0x07E0, 0x001F})
                          .row(words16({1, 2, 3}))
                          .row(words16({4, 5, 6}))
                          .build();
    for (std::size_t size = 2; size < file.size() - 2; ++size) {
        const auto loaded =
            load(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_EQ(loaded.error, size < 54 ? "BMP header read error" : "truncated file") << size;
    }
}
