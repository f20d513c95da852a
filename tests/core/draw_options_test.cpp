// rle565_draw_ex's options (flips, colours in place of the palette's,
// opacity, prepared palettes) and frames drawn in bands, each against pixels
// worked out here from the source image.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/draw.h>
#include <rle565/encode_single.h>

#include <random>
#include <string>

#include "image_maker.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

using Pixels = std::vector<std::uint16_t>;

Bytes encodeFile(const Image& image, bool bMultipal = false) {
    const TempDir dir;
    const std::string path = dir.file("sprite.rle");
    std::int32_t nColors = 0;
    EXPECT_EQ(convertToRle(image, path.c_str(), bMultipal, nColors), EncodeResult::Written);
    return readFile(path);
}

// Runs, literals and transparent pixels, from a pool of nPairs pairs.
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

std::uint16_t swapped(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }

// Another colour for each colour, the same for every entry that holds it.
std::uint16_t recolored(std::uint16_t c) { return static_cast<std::uint16_t>(c * 40503u + 7u); }

// A frame with guard pixels around the WIDTH x HEIGHT target.
struct Frame {
    static constexpr std::int32_t WIDTH = 26;
    static constexpr std::int32_t HEIGHT = 19;
    static constexpr std::int32_t GUARD = 3;
    static constexpr std::int32_t STRIDE = WIDTH + 2 * GUARD;
    static constexpr std::int32_t ROWS = HEIGHT + 2 * GUARD;
    Pixels pixels;
    Bytes alpha;

    explicit Frame(std::uint32_t seed) : pixels(STRIDE * ROWS), alpha(STRIDE * ROWS) {
        std::mt19937 random(seed);
        for (auto& p : pixels) p = static_cast<std::uint16_t>(random());
        for (auto& a : alpha) a = static_cast<std::uint8_t>(random() % 33);
    }

    std::size_t at(std::int64_t u, std::int64_t v) const {
        return static_cast<std::size_t>((v + GUARD) * STRIDE + u + GUARD);
    }

    rle565_target target(bool bTargetAlpha, bool bSwap) {
        return {pixels.data() + at(0, 0),
                bTargetAlpha ? alpha.data() + at(0, 0) : nullptr,
                STRIDE,
                WIDTH,
                HEIGHT,
                bSwap ? RLE565_TARGET_BYTESWAP : 0u};
    }
};

struct Options {
    std::uint32_t flags = 0;
    bool bColors = false;
    std::uint32_t opacity = 0;
};

// What a draw with these options must leave in the frame: the source image's
// pixel in column j of line i lands on column j (width - 1 - j mirrored) and
// line i (height - 1 - i mirrored) from (x, y); its colour is recoloured with
// colors, its alpha scaled by the opacity, rounded down; then copied with its
// alpha onto a target with an alpha array, else blended.
void drawByHand(const Image& image, std::int32_t x, std::int32_t y, const Options& options,
                bool bTargetAlpha, bool bSwap, Frame& frame) {
    const bool bOpacity = (options.flags & RLE565_DRAW_OPACITY) != 0;
    if (bOpacity && options.opacity == 0) return;
    for (std::int32_t i = 0; i < image.height; ++i) {
        for (std::int32_t j = 0; j < image.width; ++j) {
            const auto pair = visiblePair(image, static_cast<std::size_t>(i * image.width + j));
            if (!pair) continue;
            const std::int64_t u =
                std::int64_t{x} +
                ((options.flags & RLE565_DRAW_FLIP_X) != 0 ? image.width - 1 - j : j);
            const std::int64_t v =
                std::int64_t{y} +
                ((options.flags & RLE565_DRAW_FLIP_Y) != 0 ? image.height - 1 - i : i);
            if (u < 0 || v < 0 || u >= Frame::WIDTH || v >= Frame::HEIGHT) continue;
            const std::uint16_t color = options.bColors ? recolored(pair->color) : pair->color;
            std::uint32_t a = pair->alpha;
            if (bOpacity) a = a * options.opacity / 32;
            const std::size_t t = frame.at(u, v);
            if (bTargetAlpha) {
                frame.pixels[t] = bSwap ? swapped(color) : color;
                frame.alpha[t] = static_cast<std::uint8_t>(a);
            } else if (a > 0) {
                const std::uint16_t d = bSwap ? swapped(frame.pixels[t]) : frame.pixels[t];
                const std::uint16_t mixed = blendRgb565(color, d, static_cast<std::uint8_t>(a));
                frame.pixels[t] = bSwap ? swapped(mixed) : mixed;
            }
        }
    }
}

