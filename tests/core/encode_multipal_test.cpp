// The multi-palette encoder: line palettes, the greedy merge within 251 keys,
// the palette table, switch codes, and the limits of the 16-bit format.
#include "encode/encode_multipal.h"

#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/load.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <set>

#include "image_maker.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

struct Encoded {
    EncodeResult result;
    std::int32_t nColors;
};

constexpr std::int32_t UNTOUCHED = 777;

Encoded encode(const Image& image, const std::string& path) {
    std::int32_t nColors = UNTOUCHED;
    const EncodeResult result = encodeMultipal(image, path.c_str(), nColors);
    return {result, nColors};
}

Bytes encodeToBytes(const Image& image) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    const Encoded done = encode(image, path);
    EXPECT_EQ(done.result, EncodeResult::Written);
    EXPECT_EQ(done.nColors, UNTOUCHED);
    return readFile(path);
}

// The bytes of an RLE file laid out field by field.
Bytes rleFile(std::uint8_t flags, std::uint16_t width, std::uint16_t height,
              const std::vector<std::uint16_t>& palette, const Bytes& alphas, const Bytes& lengths,
              const Bytes& codes) {
    const auto le16 = [](Bytes& out, std::uint16_t v) {
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    Bytes file{0x52, 0x4C, flags, 0x00};
    le16(file, width);
    le16(file, height);
    le16(file, static_cast<std::uint16_t>(palette.size()));
    le16(file, height);
    for (const std::uint16_t color : palette) le16(file, color);
    file.insert(file.end(), alphas.begin(), alphas.end());
    file.insert(file.end(), lengths.begin(), lengths.end());
    file.insert(file.end(), codes.begin(), codes.end());
    return file;
}

// `count` consecutive colours from `first`.
std::vector<std::uint16_t> colorsFrom(std::uint16_t first, std::size_t count) {
    std::vector<std::uint16_t> colors(count);
    std::iota(colors.begin(), colors.end(), first);
    return colors;
}

std::vector<Pair> pairsOf(const std::vector<std::uint16_t>& colors) {
    std::vector<Pair> pairs;
    for (const std::uint16_t color : colors) pairs.push_back(Pair{color});
    return pairs;
}

// The literal codes first, first + 1, ..., last.
Bytes literals(std::uint8_t first, std::uint8_t last) {
    Bytes codes;
    for (int v = first; v <= last; ++v) codes.push_back(static_cast<std::uint8_t>(v));
    return codes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::uint16_t> operator+(std::vector<std::uint16_t> a,
                                     const std::vector<std::uint16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Line 0 holds 200 keys; line 1 200 keys of its own; line 2 150 keys of line 0
// and 50 new ones. Lines 0 and 2 share a palette of 250, line 1 sits behind it.
TEST(EncodeMultipal, WorkedExample) {
    const std::vector<std::uint16_t> line0 = colorsFrom(0x0100, 200);
    const std::vector<std::uint16_t> line1 = colorsFrom(0x2000, 200);
    const std::vector<std::uint16_t> line2 = colorsFrom(0x0100 + 50, 150) + colorsFrom(0x4000, 50);
    const Image image = makeImage({pairsOf(line0), pairsOf(line1), pairsOf(line2)}, false);
    const Bytes expected =
        rleFile(0x02, 200, 3,
                std::vector<std::uint16_t>{COLOR_KEY} + line0 + colorsFrom(0x4000, 50) + line1, {},
                {0xC8, 0xCB, 0xC8},
                literals(1, 200) + Bytes{0xFD, 0xFA, 0x00} + literals(1, 200) + literals(51, 250));
    const Bytes file = encodeToBytes(image);
    ASSERT_EQ(file.size(), expected.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 12),
              (Bytes{0x52, 0x4C, 0x02, 0x00, 0xC8, 0x00, 0x03, 0x00, 0xC3, 0x01, 0x03, 0x00}));
    EXPECT_EQ(file, expected);
}

std::vector<std::int32_t> keysFrom(std::int32_t first, std::int32_t last) {
    std::vector<std::int32_t> keys;
    for (std::int32_t c = first; c <= last; ++c) keys.push_back(c);
    return keys;
}

std::vector<Palette> linePalettes(const std::vector<std::vector<std::int32_t>>& lines) {
    std::vector<Palette> pals;
    for (const auto& keys : lines) pals.push_back(Palette{keys, 1, 0});
    return pals;
}

TEST(MergePalettes, UnionUpTo251KeysMerges) {
    // 200 keys and 101 keys of which 51 are new: a union of 251.
    std::vector<Palette> pals = linePalettes({keysFrom(0, 199), keysFrom(150, 250)});
    EXPECT_EQ(mergePalettes(pals), (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(pals[0].palette, keysFrom(0, 250));
    EXPECT_EQ(pals[0].nUseCount, 2);
    EXPECT_EQ(pals[1].nUseCount, 0);

    // One more new key makes 252: too many.
    pals = linePalettes({keysFrom(0, 199), keysFrom(150, 251)});
    EXPECT_EQ(mergePalettes(pals), (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(pals[0].palette, keysFrom(0, 199));
    EXPECT_EQ(pals[0].nUseCount, 1);
    EXPECT_EQ(pals[1].nUseCount, 1);
}

// The merge as its rules read, slow and literal: the reference that the fast
// merge must match on every input.
std::vector<std::int32_t> mergeLiterally(std::vector<Palette>& pals) {
    const auto height = static_cast<std::int32_t>(pals.size());
    std::vector<std::int32_t> lineToPal(pals.size());
    std::iota(lineToPal.begin(), lineToPal.end(), 0);
    for (std::int32_t i = 0; i < height - 1; ++i) {
        if (pals[i].nUseCount == 0) continue;
        for (std::int32_t j = i + 1; j < height; ++j) {
            if (pals[j].nUseCount == 0) continue;
            const std::vector<std::int32_t>& a = pals[i].palette;
            const std::vector<std::int32_t>& b = pals[j].palette;
            // One walk counts the union, a second builds it.
            std::size_t num_col = 0;
            std::size_t ia = 0;
            std::size_t ib = 0;
            while (ia < a.size() || ib < b.size()) {
                ++num_col;
                if (ib == b.size() || (ia < a.size() && a[ia] < b[ib])) {
                    ++ia;
                } else if (ia == a.size() || b[ib] < a[ia]) {
                    ++ib;
                } else {
                    ++ia;
                    ++ib;
                }
            }
            if (num_col >= 252) continue;
            std::vector<std::int32_t> result;
            std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(result));
            EXPECT_EQ(result.size(), num_col);
            pals[i].palette = result;
            pals[i].nUseCount += pals[j].nUseCount;
            pals[j].nUseCount = 0;
            for (std::int32_t& p : lineToPal) {
                if (p == j) p = i;
            }
        }
    }
    return lineToPal;
}

std::size_t tableSize(const std::vector<Palette>& pals) {
    std::size_t size = 1;
    for (const Palette& pal : pals) {
        if (pal.nUseCount != 0) size += pal.palette.size();
    }
    return size;
}

// Random line palettes of minSize to 251 keys (often fewer than 40 when
// minSize is 0), with copies of earlier lines now and then. Line y draws its
// keys from `window` keys starting at y * shift: a small window makes unions
// that often fit, a shift keeps distant lines apart.
std::vector<Palette> randomPalettes(ImageMaker& maker, std::size_t height, std::int32_t window,
                                    std::int32_t shift, std::uint32_t minSize) {
    std::vector<std::int32_t> all(static_cast<std::size_t>(window));
    std::vector<std::vector<std::int32_t>> lines;
    for (std::size_t y = 0; y < height; ++y) {
        if (y > 0 && maker.below(5) == 0) {
            lines.push_back(lines[maker.below(static_cast<std::uint32_t>(y))]);
            continue;
        }
        std::iota(all.begin(), all.end(), static_cast<std::int32_t>(y) * shift);
        const std::uint32_t limit = minSize == 0 && maker.below(2) == 0 ? 40 : 252;
        std::vector<std::int32_t> keys;
        std::sample(all.begin(), all.end(), std::back_inserter(keys),
                    minSize + maker.below(limit - minSize), maker.rng());
        lines.push_back(keys);
    }
    return linePalettes(lines);
}

void expectSameMerge(std::vector<Palette> pals) {
    std::vector<Palette> reference = pals;
    const std::vector<std::int32_t> expected = mergeLiterally(reference);
    const std::optional<std::vector<std::int32_t>> lineToPal = mergePalettes(pals);
    // Giving up early is right only for a table that would be too large.
    if (!lineToPal) {
        EXPECT_GT(tableSize(reference), 65535u);
        return;
    }
    EXPECT_EQ(*lineToPal, expected);
    for (std::size_t k = 0; k < pals.size(); ++k) {
        EXPECT_EQ(pals[k].palette, reference[k].palette) << k;
        EXPECT_EQ(pals[k].nUseCount, reference[k].nUseCount) << k;
    }
}

TEST(MergePalettes, MatchesTheLiteralMerge) {
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const std::size_t height = maker.below(50);
        const auto window = static_cast<std::int32_t>(1 + maker.below(600));
        expectSameMerge(randomPalettes(maker, height, window, 0, 0));
    }
    // Large tables: many merges, and nearly none with a table far too large.
    ImageMaker maker(1);
    expectSameMerge(randomPalettes(maker, 400, 2000, 10, 0));
    std::vector<Palette> pals = randomPalettes(maker, 400, 600, 120, 230);
    std::vector<Palette> reference = pals;
    mergeLiterally(reference);
    EXPECT_GT(tableSize(reference), 65535u);
    EXPECT_EQ(mergePalettes(pals), std::nullopt);
}

TEST(EncodeMultipal, LineOf252KeysFailsAndWritesNothing) {
    // 251 keys on one line fit one palette.
    Bytes file = encodeToBytes(makeImage({pairsOf(colorsFrom(1, 251))}, false));
    ASSERT_GE(file.size(), 12u);
    EXPECT_EQ(file[8], 0xFC);
    EXPECT_EQ(file[9], 0x00);

    TempDir dir;
    const std::string path = dir.file("out.rle");
    writeFile(path, {1, 2, 3});
    const Image image =
        makeImage({pairsOf(colorsFrom(1, 252)), pairsOf(colorsFrom(1000, 252))}, false);
    const Encoded done = encode(image, path);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, 252);
    EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"out.rle"}));
}

