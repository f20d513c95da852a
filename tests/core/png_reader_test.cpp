// PNG input: the files of tests/data/png (see make_pngs.py there) hold one
// 11 x 9 picture given by formulas, repeated here, so every pixel is known
// without a decoder: each colour type and bit depth, tRNS, interlacing, and
// files written by Pillow and ImageMagick.
#include "formats/png_reader.h"

#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace rle565;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t W = 11;
constexpr std::uint32_t H = 9;

std::uint32_t red16(std::uint32_t x, std::uint32_t y) { return (x * 6007 + y * 2011) & 0xFFFF; }
std::uint32_t green16(std::uint32_t x, std::uint32_t y) {
    return (x * 1543 + y * 7919 + 300) & 0xFFFF;
}
std::uint32_t blue16(std::uint32_t x, std::uint32_t y) { return (x * x * 911 + y * 3301) & 0xFFFF; }
std::uint32_t alpha16(std::uint32_t x, std::uint32_t y) {
    return x == W - 1 ? 0xFFFF : (x * 5237 + y * 5367) & 0xFFFF;
}

struct PngCase {
    const char* name;
    int colorType;
    int depth;
    bool bTrns;
    std::uint32_t nPalette;  // palette files: the entries written
};

struct Rgba {
    std::uint32_t r, g, b, a;  // 8 bits each
};

// A sample of `depth` bits widened to 8 as PNG defines it (v × 255 / max);
// 16-bit samples keep their high byte.
std::uint32_t to8(std::uint32_t v16, int depth) {
    const std::uint32_t v = v16 >> (16 - depth);
    if (depth == 16) return v >> 8;
    return v * 255 / ((1u << depth) - 1);
}

Rgba expectedColour(const PngCase& c, std::uint32_t x, std::uint32_t y) {
    switch (c.colorType) {
        case 0: {
            const std::uint32_t g = to8(green16(x, y), c.depth);
            const bool bKey =
                c.bTrns && (green16(x, y) >> (16 - c.depth)) == (green16(0, 0) >> (16 - c.depth));
            return {g, g, g, bKey ? 0u : 255u};
        }
        case 2: {
            const int cut = 16 - c.depth;
            const bool bKey = c.bTrns && red16(x, y) >> cut == red16(0, 0) >> cut &&
                              green16(x, y) >> cut == green16(0, 0) >> cut &&
                              blue16(x, y) >> cut == blue16(0, 0) >> cut;
            return {to8(red16(x, y), c.depth), to8(green16(x, y), c.depth),
                    to8(blue16(x, y), c.depth), bKey ? 0u : 255u};
        }
        case 3: {
            const std::uint32_t i = (x * 3 + y * 5) % c.nPalette;
            const std::uint32_t nTrns = std::max(1u, c.nPalette * 3 / 4);
            const std::uint32_t a = c.bTrns && i < nTrns ? (i * 67) & 255 : 255;
            return {(i * 37 + 11) & 255, (i * 101) & 255, (255 - i * 13) & 255, a};
        }
        case 4: {
            const std::uint32_t g = to8(green16(x, y), c.depth);
            return {g, g, g, to8(alpha16(x, y), c.depth)};
        }
        default:
            return {to8(red16(x, y), c.depth), to8(green16(x, y), c.depth),
                    to8(blue16(x, y), c.depth), to8(alpha16(x, y), c.depth)};
    }
}