// The colours an options' colors array holds for a sprite: each entry's own
// colour recoloured, entry 0 something that must never show.
std::vector<std::uint16_t> colorsFor(const rle565_sprite& sprite) {
    std::vector<std::uint16_t> colors(sprite.palette_size);
    for (std::uint32_t e = 0; e < sprite.palette_size; ++e) {
        const auto own =
            static_cast<std::uint16_t>(sprite.palette[2 * e] | sprite.palette[2 * e + 1] << 8);
        colors[e] = e == 0 ? 0x1234 : recolored(own);
    }
    return colors;
}

struct Sprite {
    Image image;
    Bytes file;
    rle565_sprite view{};
};

Sprite openSprite(Image image, bool bMultipal = false) {
    Sprite s{std::move(image), {}, {}};
    s.file = encodeFile(s.image, bMultipal);
    EXPECT_EQ(rle565_sprite_open(&s.view, s.file.data(), s.file.size()), RLE565_OK);
    return s;
}

// Draws with the options at places from wholly outside each edge to wholly
// outside the other, for all four kinds of target, and compares the whole
// frame, guards included, with the drawing by hand.
void expectDraws(const Sprite& s, const Options& options) {
    const std::vector<std::uint16_t> colors = colorsFor(s.view);
    rle565_draw_options o{};
    o.flags = options.flags;
    o.colors = options.bColors ? colors.data() : nullptr;
    o.opacity = options.opacity;
    const Frame blank(s.image.width * 31 + options.flags);
    for (int kind = 0; kind < 4; ++kind) {
        const bool bTargetAlpha = (kind & 1) != 0;
        const bool bSwap = (kind & 2) != 0;
        for (std::int32_t y = -s.image.height - 1; y <= Frame::HEIGHT + 1; y += 2) {
            for (std::int32_t x = -s.image.width - 1; x <= Frame::WIDTH + 1; x += 3) {
                Frame drawn = blank;
                Frame expected = blank;
                const rle565_target target = drawn.target(bTargetAlpha, bSwap);
                rle565_draw_ex(&s.view, &target, x, y, &o);
                drawByHand(s.image, x, y, options, bTargetAlpha, bSwap, expected);
                ASSERT_EQ(drawn.pixels, expected.pixels)
                    << "at " << x << "," << y << " kind " << kind << " flags " << options.flags;
                ASSERT_EQ(drawn.alpha, expected.alpha)
                    << "at " << x << "," << y << " kind " << kind << " flags " << options.flags;
            }
        }
    }
}

std::vector<Sprite> sprites() {
    std::vector<Sprite> all;
    all.push_back(openSprite(makeSprite(1, 13, 9, false, 20)));
    all.push_back(openSprite(makeSprite(2, 17, 11, true, 40)));
    // More pairs than one palette holds: lines switch palettes.
    all.push_back(openSprite(makeSprite(3, 40, 12, true, 300), true));
    return all;
}

TEST(DrawOptions, FlipsEachWayAndBoth) {
    for (const Sprite& s : sprites()) {
        for (std::uint32_t flags :
             {RLE565_DRAW_FLIP_X, RLE565_DRAW_FLIP_Y, RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y})
            expectDraws(s, {flags, false, 0});
    }
}

TEST(DrawOptions, SwapsColorsEntryForEntry) {
    for (const Sprite& s : sprites()) {
        expectDraws(s, {0, true, 0});
        expectDraws(s, {RLE565_DRAW_FLIP_X, true, 0});
    }
}