TEST(EncodeMultipal, TransparentLinesUseTheFirstPaletteWithoutSwitch) {
    const std::vector<std::uint16_t> line0 = colorsFrom(0x0100, 200);
    const std::vector<std::uint16_t> line1 = colorsFrom(0x2000, 200);
    const Image image =
        makeImage({pairsOf(line0), pairsOf(line1), std::vector<Pair>(200, Pair{COLOR_KEY})}, false);
    EXPECT_EQ(
        encodeToBytes(image),
        rleFile(0x02, 200, 3, std::vector<std::uint16_t>{COLOR_KEY} + line0 + line1, {},
                {0xC8, 0xCB, 0x02},
                literals(1, 200) + Bytes{0xFD, 0xC8, 0x00} + literals(1, 200) + Bytes{0xFF, 0xC8}));
}

// Lines 1 and 2 hold the same keys in different orders: one palette, stored
// once, and each of its lines starts with the switch code, counted in its length.
TEST(EncodeMultipal, LinesWithOneKeySetShareAPaletteAndEachSwitches) {
    const std::vector<std::uint16_t> line0 = colorsFrom(0x0100, 200);
    const std::vector<std::uint16_t> line1 = colorsFrom(0x2000, 200);
    std::vector<Pair> line2 = pairsOf(line1);
    std::reverse(line2.begin(), line2.end());
    const Image image = makeImage({pairsOf(line0), pairsOf(line1), line2}, false);
    Bytes reversed = literals(1, 200);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(encodeToBytes(image),
              rleFile(0x02, 200, 3, std::vector<std::uint16_t>{COLOR_KEY} + line0 + line1, {},
                      {0xC8, 0xCB, 0xCB},
                      literals(1, 200) + Bytes{0xFD, 0xC8, 0x00} + literals(1, 200) +
                          Bytes{0xFD, 0xC8, 0x00} + reversed));
}

