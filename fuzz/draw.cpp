// Fuzz target: arbitrary bytes opened as a sprite by the drawing runtime and,
// when they open, drawn at pseudo-random positions (inside, partly off every
// edge, wholly outside) onto small clip rectangles inside frames whose other
// pixels and alphas are guards that must stay untouched, onto all four kinds
// of target. A clipped draw must give, inside the clip, exactly the pixels of
// the same draw onto a frame large enough to hold the whole sprite. Half the
// draws take random options (mirrored lines, other colours, an opacity, a
// prepared palette for the clipped draw only, which the whole one then holds
// to the draw without). The runtime must also refuse exactly the files the converter's loader
// refuses, and draw safely from bytes changed after they opened.
#include <rle565/draw.h>
#include <rle565/rle_format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/rle_reader.h"
#include "fuzz_check.h"

using namespace rle565;

namespace {

// Sprites up to this size are also drawn whole for comparison.
constexpr std::int32_t MAX_COMPARED_SIDE = 64;
// Guard pixels around the clip rectangle on every side.
constexpr std::int32_t GUARD = 3;
// Positions drawn per target size and kind.
constexpr int POSITIONS = 12;

// A small deterministic generator, seeded from the input.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::int32_t between(std::int32_t lo, std::int32_t hi) {
        return lo + static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(hi - lo + 1));
    }
};

// The colour and alpha a frame holds at target position (u, v) before
// drawing; the same for every frame of one draw.
std::uint16_t fillColor(std::int64_t u, std::int64_t v) {
    return static_cast<std::uint16_t>((u * 7919 + v * 104729) ^ 0xA5C3);
}
std::uint8_t fillAlpha(std::int64_t u, std::int64_t v) {
    return static_cast<std::uint8_t>((u * 31 + v * 17) % 33);
}

// A frame of width x height with the target at (left, top) of size tw x th.
struct Frame {
    std::int32_t width;
    std::int32_t height;
    std::int32_t left;
    std::int32_t top;
    std::vector<std::uint16_t> pixels;
    std::vector<std::uint8_t> alpha;

    Frame(std::int32_t w, std::int32_t h, std::int32_t l, std::int32_t t)
        : width(w),
          height(h),
          left(l),
          top(t),
          pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h)),
          alpha(pixels.size()) {
        for (std::int32_t v = 0; v < h; ++v) {
            for (std::int32_t u = 0; u < w; ++u) {
                pixels[index(u, v)] = fillColor(u - l, v - t);
                alpha[index(u, v)] = fillAlpha(u - l, v - t);
            }
        }
    }

    std::size_t index(std::int32_t u, std::int32_t v) const {
        return static_cast<std::size_t>(v) * static_cast<std::size_t>(width) +
               static_cast<std::size_t>(u);
    }

    rle565_target target(std::int32_t tw, std::int32_t th, bool bAlpha, bool bSwap) {
        const std::size_t at = index(left, top);
        return {pixels.data() + at,
                bAlpha ? alpha.data() + at : nullptr,
                width,
                tw,
                th,
                bSwap ? RLE565_TARGET_BYTESWAP : 0u};
    }
};

// A draw's options, or none, and what they point at.
struct DrawOptions {
    rle565_draw_options options{};
    std::vector<std::uint16_t> colors;
    std::vector<std::uint32_t> prepared;
    bool bAny = false;
    bool bPrepared = false;

    DrawOptions(const rle565_sprite& sprite, Random& random) {
        if (random.next() % 2 == 0) return;
        bAny = true;
        options.flags =
            random.next() & (RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y | RLE565_DRAW_OPACITY);
        options.opacity = random.next() % 40;
        if (random.next() % 2 == 0) {
            colors.resize(sprite.palette_size);
            for (auto& c : colors) c = static_cast<std::uint16_t>(random.next());
            options.colors = colors.data();
        }
        bPrepared = random.next() % 2 == 0;
    }

    // The options for a draw onto targets like `target`, with the palette
    // prepared when chosen.
    const rle565_draw_options* forClipped(const rle565_sprite& sprite,
                                          const rle565_target& target) {
        if (!bAny) return nullptr;
        if (bPrepared) {
            const std::size_t size = rle565_palette_size(&sprite, &target, &options);
            prepared.assign((size + 3) / 4, 0);
            FUZZ_CHECK(rle565_palette_prepare(prepared.data(), size, &sprite, &target, &options) ==
                       RLE565_OK);
            options.palette = prepared.data();
        }
        return &options;
    }

    const rle565_draw_options* forWhole() {
        if (!bAny) return nullptr;
        options.palette = nullptr;
        return &options;
    }
};