TEST(DrawOptions, ScalesAlphaByOpacity) {
    for (const Sprite& s : sprites()) {
        for (std::uint32_t opacity : {0u, 1u, 7u, 16u, 31u, 32u})
            expectDraws(s, {RLE565_DRAW_OPACITY, false, opacity});
        expectDraws(s, {RLE565_DRAW_OPACITY | RLE565_DRAW_FLIP_Y | RLE565_DRAW_FLIP_X, true, 19});
    }
}

// Clipping in 32 bits: a target that says it is INT32_MAX pixels wide and
// high (only its top-left corner is ever reached here), where the room right
// of or below a place left of or above it passes INT32_MAX. Each flip lands
// the pixels as on a small target; places at the far ends of int32 draw
// nothing.
TEST(DrawOptions, ClipsTargetsAsLargeAsInt32Allows) {
    const Sprite s = openSprite(makeSprite(7, 9, 6, true, 12));
    constexpr std::int32_t STRIDE = 16;
    for (std::uint32_t flags :
         {0u, RLE565_DRAW_FLIP_X, RLE565_DRAW_FLIP_Y, RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y}) {
        const rle565_draw_options o{flags, nullptr, 0, nullptr};
        for (const std::int32_t x : {-8, -3, 0}) {
            for (const std::int32_t y : {-5, -2, 0}) {
                Pixels small(STRIDE * 8, 0x5AA5);
                Pixels large = small;
                const rle565_target a{small.data(), nullptr, STRIDE, STRIDE, 8, 0};
                const rle565_target b{large.data(), nullptr, STRIDE, INT32_MAX, INT32_MAX, 0};
                rle565_draw_ex(&s.view, &a, x, y, &o);
                rle565_draw_ex(&s.view, &b, x, y, &o);
                ASSERT_EQ(large, small) << "at " << x << "," << y << " flags " << flags;
                ASSERT_NE(small, Pixels(STRIDE * 8, 0x5AA5)) << "at " << x << "," << y;
            }
        }
        Pixels frame(STRIDE * 8, 0x5AA5);
        const Pixels untouched = frame;
        const rle565_target t{frame.data(), nullptr, STRIDE, STRIDE, 8, 0};
        for (const std::int32_t at : {INT32_MIN, INT32_MIN + 5, INT32_MAX - 5, INT32_MAX}) {
            rle565_draw_ex(&s.view, &t, at, 0, &o);
            rle565_draw_ex(&s.view, &t, 0, at, &o);
        }
        EXPECT_EQ(frame, untouched) << "flags " << flags;
    }
}

// Every entry of a full palette as a literal among others, the last one
// (the highest code a stretch of short codes may hold) at every place of
// a stretch, with and without the sprite's alpha.
TEST(DrawOptions, StretchesHoldEveryEntry) {
    for (const bool bAlpha : {false, true}) {
        Image image = makeBlankImage(61, 9, bAlpha);
        for (std::int32_t y = 0; y < image.height; ++y) {
            for (std::int32_t x = 0; x < image.width; ++x) {
                if ((x + 2 * y) % 17 == 5) continue;  // transparent now and then
                const auto i = static_cast<std::uint32_t>(y * image.width + x);
                // Up to 252 pairs, each colour once; an entry number that no line
                // repeats next to itself, so that no runs are made.
                const std::uint32_t k = (i * 37 + y) % 252;
                setPixel(image, x, y,
                         Pair{static_cast<std::uint16_t>(0x0841 * (k % 31) + k),
                              static_cast<std::uint8_t>(bAlpha ? 1 + k % 32 : 32)});
            }
        }
        const Sprite s = openSprite(image);
        ASSERT_GT(s.view.palette_size, 200u);
        expectDraws(s, {0, false, 0});
    }
}