// The colour key with alpha 20 is an ordinary colour, one colour at two
// alphas takes two entries, and entry 0 has alpha 0.
TEST(EncodeMultipal, AlphaPlaneGivesFlags3AndTransparentEntryZero) {
    const Image image =
        makeImage({{{0x0001, 16}, {0x0001, 32}}, {{COLOR_KEY, 20}, {0x0001, 0}}}, true);
    EXPECT_EQ(encodeToBytes(image),
              (Bytes{0x52, 0x4C, 0x03, 0x00, 0x02, 0x00, 0x02, 0x00, 0x04, 0x00,
                     0x02, 0x00, 0x1F, 0xF8, 0x01, 0x00, 0x01, 0x00, 0x1F, 0xF8,  // palette
                     0x00, 0x10, 0x20, 0x14,                                      // alphas
                     0x02, 0x02,                                                  // lengths
                     0x01, 0x02, 0x03, 0x00}));
}

// Line y holds the colours 125y to 125y + 249: neighbours share half their
// colours, too few to merge, so every line adds 250 entries to the table.
Image overlappingLines(std::int32_t lines) {
    Image image = makeBlankImage(250, lines, false);
    for (std::int32_t y = 0; y < lines; ++y) {
        for (std::int32_t x = 0; x < 250; ++x) {
            setPixel(image, x, y, Pair{static_cast<std::uint16_t>(125 * y + x)});
        }
    }
    return image;
}

