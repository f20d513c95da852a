#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/draw.h>
#include <rle565/encode_single.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "formats/rle_reader.h"
#include "image_maker.h"
#include "rle_builder.h"

using namespace rle565;

namespace {

using Pixels = std::vector<std::uint16_t>;

// The RLE file the single-palette encoder makes of an image (the multi-palette
// one with bMultipal when it has more than 252 pairs).
Bytes encodeFile(const Image& image, bool bMultipal = false) {
    const TempDir dir;
    const std::string path = dir.file("sprite.rle");
    std::int32_t nColors = 0;
    EXPECT_EQ(convertToRle(image, path.c_str(), bMultipal, nColors), EncodeResult::Written);
    return readFile(path);
}

// A sprite of runs and literals, with transparent pixels among them.
Image makeSprite(std::uint32_t seed, std::int32_t width, std::int32_t height, bool bAlpha,
                 std::size_t nPairs) {
    ImageMaker maker(seed);
    Image image = makeBlankImage(width, height, bAlpha);
    const std::vector<Pair> pool = maker.randomPairs(nPairs, bAlpha);
    for (std::int32_t y = 0; y < height; ++y) {
        const std::size_t nLine =
            std::min<std::size_t>(pool.size(), static_cast<std::size_t>(width));
        if (y % 3 == 0) {
            maker.fillRuns(image, y, maker.pick(pool, nLine), 9);
        } else {
            maker.fillLine(image, y, maker.pick(pool, nLine), 3);
        }
    }
    return image;
}

// A frame of random colours and alphas, larger than the target inside it.
struct Frame {
    static constexpr std::int32_t WIDTH = 48;
    static constexpr std::int32_t HEIGHT = 40;
    Pixels pixels;
    Bytes alpha;