// A null options and one of all zeros draw as rle565_draw; an opacity without
// its flag changes nothing.
TEST(DrawOptions, NoOptionsDrawAsDraw) {
    for (const Sprite& s : sprites()) {
        for (std::int32_t x : {-5, 3, 20}) {
            Frame plain(9);
            Frame withNull(9);
            Frame withZeros(9);
            Frame withStrayOpacity(9);
            const rle565_target a = plain.target(false, false);
            const rle565_target b = withNull.target(false, false);
            const rle565_target c = withZeros.target(false, false);
            const rle565_target d = withStrayOpacity.target(false, false);
            rle565_draw(&s.view, &a, x, 2);
            rle565_draw_ex(&s.view, &b, x, 2, nullptr);
            const rle565_draw_options zeros{};
            rle565_draw_ex(&s.view, &c, x, 2, &zeros);
            rle565_draw_options stray{};
            stray.opacity = 5;
            rle565_draw_ex(&s.view, &d, x, 2, &stray);
            EXPECT_EQ(withNull.pixels, plain.pixels);
            EXPECT_EQ(withZeros.pixels, plain.pixels);
            EXPECT_EQ(withStrayOpacity.pixels, plain.pixels);
        }
    }
}

// A prepared palette draws the pixels a draw without one draws, for every
// kind of target and with colours and opacity; one made for another kind of
// target, or other colours, is not used.
TEST(DrawOptions, PreparedPalettesDrawTheSamePixels) {
    for (const Sprite& s : sprites()) {
        const std::vector<std::uint16_t> colors = colorsFor(s.view);
        for (int kind = 0; kind < 4; ++kind) {
            for (int look = 0; look < 3; ++look) {
                const bool bTargetAlpha = (kind & 1) != 0;
                const bool bSwap = (kind & 2) != 0;
                rle565_draw_options o{};
                if (look == 1) o.colors = colors.data();
                if (look == 2) {
                    o.flags = RLE565_DRAW_OPACITY;
                    o.opacity = 21;
                }
                Frame plain(4);
                Frame prepared(4);
                const rle565_target a = plain.target(bTargetAlpha, bSwap);
                const rle565_target b = prepared.target(bTargetAlpha, bSwap);
                const std::size_t size = rle565_palette_size(&s.view, &b, &o);
                ASSERT_GT(size, 0u);
                std::vector<std::uint32_t> memory((size + 3) / 4);
                EXPECT_EQ(rle565_palette_prepare(memory.data(), size - 1, &s.view, &b, &o),
                          RLE565_ERR_ARGUMENT);
                ASSERT_EQ(rle565_palette_prepare(memory.data(), size, &s.view, &b, &o), RLE565_OK);
                rle565_draw_options withPalette = o;
                withPalette.palette = memory.data();
                for (std::int32_t x : {-9, 0, 4, 21}) {
                    rle565_draw_ex(&s.view, &a, x, x / 3, &o);
                    rle565_draw_ex(&s.view, &b, x, x / 3, &withPalette);
                }
                EXPECT_EQ(prepared.pixels, plain.pixels) << "kind " << kind << " look " << look;
                EXPECT_EQ(prepared.alpha, plain.alpha) << "kind " << kind << " look " << look;
                // The same palette offered to a draw onto the other byte order.
                Frame other(5);
                Frame otherPrepared(5);
                const rle565_target c = other.target(bTargetAlpha, !bSwap);
                const rle565_target d = otherPrepared.target(bTargetAlpha, !bSwap);
                rle565_draw_ex(&s.view, &c, 1, 1, &o);
                rle565_draw_ex(&s.view, &d, 1, 1, &withPalette);
                EXPECT_EQ(otherPrepared.pixels, other.pixels);
                rle565_draw_options otherColors = withPalette;
                otherColors.colors = look == 1 ? nullptr : colors.data();
                rle565_draw_ex(&s.view, &c, 2, 3, &otherColors);
                otherColors.palette = nullptr;
                rle565_draw_ex(&s.view, &d, 2, 3, &otherColors);
                EXPECT_EQ(otherPrepared.pixels, other.pixels);
            }
        }
    }
}