TEST(EncodeMultipal, TableBeyond65535EntriesIsRefused) {
    TempDir dir;
    const std::string path = dir.file("out.rle");
    writeFile(path, {1, 2, 3});
    // 300 lines: 37625 pairs, but a table of 75001 entries.
    std::int32_t nColors = 0;
    EXPECT_EQ(convertToRle(overlappingLines(300), path.c_str(), true, nColors),
              EncodeResult::TooManyColors);
    EXPECT_EQ(nColors, 37626);
    EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"out.rle"}));
}

TEST(EncodeMultipal, TableOfExactly65535EntriesIsWritten) {
    // 262 lines of 250 entries and a last line of 34 colours of its own:
    // 1 + 65500 + 34 entries; its palette's base is 65500.
    Image image = overlappingLines(263);
    for (std::int32_t x = 0; x < 250; ++x) setPixel(image, x, 262, Pair{COLOR_KEY});
    for (std::int32_t x = 0; x < 34; ++x) setPixel(image, x, 262, Pair{std::uint16_t(40000 + x)});
    TempDir dir;
    const std::string path = dir.file("out.rle");
    ASSERT_EQ(encode(image, path).result, EncodeResult::Written);
    const Bytes file = readFile(path);
    ASSERT_GE(file.size(), 12u + 39u);
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 10), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(Bytes(file.end() - 39, file.end()),
              (Bytes{0xFD, 0xDC, 0xFF} + literals(1, 34) + Bytes{0xFF, 0xD8}));

    // One colour more needs entry 65535.
    setPixel(image, 34, 262, Pair{40034});
    const Encoded done = encode(image, path);
    EXPECT_EQ(done.result, EncodeResult::TooManyColors);
    EXPECT_EQ(done.nColors, UNTOUCHED);
    EXPECT_EQ(readFile(path), file);
}

// With its switch code, a line of 65533 literal codes would need a length
// entry beyond 16 bits; 65532 just fit.
TEST(EncodeMultipal, LineLongerThan65535BytesIsRefused) {
    const auto twoPalettes = [](std::int32_t width) {
        Image image = makeBlankImage(width, 2, false);
        for (std::int32_t x = 0; x < width; ++x) {
            setPixel(image, x, 0, Pair{std::uint16_t(1 + x % 200)});
            setPixel(image, x, 1, Pair{std::uint16_t(1001 + x % 200)});
        }
        return image;
    };
    TempDir dir;
    const std::string path = dir.file("out.rle");
    const Encoded done = encode(twoPalettes(65533), path);
    EXPECT_EQ(done.result, EncodeResult::TooLarge);
    EXPECT_TRUE(listFolder(dir.path()).empty());

    ASSERT_EQ(encode(twoPalettes(65532), path).result, EncodeResult::Written);
    const Bytes file = readFile(path);
    const std::size_t lengths = 12 + 401 * 2;
    ASSERT_GE(file.size(), lengths + 6);
    EXPECT_EQ(Bytes(file.begin() + lengths, file.begin() + lengths + 6),
              (Bytes{0xFF, 0xFF, 0xFC, 0xFF, 0xFF, 0xFF}));
}