const PngCase CASES[] = {
    {"g1", 0, 1, false, 0},
    {"g2", 0, 2, false, 0},
    {"g4", 0, 4, false, 0},
    {"g8", 0, 8, false, 0},
    {"g16", 0, 16, false, 0},
    {"g8t", 0, 8, true, 0},
    {"g16t", 0, 16, true, 0},
    {"rgb8", 2, 8, false, 0},
    {"rgb16", 2, 16, false, 0},
    {"rgb8t", 2, 8, true, 0},
    {"rgb16t", 2, 16, true, 0},
    {"p1", 3, 1, false, 2},
    {"p2", 3, 2, false, 4},
    {"p4", 3, 4, false, 16},
    {"p8", 3, 8, false, 200},
    {"p4t", 3, 4, true, 16},
    {"p8t", 3, 8, true, 200},
    {"ga8", 4, 8, false, 0},
    {"ga16", 4, 16, false, 0},
    {"rgba8", 6, 8, false, 0},
    {"rgba16", 6, 16, false, 0},
    {"rgba8i", 6, 8, false, 0},
    {"rgb16i", 2, 16, false, 0},
    {"p4ti", 3, 4, true, 16},
    {"g2i", 0, 2, false, 0},
    {"ga16i", 4, 16, false, 0},
    {"pillow-rgba8", 6, 8, false, 0},
    {"pillow-p4t", 3, 4, true, 16},
    {"magick-rgba16i", 6, 16, false, 0},
};

std::string dataPath(const std::string& name) {
    return std::string(RLE565_TEST_DATA) + "/png/" + name + ".png";
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Loaded {
    std::unique_ptr<Image> image;
    std::string error;
};

Loaded fromMemory(const Bytes& bytes) {
    ErrorText errorText{};
    Loaded result{loadImageFromMemory(bytes, errorText), {}};
    if (!result.image) result.error = errorText.data();
    return result;
}

Loaded fromStream(Bytes bytes) {
    ErrorText errorText{};
    const FilePtr stream(fmemopen(bytes.data(), bytes.size(), "rb"));
    Loaded result{loadImageFromStream(stream.get(), errorText), {}};
    if (!result.image) result.error = errorText.data();
    return result;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

// A signature and an IHDR chunk (8-bit RGBA) with a sound checksum, and nothing more.
Bytes headerOnly(std::uint32_t width, std::uint32_t height) {
    Bytes chunk = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (const std::uint32_t v : {width, height})
        for (const int shift : {24, 16, 8, 0})
            chunk.push_back(static_cast<std::uint8_t>(v >> shift));
    chunk.insert(chunk.end(), {8, 6, 0, 0, 0});
    const std::uint32_t crc = crc32(chunk.data() + 4, chunk.size() - 4);
    for (const int shift : {24, 16, 8, 0}) chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
    Bytes png;
    for (const std::uint8_t byte : PNG_SIGNATURE) png.push_back(byte);
    for (const std::uint8_t byte : chunk) png.push_back(byte);
    return png;
}

}  // namespace

// Colours lose their low bits (16-bit samples their low byte first); alpha
// from an alpha channel or tRNS goes to 0..32 by the 32-bit BMP rule, and
// files without either have no alpha plane.
TEST(ReadPng, EveryColourTypeDepthAndInterlacing) {
    for (const PngCase& c : CASES) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = fileBytes(dataPath(c.name));
        ASSERT_TRUE(isPng(bytes));
        ErrorText errorText{};
        const auto image = loadImage(dataPath(c.name).c_str(), errorText);
        ASSERT_TRUE(image) << errorText.data();
        ASSERT_EQ(image->width, static_cast<std::int32_t>(W));
        ASSERT_EQ(image->height, static_cast<std::int32_t>(H));
        EXPECT_EQ(image->flags, 0u);
        const bool bAlpha = c.colorType == 4 || c.colorType == 6 || c.bTrns;
        ASSERT_EQ(image->hasAlpha(), bAlpha);
        std::size_t nWrong = 0;
        for (std::uint32_t y = 0; y < H; ++y) {
            for (std::uint32_t x = 0; x < W; ++x) {
                const Rgba e = expectedColour(c, x, y);
                const std::size_t i = y * W + x;
                const auto colour =
                    static_cast<std::uint16_t>((e.r >> 3) << 11 | (e.g >> 2) << 5 | e.b >> 3);
                const std::uint8_t alpha = e.a >= 251 ? 32 : static_cast<std::uint8_t>(e.a >> 3);
                nWrong += image->pixels[i] != colour;
                if (bAlpha) nWrong += image->alpha[i] != alpha;
            }
        }
        EXPECT_EQ(nWrong, 0u);
        // The other two routes in give the same record.
        const Loaded memory = fromMemory(bytes);
        const Loaded stream = fromStream(bytes);
        ASSERT_TRUE(memory.image && stream.image) << memory.error << stream.error;
        EXPECT_EQ(memory.image->pixels, image->pixels);
        EXPECT_EQ(stream.image->pixels, image->pixels);
        EXPECT_EQ(stream.image->alpha, image->alpha);
    }
}