// A file whose flags say one palette but whose lines switch the palette base
// draws the same with a prepared palette: the expected pixels are the
// entries the codes name, worked out here.
TEST(DrawOptions, PreparedPalettesFollowSwitchesInAnyFile) {
    const Bytes file = RleBuilder()
                           .size(3, 2)
                           .palette({0xF81F, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555})
                           .line({1, 2, 3})
                           .line({CODE_SWITCH, 2, 0, 1, 3, 2})
                           .bytes();
    rle565_sprite sprite;
    ASSERT_EQ(rle565_sprite_open(&sprite, file.data(), file.size()), RLE565_OK);
    for (int kind = 0; kind < 2; ++kind) {
        Frame frame(3);
        const rle565_target target = frame.target(kind == 1, false);
        std::vector<std::uint32_t> memory(rle565_palette_size(&sprite, &target, nullptr) / 4 + 1);
        ASSERT_EQ(
            rle565_palette_prepare(memory.data(), memory.size() * 4, &sprite, &target, nullptr),
            RLE565_OK);
        rle565_draw_options options{};
        options.palette = memory.data();
        rle565_draw_ex(&sprite, &target, 0, 0, &options);
        const std::uint16_t expected[2][3] = {{0x1111, 0x2222, 0x3333}, {0x3333, 0x5555, 0x4444}};
        for (std::int32_t v = 0; v < 2; ++v)
            for (std::int32_t u = 0; u < 3; ++u)
                EXPECT_EQ(frame.pixels[frame.at(u, v)], expected[v][u]) << u << "," << v;
    }
}

TEST(DrawOptions, PrepareRefusesWhatItCannotFill) {
    const Sprite s = openSprite(makeSprite(1, 13, 9, false, 20));
    Frame frame(1);
    const rle565_target target = frame.target(false, false);
    alignas(4) std::uint8_t memory[4096];
    EXPECT_EQ(rle565_palette_prepare(nullptr, 4096, &s.view, &target, nullptr),
              RLE565_ERR_ARGUMENT);
    EXPECT_EQ(rle565_palette_prepare(memory + 1, 4000, &s.view, &target, nullptr),
              RLE565_ERR_ARGUMENT);
    EXPECT_EQ(rle565_palette_prepare(memory, 4096, nullptr, &target, nullptr), RLE565_ERR_ARGUMENT);
    EXPECT_EQ(rle565_palette_size(nullptr, &target, nullptr), 0u);
    EXPECT_LE(rle565_palette_size(&s.view, &target, nullptr), 2400u);
}

// A frame drawn a band of rows at a time, each band a target of its own whose
// rows are the band's and whose y is shifted, is the frame drawn whole.
TEST(DrawOptions, BandsDrawTheWholeFrame) {
    const std::vector<Sprite> all = sprites();
    constexpr std::int32_t WIDTH = 40;
    constexpr std::int32_t HEIGHT = 30;
    constexpr std::int32_t BAND = 5;
    Pixels whole(WIDTH * HEIGHT);
    for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<std::uint16_t>(i * 97);
    Pixels banded = whole;
    struct Place {
        std::size_t sprite;
        std::int32_t x, y;
        std::uint32_t flags;
    };
    const Place places[] = {{0, -4, -3, 0},
                            {1, 10, 5, RLE565_DRAW_FLIP_Y},
                            {2, 5, 21, RLE565_DRAW_FLIP_X},
                            {1, 30, 14, 0},
                            {0, 17, 2, RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y}};
    const rle565_target frame{whole.data(), nullptr, WIDTH, WIDTH, HEIGHT, 0};
    for (const Place& p : places) {
        rle565_draw_options o{};
        o.flags = p.flags;
        rle565_draw_ex(&all[p.sprite].view, &frame, p.x, p.y, &o);
    }
    for (std::int32_t top = 0; top < HEIGHT; top += BAND) {
        Pixels band(banded.begin() + top * WIDTH, banded.begin() + (top + BAND) * WIDTH);
        const rle565_target target{band.data(), nullptr, WIDTH, WIDTH, BAND, 0};
        for (const Place& p : places) {
            rle565_draw_options o{};
            o.flags = p.flags;
            rle565_draw_ex(&all[p.sprite].view, &target, p.x, p.y - top, &o);
        }
        std::copy(band.begin(), band.end(), banded.begin() + top * WIDTH);
    }
    EXPECT_EQ(banded, whole);
}

}  // namespace