TEST(EncodeMultipal, RandomImagesSurviveTheRoundTrip) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const bool bAlpha = seed % 2 == 0;
        const std::int32_t width = 1 + static_cast<std::int32_t>(maker.below(300));
        const std::int32_t height = 1 + static_cast<std::int32_t>(maker.below(60));
        const std::vector<Pair> pool = maker.randomPairs(200 + maker.below(800), bAlpha);
        Image image = makeBlankImage(width, height, bAlpha);
        for (std::int32_t y = 0; y < height; ++y) {
            const std::uint32_t most = std::min<std::uint32_t>(251, width);
            maker.fillLine(image, y, maker.pick(pool, maker.below(most + 1)), maker.below(5));
        }
        TempDir dir;
        const std::string path = dir.file("out.rle");
        ASSERT_EQ(encode(image, path).result, EncodeResult::Written);
        ErrorText errorText{};
        const std::unique_ptr<Image> loaded = loadImage(path.c_str(), errorText);
        ASSERT_NE(loaded, nullptr) << errorText.data();
        EXPECT_EQ(loaded->flags & 3u, bAlpha ? 3u : 2u);
        EXPECT_EQ(countVisibleDifferences(image, decodeRleImage(*loaded)), 0u);
    }
}

// The whole encoding as its rules read: line palettes of the line's keys,
// the literal merge, the table laid out palette after palette, and every
// pixel's value found by a linear search of its line's palette. The encoder
// under test finds values through the order of first occurrence instead.
struct Reference {
    EncodeResult result;
    std::int32_t nColors;
    Bytes file;
};

Reference encodeLiterally(const Image& image) {
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    const auto keyOf = [&image](std::size_t i) -> std::optional<std::int32_t> {
        const std::optional<Pair> pair = visiblePair(image, i);
        if (!pair) return std::nullopt;
        return std::int32_t{pair->color} * 32 + pair->alpha - 1;
    };
    std::vector<std::vector<std::int32_t>> lines;
    for (std::size_t y = 0; y < height; ++y) {
        std::set<std::int32_t> keys;
        for (std::size_t x = 0; x < width; ++x) {
            if (const auto c = keyOf(y * width + x)) keys.insert(*c);
        }
        if (keys.size() >= 252) return {EncodeResult::TooManyColors, 252, {}};
        lines.emplace_back(keys.begin(), keys.end());
    }
    std::vector<Palette> pals = linePalettes(lines);
    const std::vector<std::int32_t> lineToPal = mergeLiterally(pals);
    std::vector<std::uint16_t> colors{COLOR_KEY};
    Bytes alphas{0};
    for (Palette& pal : pals) {
        if (pal.nUseCount == 0) continue;
        pal.nPtr = static_cast<std::int32_t>(colors.size()) - 1;
        for (const std::int32_t c : pal.palette) {
            colors.push_back(static_cast<std::uint16_t>(c >> 5));
            alphas.push_back(static_cast<std::uint8_t>((c & 31) + 1));
        }
    }
    if (colors.size() > 65535) return {EncodeResult::TooManyColors, UNTOUCHED, {}};

    RleBuilder file;
    file.flags(image.hasAlpha() ? 3 : 2)
        .size(static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height))
        .palette(colors);
    if (image.hasAlpha()) file.alphas(alphas);
    for (std::size_t y = 0; y < height; ++y) {
        const Palette& pal = pals[static_cast<std::size_t>(lineToPal[y])];
        Bytes values;
        for (std::size_t x = 0; x < width; ++x) {
            const auto c = keyOf(y * width + x);
            std::size_t color = 0;
            while (c && pal.palette[color] != *c) ++color;
            values.push_back(c ? static_cast<std::uint8_t>(color + 1) : 0);
        }
        Bytes codes;
        if (pal.nPtr != 0) {
            codes = {0xFD, static_cast<std::uint8_t>(pal.nPtr & 0xFF),
                     static_cast<std::uint8_t>(pal.nPtr >> 8)};
        }
        codes = codes + codeLineLiterally(values);
        if (codes.size() > 65535) return {EncodeResult::TooLarge, UNTOUCHED, {}};
        file.line(codes);
    }
    return {EncodeResult::Written, UNTOUCHED, file.bytes()};
}