    explicit Frame(std::uint32_t seed) : pixels(WIDTH * HEIGHT), alpha(WIDTH * HEIGHT) {
        std::mt19937 random(seed);
        for (auto& p : pixels) p = static_cast<std::uint16_t>(random());
        for (auto& a : alpha) a = static_cast<std::uint8_t>(random() % 33);
    }
};

// The clip rectangle inside the frame: the target draws are clipped to.
constexpr std::int32_t CLIP_X = 7;
constexpr std::int32_t CLIP_Y = 5;
constexpr std::int32_t CLIP_WIDTH = 29;
constexpr std::int32_t CLIP_HEIGHT = 23;

std::uint16_t swapped(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }

// What a draw at (x, y) in the clip rectangle must leave in the frame, pixel
// by pixel from the source image by the drawing rule: visible pixels inside
// the clip are copied, with their alpha, or blended when the target keeps no
// alpha; everything else stays as it was.
void drawByHand(const Image& sprite, std::int32_t x, std::int32_t y, bool bTargetAlpha, bool bSwap,
                Frame& frame) {
    for (std::int32_t i = 0; i < sprite.height; ++i) {
        for (std::int32_t j = 0; j < sprite.width; ++j) {
            const std::int64_t u = std::int64_t{x} + j;
            const std::int64_t v = std::int64_t{y} + i;
            if (u < 0 || v < 0 || u >= CLIP_WIDTH || v >= CLIP_HEIGHT) continue;
            const auto pair = visiblePair(sprite, static_cast<std::size_t>(i * sprite.width + j));
            if (!pair) continue;
            const auto t = static_cast<std::size_t>((CLIP_Y + v) * Frame::WIDTH + CLIP_X + u);
            if (bTargetAlpha) {
                frame.pixels[t] = bSwap ? swapped(pair->color) : pair->color;
                frame.alpha[t] = pair->alpha;
            } else {
                const std::uint16_t d = bSwap ? swapped(frame.pixels[t]) : frame.pixels[t];
                const std::uint16_t mixed = blendRgb565(pair->color, d, pair->alpha);
                frame.pixels[t] = bSwap ? swapped(mixed) : mixed;
            }
        }
    }
}

rle565_target clipOf(Frame& frame, bool bTargetAlpha, bool bSwap) {
    const std::size_t at = CLIP_Y * Frame::WIDTH + CLIP_X;
    return {frame.pixels.data() + at,
            bTargetAlpha ? frame.alpha.data() + at : nullptr,
            Frame::WIDTH,
            CLIP_WIDTH,
            CLIP_HEIGHT,
            bSwap ? RLE565_TARGET_BYTESWAP : 0u};
}

// Draws the sprite at every position from wholly left of and above the clip
// to wholly right of and below it, onto a clip rectangle of a larger frame,
// for all four kinds of target, and compares every pixel of the frame (so the
// pixels around the clip serve as guards) with the drawing by hand.
void expectClippedDraws(const Image& source, const Bytes& file) {
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    ASSERT_EQ(sprite.width, source.width);
    ASSERT_EQ(sprite.height, source.height);
    const Frame blank(source.width * 7 + source.height);
    for (int kind = 0; kind < 4; ++kind) {
        const bool bTargetAlpha = (kind & 1) != 0;
        const bool bSwap = (kind & 2) != 0;
        for (std::int32_t y = -source.height - 1; y <= CLIP_HEIGHT + 1; ++y) {
            for (std::int32_t x = -source.width - 1; x <= CLIP_WIDTH + 1; ++x) {
                Frame drawn = blank;
                Frame expected = blank;
                const rle565_target target = clipOf(drawn, bTargetAlpha, bSwap);
                rle565_draw(&sprite, &target, x, y);
                drawByHand(source, x, y, bTargetAlpha, bSwap, expected);
                ASSERT_EQ(drawn.pixels, expected.pixels)
                    << "at " << x << "," << y << " kind " << kind;
                ASSERT_EQ(drawn.alpha, expected.alpha)
                    << "at " << x << "," << y << " kind " << kind;
            }
        }
    }
}

TEST(Draw, ClipsColorKeySpritesOnEveryEdge) {
    const Image source = makeSprite(1, 13, 9, false, 40);
    expectClippedDraws(source, encodeFile(source));
}

TEST(Draw, ClipsAlphaSpritesOnEveryEdge) {
    const Image source = makeSprite(2, 11, 10, true, 60);
    expectClippedDraws(source, encodeFile(source));
}

// Lines that select palettes of their own with switch codes, from bases
// beyond a literal's reach; lines clipped away at the top still switch.
TEST(Draw, ClipsMultipaletteSpritesOnEveryEdge) {
    for (const bool bAlpha : {false, true}) {
        const Image source = makeSprite(3, 40, 12, bAlpha, 2000);
        const Bytes file = encodeFile(source, true);
        ASSERT_EQ(file.at(2) & RLE_MULTIPAL, RLE_MULTIPAL);
        expectClippedDraws(source, file);
    }
}

// Stretches of literals of every alpha, skips among them, of lengths around
// the eight pixels that alpha sprites are blended by at a time and the four
// that colour-key sprites are stored by, and translucent and opaque runs
// around those lengths too, each drawn at every place across the clip's
// edges onto every kind of target, with alpha and without.
TEST(Draw, PaintsStretchesAndRunsOfEveryLength) {
    const std::vector<std::uint16_t> colors = {0xF81F, 0x1234, 0xFFFF, 0x07E0,
                                               0xF800, 0x001F, 0x8410};
    const std::vector<std::uint8_t> alphas = {0, 32, 16, 1, 31, 12, 32};
    // A segment: a literal code (entry, or 0 for a skip), or a run of
    // `count` pixels of an entry.
    struct Segment {
        std::uint8_t entry;
        std::uint8_t count;  // 0: a literal code
    };
    const auto lit = [](std::initializer_list<std::uint8_t> entries) {
        std::vector<Segment> segments;
        for (const std::uint8_t e : entries) segments.push_back({e, 0});
        return segments;
    };
    const auto cat = [](std::initializer_list<std::vector<Segment>> parts) {
        std::vector<Segment> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<std::vector<Segment>> lines = {
        cat({lit({1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 1, 1, 1, 0, 0, 2, 3, 4, 5, 6}),
             {{5, 11}, {1, 9}},
             lit({2, 0, 3, 4, 5, 6})}),
        cat({lit({5, 5, 5, 5, 5, 5, 5, 5}),
             {{0, 5}},
             lit({4, 4, 0, 4, 4}),
             {{2, 4}},
             lit({3, 3, 3, 3, 3, 3}),
             {{1, 8}},
             lit({6, 6, 6, 0, 6, 6, 6}),
             {{2, 6}}}),
        cat({lit({3, 2, 5, 4, 0, 6, 1, 2, 3, 5, 4, 2, 1, 6, 5, 3, 2}),
             {{6, 4}, {3, 7}, {5, 8}},
             {{2, 13}}}),
    };
    for (const bool bAlpha : {true, false}) {
        RleBuilder builder;
        builder.flags(bAlpha ? RLE_ALPHA : 0).size(49, 3).palette(colors);
        if (bAlpha) builder.alphas(alphas);
        std::vector<std::vector<Pair>> pixels;
        for (const auto& line : lines) {
            Bytes codes;
            std::vector<Pair> row;
            for (const Segment& segment : line) {
                const Pair pair{colors[segment.entry], alphas[segment.entry]};
                if (segment.count == 0) {
                    codes.push_back(segment.entry);
                    row.push_back(pair);
                } else if (segment.entry == 0) {
                    codes.insert(codes.end(), {CODE_SKIP_RUN, segment.count});
                    row.insert(row.end(), segment.count, pair);
                } else {
                    codes.insert(codes.end(), {CODE_RUN, segment.entry, segment.count});
                    row.insert(row.end(), segment.count, pair);
                }
            }
            ASSERT_EQ(row.size(), 49u);
            builder.line(codes);
            pixels.push_back(row);
        }
        expectClippedDraws(makeImage(pixels, bAlpha), builder.bytes());
    }
}

// Lines of more than 254 bytes take long length entries, which lines above
// the target are stepped over by.
TEST(Draw, StepsOverLongLinesAboveTheTarget) {
    const Image source = makeNoisyImage(300, 5, 200, 4);
    const Bytes file = encodeFile(source);
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    ASSERT_EQ(sprite.lengths[0], 0xFF);
    for (std::int32_t y = -5; y <= 2; ++y) {
        Pixels frame(40 * 3, 0);
        const rle565_target target{frame.data(), nullptr, 40, 40, 3, 0};
        rle565_draw(&sprite, &target, -250, y);
        for (std::int32_t v = 0; v < 3; ++v) {
            for (std::int32_t u = 0; u < 40; ++u) {
                const std::int32_t line = v - y;
                const std::uint16_t want =
                    line >= 0 && line < 5 && u < 50
                        ? source.pixels[static_cast<std::size_t>(line * 300 + 250 + u)]
                        : 0;
                ASSERT_EQ(frame[static_cast<std::size_t>(v * 40 + u)], want) << u << "," << v;
            }
        }
    }
}

// Positions far outside, sizes of nothing and null pointers draw nothing.
TEST(Draw, DrawsNothingWhereThereIsNothingToDraw) {
    const Image source = makeSprite(5, 6, 4, false, 5);
    const Bytes file = encodeFile(source);
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    Pixels frame(16 * 8, 0x1234);
    const Pixels untouched = frame;
    const rle565_target target{frame.data(), nullptr, 16, 16, 8, 0};
    for (const std::int32_t x : {INT32_MIN, -7, -6, 16, 17, INT32_MAX}) {
        for (const std::int32_t y : {INT32_MIN, -5, -4, 8, 9, INT32_MAX}) {
            rle565_draw(&sprite, &target, x, y);
            rle565_draw(&sprite, &target, x, 2);
            rle565_draw(&sprite, &target, 2, y);
        }
    }
    EXPECT_EQ(frame, untouched);
    for (const rle565_target empty : {rle565_target{nullptr, nullptr, 16, 16, 8, 0},
                                      rle565_target{frame.data(), nullptr, 16, 0, 8, 0},
                                      rle565_target{frame.data(), nullptr, 16, 16, -1, 0}}) {
        rle565_draw(&sprite, &empty, 0, 0);
    }
    rle565_draw(nullptr, &target, 0, 0);
    rle565_draw(&sprite, nullptr, 0, 0);
    EXPECT_EQ(frame, untouched);
}

// blitImage draws through the runtime: the same pixels wherever the image lies
// inside the target.
TEST(Draw, GivesBlitImagesPixels) {
    for (const bool bAlpha : {false, true}) {
        const Image source = makeSprite(6, 12, 7, bAlpha, 30);
        const Bytes file = encodeFile(source);
        ErrorText errorText{};
        const auto image = loadRleBytes(file, errorText);
        ASSERT_TRUE(image);
        rle565_sprite sprite;
        ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
        for (const bool bTargetAlpha : {false, true}) {
            Frame blitted(9);
            Frame drawn(9);
            blitImage(*image, 3, 4,
                      Surface{blitted.pixels,
                              bTargetAlpha ? std::span(blitted.alpha) : std::span<std::uint8_t>(),
                              Frame::WIDTH});
            const rle565_target target{
                drawn.pixels.data(), bTargetAlpha ? drawn.alpha.data() : nullptr,
                Frame::WIDTH,        Frame::WIDTH,
                Frame::HEIGHT,       0};
            rle565_draw(&sprite, &target, 3, 4);
            EXPECT_EQ(drawn.pixels, blitted.pixels);
            EXPECT_EQ(drawn.alpha, blitted.alpha);
        }
    }
}

// Entry 0 drawn by a run (no writer does it) has the colour of entry 0; a
// palette alpha above 32 counts as opaque.
TEST(Draw, RunsMayDrawEntryZero) {
    const Bytes file = RleBuilder()
                           .flags(RLE_ALPHA)
                           .size(4, 1)
                           .palette({0x1111, 0x2222})
                           .alphas({40, 16})
                           .line({0xFE, 0x00, 0x02, 0x01, 0x00})
                           .bytes();
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    Pixels frame(4, 0);
    const rle565_target target{frame.data(), nullptr, 4, 4, 1, 0};
    rle565_draw(&sprite, &target, 0, 0);
    EXPECT_EQ(frame, (Pixels{0x1111, 0x1111, blendRgb565(0x2222, 0, 16), 0}));
}

// A switch code sets the base for the rest of its line only.
TEST(Draw, SwitchHoldsForItsLineOnly) {
    const Bytes file = RleBuilder()
                           .flags(RLE_MULTIPAL)
                           .size(3, 3)
                           .palette({0xF81F, 0x1111, 0x2222, 0x3333})
                           .line({1, 0xFD, 0x01, 0x00, 1, 2})
                           .line({1, 2, 3})
                           .line({0xFD, 0x02, 0x00, 0xFE, 0x01, 0x03})
                           .bytes();
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    Pixels frame(9, 0);
    const rle565_target target{frame.data(), nullptr, 3, 3, 3, 0};
    rle565_draw(&sprite, &target, 0, 0);
    EXPECT_EQ(frame, (Pixels{0x1111, 0x2222, 0x3333,  //
                             0x1111, 0x2222, 0x3333,  //
                             0x3333, 0x3333, 0x3333}));
}

// Codes after a line has covered its width are never read by the loader's
// rules, so they draw nothing either: not past the sprite's right edge.
TEST(Draw, IgnoresCodesAfterTheWidth) {
    const Bytes file = RleBuilder()
                           .size(3, 2)
                           .palette({0xF81F, 0x1111, 0x2222})
                           .line({0x01, 0x02, 0x01, 0x02, 0x02, 0xFE, 0x01, 0x05})
                           .line({0xFE, 0x02, 0x03, 0x01, 0xFF, 0x09})
                           .bytes();
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    Pixels frame(8 * 2, 0x7777);
    const rle565_target target{frame.data(), nullptr, 8, 8, 2, 0};
    rle565_draw(&sprite, &target, 1, 0);
    const Pixels want = {0x7777, 0x1111, 0x2222, 0x1111, 0x7777, 0x7777, 0x7777, 0x7777,
                         0x7777, 0x2222, 0x2222, 0x2222, 0x7777, 0x7777, 0x7777, 0x7777};
    EXPECT_EQ(frame, want);
}

// Bytes changed after the sprite opened (flash written again, a caller's
// fault) make an unsound view; every byte after the header set to each kind
// of code in turn, the draws still paint nothing outside the clip and, under
// the address sanitizer, read nothing outside the bytes.
TEST(Draw, StaysInsideWithBytesChangedAfterOpening) {
    for (const bool bAlpha : {false, true}) {
        const Image source = makeSprite(8, 12, 6, bAlpha, 20);
        const Bytes file = encodeFile(source);
        for (std::size_t at = RLE_HEADER_SIZE; at < file.size(); ++at) {
            for (const std::uint8_t value : {0x00, 0x05, 0xFC, 0xFD, 0xFE, 0xFF}) {
                Bytes changed = file;
                rle565_sprite sprite;
                ASSERT_EQ(rle565_sprite_open(&sprite, changed.data(), changed.size()), RLE565_OK);
                changed[at] = value;
                for (const bool bTargetAlpha : {false, true}) {
                    for (const std::int32_t x : {-5, 0, 20}) {
                        const Frame blank(static_cast<std::uint32_t>(at));
                        Frame drawn = blank;
                        const rle565_target target = clipOf(drawn, bTargetAlpha, false);
                        rle565_draw(&sprite, &target, x, 2);
                        for (std::int32_t v = 0; v < Frame::HEIGHT; ++v) {
                            for (std::int32_t u = 0; u < Frame::WIDTH; ++u) {
                                const bool bInside = u >= CLIP_X && u < CLIP_X + CLIP_WIDTH &&
                                                     v >= CLIP_Y && v < CLIP_Y + CLIP_HEIGHT;
                                if (bInside) continue;
                                const auto i = static_cast<std::size_t>(v * Frame::WIDTH + u);
                                ASSERT_EQ(drawn.pixels[i], blank.pixels[i]) << at << " " << x;
                                ASSERT_EQ(drawn.alpha[i], blank.alpha[i]) << at << " " << x;
                            }
                        }
                    }
                }
            }
        }
    }
}

// One file per fault the converter's load finds, each with the fault on the
// line given, and the loader's verdict beside the runtime's.
struct FaultCase {
    const char* name;
    Bytes file;
    int error;
    std::int32_t line;
};

std::vector<FaultCase> faultCases() {
    const auto sound = [] { return RleBuilder().size(4, 2).palette({0xF81F, 0x0001, 0x0002}); };
    return {
        {"sound", sound().line({0xFE, 0x01, 0x04}).line({1, 2, 0, 1}).bytes(), RLE565_OK, -1},
        {"short header", Bytes{'R', 'L', 0, 0, 4, 0, 1, 0, 1, 0, 1}, RLE565_ERR_HEADER, -1},
        {"palette", RleBuilder().size(1, 1).entryCount(9).palette({0xF81F}).bytes(),
         RLE565_ERR_PALETTE, -1},
        {"alpha palette",
         RleBuilder().flags(RLE_ALPHA).size(1, 0).palette({0xF81F, 1, 2}).alphas({32}).bytes(),
         RLE565_ERR_PALETTE, -1},
        {"length table", sound().lineLengths({3}).bytes(), RLE565_ERR_LENGTH_TABLE, 1},
        {"long entry cut", sound().lineLengths({3, 0xFF, 0x00}).bytes(), RLE565_ERR_LENGTH_TABLE,
         1},
        {"line block", sound().lineLengths({3, 5}).line({0xFE, 0x01, 0x04}).bytes(),
         RLE565_ERR_LINE_BLOCK, 1},
        {"line length", sound().line({0xFE, 0x01, 0x04}).line({1, 2, 0xFF}).bytes(),
         RLE565_ERR_LINE_LENGTH, 1},
        {"switch cut", sound().line({0xFD, 0x00}).line({1, 1, 1, 1}).bytes(),
         RLE565_ERR_LINE_LENGTH, 0},
        {"overshoot", sound().line({1, 0xFE, 0x01, 0x04}).line({1, 1, 1, 1}).bytes(),
         RLE565_ERR_OVERSHOOT, 0},
        {"skip overshoot", sound().line({1, 1, 1, 1}).line({0xFF, 0x05}).bytes(),
         RLE565_ERR_OVERSHOOT, 1},
        {"literal entry", sound().line({1, 3, 1, 1}).line({1, 1, 1, 1}).bytes(), RLE565_ERR_ENTRY,
         0},
        {"run entry", sound().line({1, 1, 1, 1}).line({0xFE, 0x03, 0x04}).bytes(), RLE565_ERR_ENTRY,
         1},
        {"switched entry", sound().line({0xFD, 0x01, 0x00, 1, 2, 1, 1}).line({1, 1, 1, 1}).bytes(),
         RLE565_ERR_ENTRY, 0},
        {"too few", sound().line({1, 1, 1}).line({1, 1, 1, 1}).bytes(), RLE565_ERR_TOO_FEW, 0},
        // The line-length table is read whole before any line's codes.
        {"table before codes", sound().lineLengths({1, 0xFF}).line({0xFE}).bytes(),
         RLE565_ERR_LENGTH_TABLE, 1},
    };
}

TEST(SpriteOpen, FindsTheLoadersFirstFault) {
    for (const FaultCase& c : faultCases()) {
        rle565_sprite sprite;
        EXPECT_EQ(rle565_sprite_open(&sprite, c.file.data(), c.file.size()), c.error) << c.name;
        EXPECT_EQ(sprite.fault_line, c.line) << c.name;
        ErrorText errorText{};
        const auto image = loadRleBytes(c.file, errorText);
        EXPECT_EQ(image != nullptr, c.error == RLE565_OK) << c.name;
        if (c.error == RLE565_OK || c.error == RLE565_ERR_HEADER) continue;
        EXPECT_STREQ(errorText.data(), "RLE data corrupt") << c.name;
        Image record = recordFromBytes(c.file);
        const auto fault = indexRleLines(record);
        ASSERT_TRUE(fault) << c.name;
        EXPECT_STREQ(fault->what, rle565_error_text(c.error)) << c.name;
        EXPECT_EQ(fault->line, c.line) << c.name;
    }
}

// Damaged copies of sound files: the runtime refuses exactly what the loader
// refuses, with the fault and line the loader's index names.
TEST(SpriteOpen, AgreesWithTheLoaderOnDamagedFiles) {
    std::vector<Bytes> files;
    files.push_back(encodeFile(makeSprite(7, 9, 6, false, 12)));
    files.push_back(encodeFile(makeSprite(8, 9, 6, true, 12)));
    files.push_back(encodeFile(makeSprite(9, 25, 5, true, 400), true));
    std::mt19937 random(10);
    for (int round = 0; round < 6000; ++round) {
        Bytes file = files[round % files.size()];
        const int nChanges = 1 + static_cast<int>(random() % 3);
        for (int k = 0; k < nChanges; ++k) {
            const std::size_t at = 2 + random() % (file.size() - 2);
            file[at] = random() % 2 ? static_cast<std::uint8_t>(random()) : file[at] ^ 1;
        }
        if (random() % 8 == 0) file.resize(12 + random() % (file.size() - 12));
        rle565_sprite sprite;
        const int error = rle565_sprite_open(&sprite, file.data(), file.size());
        Image record = recordFromBytes(file);
        const auto fault = indexRleLines(record);
        ASSERT_EQ(error == RLE565_OK, !fault) << round;
        if (!fault) continue;
        ASSERT_STREQ(rle565_error_text(error), fault->what) << round;
        ASSERT_EQ(sprite.fault_line, fault->line) << round;
    }
}

TEST(SpriteOpen, RefusesWhatIsNoRleFile) {
    rle565_sprite sprite;
    const Bytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(rle565_sprite_open(&sprite, bmp.data(), bmp.size()), RLE565_ERR_HEADER);
    EXPECT_EQ(rle565_sprite_open(&sprite, nullptr, 12), RLE565_ERR_ARGUMENT);
    EXPECT_EQ(rle565_sprite_open(&sprite, nullptr, 0), RLE565_ERR_HEADER);
    EXPECT_EQ(rle565_sprite_open(nullptr, bmp.data(), bmp.size()), RLE565_ERR_ARGUMENT);
    // A header alone is an image without lines, which draws nothing.
    const Bytes empty = {'R', 'L', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(rle565_sprite_open(&sprite, empty.data(), empty.size()), RLE565_OK);
    std::uint16_t pixel = 7;
    const rle565_target target{&pixel, nullptr, 1, 1, 1, 0};
    rle565_draw(&sprite, &target, 0, 0);
    EXPECT_EQ(pixel, 7);
    for (int e = RLE565_OK; e <= RLE565_ERR_TOO_LARGE + 1; ++e)
        EXPECT_GT(std::strlen(rle565_error_text(e)), 0u);
}

// Bytes changed after opening can make a line reach past the sprite's bytes:
// the draw stops there, even where the memory after the sprite can be read
// and holds codes that would paint. Line 0 grows over line 1, which then
// lies wholly in the bytes after the sprite.
TEST(Draw, StopsAtALinePastTheBytes) {
    const Bytes file = RleBuilder()
                           .size(4, 2)
                           .palette({0xF81F, 0x1111, 0x2222})
                           .line({0x01, 0x01, 0x01, 0x01})
                           .line({0x00, 0x00, 0x00, 0x00})
                           .bytes();
    const std::size_t lengths = RLE_HEADER_SIZE + 3 * 2;
    ASSERT_EQ(file[lengths], 4);
    Bytes memory = file;
    memory.insert(memory.end(), {0x02, 0x01, 0x02, 0x01, 0xFE, 0x02, 0x04});
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, memory.data(), file.size()), RLE565_OK);
    memory[lengths] = 8;
    // Line 0 drawn, then stepped over above the target.
    Pixels frame(4 * 2, 0x7777);
    const rle565_target target{frame.data(), nullptr, 4, 4, 2, 0};
    rle565_draw(&sprite, &target, 0, 0);
    EXPECT_EQ(frame, (Pixels{0x1111, 0x1111, 0x1111, 0x1111, 0x7777, 0x7777, 0x7777, 0x7777}));
    frame.assign(frame.size(), 0x7777);
    rle565_draw(&sprite, &target, 0, -1);
    EXPECT_EQ(frame, Pixels(4 * 2, 0x7777));
}

// Bytes that end where readable memory ends: the page after them cannot be
// read, so a read past them stops the test instead of passing unseen.
class GuardedBytes {
public:
    explicit GuardedBytes(const Bytes& bytes)
        : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        void* map =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return;
        map_ = static_cast<std::uint8_t*>(map);
        if (bytes.size() > page_ || mprotect(map_ + page_, page_, PROT_NONE) != 0) return;
        data_ = map_ + page_ - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() {
        if (map_) munmap(map_, 2 * page_);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const std::uint8_t* data() const { return data_; }

private:
    std::size_t page_;
    std::uint8_t* map_ = nullptr;
    std::uint8_t* data_ = nullptr;  // nullptr: the pages could not be set up
};

// A size of more than 4 GiB after the header is refused before anything past
// the header is read: only the header is there, and it claims a palette
// and lines.
TEST(SpriteOpen, RefusesMoreThanFourGigabytes) {
    if constexpr (sizeof(std::size_t) < 8) GTEST_SKIP() << "sizes cannot pass 4 GiB";
    const Bytes header = RleBuilder().size(4, 2).entryCount(3).bytes();
    ASSERT_EQ(header.size(), RLE_HEADER_SIZE);
    const GuardedBytes bytes(header);
    ASSERT_NE(bytes.data(), nullptr);
    const auto past = static_cast<std::size_t>(std::uint64_t{UINT32_MAX} + 1);
    rle565_sprite sprite;
    EXPECT_EQ(rle565_sprite_open(&sprite, bytes.data(), RLE_HEADER_SIZE + past),
              RLE565_ERR_TOO_LARGE);
    EXPECT_EQ(rle565_sprite_open(&sprite, bytes.data(), SIZE_MAX), RLE565_ERR_TOO_LARGE);
    EXPECT_EQ(sprite.fault_line, -1);
    EXPECT_EQ(sprite.codes, nullptr);
}

}  // namespace