// The alpha channel reaches every value class: 0, partial and opaque.
TEST(ReadPng, AlphaCoversTheRange) {
    ErrorText errorText{};
    const auto image = loadImage(dataPath("rgba16").c_str(), errorText);
    ASSERT_TRUE(image) << errorText.data();
    EXPECT_EQ(image->alpha[0], 0);
    EXPECT_EQ(image->alpha[W - 1], 32);
    // (1, 0): 5237 = 0x1475, high byte 0x14 = 20, so 20 >> 3.
    EXPECT_EQ(image->alpha[1], 2);
}

// A damaged file fails with one line from libspng; a cut file fails at every
// length, by either route, with the same text.
TEST(ReadPng, DamagedFiles) {
    const Bytes whole = fileBytes(dataPath("rgba8i"));
    for (std::size_t size = 8; size < whole.size(); ++size) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        const Loaded memory = fromMemory(cut);
        const Loaded stream = fromStream(cut);
        // The last chunk's checksum and the IEND chunk are not needed once
        // the last row is decoded.
        if (size >= whole.size() - 16 && memory.image) {
            EXPECT_EQ(memory.image->pixels, fromMemory(whole).image->pixels);
            continue;
        }
        ASSERT_FALSE(memory.image) << size;
        EXPECT_EQ(memory.error.rfind("PNG read error: ", 0), 0u) << size << ": " << memory.error;
        EXPECT_GT(memory.error.size(), 16u);
        EXPECT_EQ(stream.error, memory.error) << size;
    }

    // A flipped bit in the IHDR's data breaks its checksum.
    Bytes flipped = whole;
    flipped[20] ^= 0x01;
    EXPECT_EQ(fromMemory(flipped).error, "PNG read error: invalid chunk checksum");
    // A first chunk other than IHDR.
    Bytes noHeader = whole;
    noHeader[12] = 'J';
    EXPECT_EQ(fromMemory(noHeader).error, "PNG read error: missing IHDR chunk");
    EXPECT_EQ(fromStream(Bytes(whole.begin(), whole.begin() + 100)).error,
              "PNG read error: end of stream");
    // Seven bytes of signature are no PNG.
    EXPECT_EQ(fromMemory(Bytes(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end() - 1)).error,
              "unknown format");
    EXPECT_EQ(fromStream(Bytes(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end() - 1)).error,
              "unknown format");
    Bytes otherSignature(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end());
    otherSignature[7] = 0;
    EXPECT_EQ(fromStream(otherSignature).error, "unknown format");
}

// A header that claims more than the BMP limits is refused before anything
// is allocated; a width beyond 2^31 - 1 is no PNG at all.
TEST(ReadPng, DimensionLimits) {
    EXPECT_EQ(fromMemory(headerOnly(65536, 65536)).error, "image too large");
    EXPECT_EQ(fromStream(headerOnly(65536, 65536)).error, "image too large");
    EXPECT_EQ(fromMemory(headerOnly(50000, 50000)).error, "image too large");
    const std::string huge = fromMemory(headerOnly(0x80000000u, 0x80000000u)).error;
    EXPECT_EQ(huge.rfind("PNG read error: ", 0), 0u) << huge;
    // Within the limits, the missing image data is the fault.
    const std::string small = fromMemory(headerOnly(4, 4)).error;
    EXPECT_EQ(small.rfind("PNG read error: ", 0), 0u) << small;
}