TEST(EncodeMultipal, MatchesTheLiteralEncodingByteForByte) {
    for (std::uint32_t seed = 1; seed <= 120; ++seed) {
        SCOPED_TRACE(seed);
        ImageMaker maker(seed);
        const bool bAlpha = seed % 2 == 0;
        const std::int32_t width = 1 + static_cast<std::int32_t>(maker.below(300));
        const std::int32_t height = 1 + static_cast<std::int32_t>(maker.below(60));
        const std::vector<Pair> pool = maker.randomPairs(1 + maker.below(1000), bAlpha);
        Image image = makeBlankImage(width, height, bAlpha);
        for (std::int32_t y = 0; y < height; ++y) {
            // Now and then a line of more pairs than a palette holds.
            const std::uint32_t most =
                std::min<std::uint32_t>(251, std::min<std::size_t>(pool.size(), width));
            if (pool.size() >= 260 && width >= 260 && maker.below(40) == 0) {
                maker.fillLine(image, y, maker.pick(pool, 252 + maker.below(9)), maker.below(5));
            } else if (maker.below(2) == 0) {
                maker.fillLine(image, y, maker.pick(pool, maker.below(most + 1)), maker.below(5));
            } else {
                maker.fillRuns(image, y, maker.pick(pool, maker.below(most + 1)),
                               1 + maker.below(40));
            }
        }
        const Reference expected = encodeLiterally(image);
        TempDir dir;
        const std::string path = dir.file("out.rle");
        const Encoded done = encode(image, path);
        EXPECT_EQ(done.result, expected.result);
        EXPECT_EQ(done.nColors, expected.nColors);
        if (expected.result == EncodeResult::Written) {
            EXPECT_EQ(readFile(path), expected.file);
        }
    }
}

// Without an alpha plane a colour keeps its number from line to line until
// 254 colours have one; the lines here run out of numbers halfway, at their
// start, with a full palette, or on their own, and each lies 251 or 252 keys
// wide, with the colours of one line in reverse order in the next.
TEST(EncodeMultipal, LinesBeyondOneTableOfNumbersMatchTheLiteralEncoding) {
    const auto reversed = [](std::vector<std::uint16_t> colors) {
        std::reverse(colors.begin(), colors.end());
        return colors;
    };
    const auto padded = [](std::vector<std::uint16_t> colors) {
        colors.resize(260, COLOR_KEY);
        return colors;
    };
    const std::vector<std::vector<std::vector<std::uint16_t>>> images = {
        {colorsFrom(0x0100, 200), colorsFrom(0x0200, 200), colorsFrom(0x0150, 251),
         reversed(colorsFrom(0x0150, 251)), colorsFrom(0x0100, 100)},
        {colorsFrom(0x1000, 251), colorsFrom(0x1001, 251), colorsFrom(0x2000, 251),
         reversed(colorsFrom(0x1000, 251))},
        {colorsFrom(0x1000, 254), colorsFrom(0x3000, 10)},
        {colorsFrom(0x1000, 150), colorsFrom(0x3000, 252)},
        {colorsFrom(0x1000, 150), colorsFrom(0x3000, 260)},
    };
    for (std::size_t n = 0; n < images.size(); ++n) {
        SCOPED_TRACE(n);
        std::vector<std::vector<Pair>> lines;
        for (const auto& line : images[n]) lines.push_back(pairsOf(padded(line)));
        const Image image = makeImage(lines, false);
        const Reference expected = encodeLiterally(image);
        TempDir dir;
        const std::string path = dir.file("out.rle");
        const Encoded done = encode(image, path);
        EXPECT_EQ(done.result, expected.result);
        if (expected.result == EncodeResult::Written) {
            EXPECT_EQ(readFile(path), expected.file);
        } else {
            EXPECT_EQ(done.nColors, 252);
        }
    }
}

}  // namespace