void drawAndCheck(const rle565_sprite& sprite, std::int32_t tw, std::int32_t th, bool bAlpha,
                  bool bSwap, std::int32_t x, std::int32_t y, DrawOptions& options) {
    Frame clipped(tw + 2 * GUARD, th + 2 * GUARD, GUARD, GUARD);
    const rle565_target target = clipped.target(tw, th, bAlpha, bSwap);
    rle565_draw_ex(&sprite, &target, x, y, options.forClipped(sprite, target));
    // The guards around the clip stay as they were.
    for (std::int32_t v = 0; v < clipped.height; ++v) {
        for (std::int32_t u = 0; u < clipped.width; ++u) {
            const bool bInside = u >= GUARD && u < GUARD + tw && v >= GUARD && v < GUARD + th;
            const std::size_t i = clipped.index(u, v);
            if (!bInside || !bAlpha)
                FUZZ_CHECK(clipped.alpha[i] == fillAlpha(u - GUARD, v - GUARD));
            if (!bInside) FUZZ_CHECK(clipped.pixels[i] == fillColor(u - GUARD, v - GUARD));
        }
    }
    if (sprite.width > MAX_COMPARED_SIDE || sprite.height > MAX_COMPARED_SIDE) return;

    // The same draw onto a frame that holds the whole sprite wherever it
    // lands near the clip: inside the clip, both frames agree.
    const std::int32_t sw = sprite.width;
    const std::int32_t sh = sprite.height;
    const bool bNear = x >= -sw && x <= tw && y >= -sh && y <= th;
    Frame whole(tw + 2 * sw + 2, th + 2 * sh + 2, sw + 1, sh + 1);
    if (bNear) {
        const rle565_target frame{whole.pixels.data(), bAlpha ? whole.alpha.data() : nullptr,
                                  whole.width,         whole.width,
                                  whole.height,        bSwap ? RLE565_TARGET_BYTESWAP : 0u};
        rle565_draw_ex(&sprite, &frame, x + whole.left, y + whole.top, options.forWhole());
    }
    for (std::int32_t v = 0; v < th; ++v) {
        for (std::int32_t u = 0; u < tw; ++u) {
            const std::size_t i = clipped.index(u + GUARD, v + GUARD);
            const std::size_t k = whole.index(u + whole.left, v + whole.top);
            FUZZ_CHECK(clipped.pixels[i] == whole.pixels[k]);
            FUZZ_CHECK(clipped.alpha[i] == whole.alpha[k]);
        }
    }
}

// Draws at POSITIONS places onto targets of three sizes and all four kinds.
void drawEverywhere(const rle565_sprite& sprite, Random& random) {
    const std::int32_t sizes[][2] = {{1, 1}, {7, 5}, {33, 19}};
    for (const auto& wh : sizes) {
        const std::int32_t tw = wh[0];
        const std::int32_t th = wh[1];
        for (int kind = 0; kind < 4; ++kind) {
            for (int k = 0; k < POSITIONS; ++k) {
                // Mostly near the clip, now and then anywhere at all.
                const bool bFar = random.next() % 8 == 0;
                const std::int32_t x =
                    bFar ? static_cast<std::int32_t>(random.next() * 2u)
                         : random.between(-std::min(sprite.width, 300) - 2, tw + 2);
                const std::int32_t y =
                    bFar ? static_cast<std::int32_t>(random.next() * 2u)
                         : random.between(-std::min(sprite.height, 300) - 2, th + 2);
                DrawOptions options(sprite, random);
                drawAndCheck(sprite, tw, th, (kind & 1) != 0, (kind & 2) != 0, x, y, options);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The runtime's verdict is the loader's, for every input that claims to
    // be an RLE file.
    rle565_sprite sprite;
    const int error = rle565_sprite_open(&sprite, data, size);
    if (size >= 2 && data[0] == 'R' && data[1] == 'L') {
        ErrorText errorText{};
        const bool bLoads = loadRleBytes(std::span(data, size), errorText) != nullptr;
        FUZZ_CHECK(bLoads == (error == RLE565_OK));
    }
    if (error != RLE565_OK) return 0;

    Random random{size};
    for (std::size_t i = 0; i < size; ++i) random.state = random.state * 131 + data[i];
    drawEverywhere(sprite, random);

    // Bytes changed after the sprite opened (flash written again, a caller's
    // fault): the view is no longer sound, but draws still read nothing
    // outside the bytes (ASan watches the copy's ends) and paint nothing
    // outside the clip.
    if (size > RLE_HEADER_SIZE) {
        std::vector<std::uint8_t> changed(data, data + size);
        rle565_sprite view;
        FUZZ_CHECK(rle565_sprite_open(&view, changed.data(), changed.size()) == RLE565_OK);
        const std::size_t nChanged = 1 + random.next() % 8;
        for (std::size_t i = 0; i < nChanged; ++i) {
            const std::size_t at = RLE_HEADER_SIZE + random.next() % (size - RLE_HEADER_SIZE);
            changed[at] = static_cast<std::uint8_t>(random.next());
        }
        drawEverywhere(view, random);
    }
    return 0;
}
