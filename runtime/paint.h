// What the drawing runtime's painters share: the table size, a palette
// entry's colour, the row a painter paints and its clip; and paintLines(),
// which picks the painter for a sprite and a target. Builds for size take the
// compact painter (paint_compact.h), others the fast ones (paint_fast.h).
//
// Freestanding, as the rest of the runtime.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "blend.h"
#include "walk.h"

// A build optimised for size (GCC's -Os, or RLE565_DRAW_COMPACT defined)
// takes the compact painter: no tables, the kind of target told once per run
// or pixel at run time, and one compiled walk of the codes shared with the
// check at open. Other builds take the fast painters, one per kind of target.
#if defined(__OPTIMIZE_SIZE__) && !defined(RLE565_DRAW_COMPACT)
#define RLE565_DRAW_COMPACT 1
#endif

// The painters' names carry the way they are built, as their tables and
// loops differ with it: a program may link the runtime built one way beside
// the core, which compiles the painters into its own objects, built another
// (the tests do).
#if defined(RLE565_DRAW_COMPACT)
#define RLE565_PAINT_VARIANT compact
#elif defined(RLE565_WALK_SSE2)
#define RLE565_PAINT_VARIANT lanes
#else
#define RLE565_PAINT_VARIANT plain
#endif

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {

// Literal codes a table covers: 1 to 252, and 0 for a skip code.
constexpr uint32_t TABLE_SIZE = 256;

inline uint16_t loadColor(const uint8_t* palette, uint32_t entry) {
    const uint8_t* const p = palette + 2 * static_cast<size_t>(entry);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// A colour read as a 16-bit value from bytes of any type.
using AliasedColor = uint16_t __attribute__((may_alias));

// What a draw's options change in the pixels: colours in place of the
// palette's (entry 0 keeps its own) and an opacity that scales every alpha.
struct Look {
    const uint16_t* colors = nullptr;
    uint32_t opacity = ALPHA_OPAQUE;
};

inline uint16_t entryColor(const uint8_t* palette, const uint16_t* colors, uint32_t entry) {
    return colors != nullptr && entry != 0 ? colors[entry] : loadColor(palette, entry);
}

// An entry's alpha, 32 for a sprite without alpha palette (values above 32
// count as 32), times opacity / 32, rounded down.
inline uint32_t entryAlpha(const uint8_t* alphas, uint32_t opacity, uint32_t entry) {
    uint32_t a = ALPHA_OPAQUE;
    if (alphas != nullptr && alphas[entry] < ALPHA_OPAQUE) a = alphas[entry];
    // A branch, well guessed, rather than a product on every run's path.
    if (opacity < ALPHA_OPAQUE) a = a * opacity >> 5;
    return a;
}

// The target row that a painter paints: column n of the sprite's line lands
// on pixels[x + n] (pixels[x - n] for a painter that mirrors), and only
// columns lo to hi - 1 lie inside the target.
class RowSpan {
public:
    void setRow(uint16_t* pixels, uint8_t* alpha, int32_t x, uint32_t lo, uint32_t hi) {
        pixels_ = pixels;
        alpha_ = alpha;
        x_ = x;
        lo_ = lo;
        hi_ = hi;
    }

protected:
    // Cuts columns [from, to) to the target; false when nothing is left.
    bool clip(uint32_t& from, uint32_t& to) const {
        if (from < lo_) from = lo_;
        if (to > hi_) to = hi_;
        return from < to;
    }

    uint16_t* pixels_ = nullptr;
    uint8_t* alpha_ = nullptr;
    int32_t x_ = 0;
    uint32_t lo_ = 0;
    uint32_t hi_ = 0;
};

}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565

#include "paint_compact.h"
#ifndef RLE565_DRAW_COMPACT
#include "draw_line.h"
#include "paint_fast.h"
#endif

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {

// How a draw paints beyond its place: the look, mirrors and, with lanes, a
// prepared palette's tables (for the fast painters of the mode the draw
// takes) or null. Packed: a draw holds one in its frame, which on the
// Cortex-M0+ at -Os is the deepest of the stack.
struct PaintHow {
    const uint16_t* colors = nullptr;
    uint8_t opacity = ALPHA_OPAQUE;
    bool bFlipX = false;
    bool bFlipY = false;
#ifdef RLE565_WALK_SSE2
    const void* tables = nullptr;
#endif

    Look look() const {
        Look look;
        look.colors = colors;
        look.opacity = opacity;
        return look;
    }
};

// The compact painter, for every build: builds for size draw with it, the
// others draw mirrored lines with it.
template <class Lines>
void paintCompact(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                  const PaintHow& how, const Lines& lines) {
    CompactPainter painter(sprite.palette, sprite.alphas,
                           (targetFlags & RLE565_TARGET_BYTESWAP) != 0);
    painter.setLook(how.look(), how.bFlipX, bTargetAlpha);
    lines.paint(painter);
}

#ifndef RLE565_DRAW_COMPACT

namespace {

// The fast painters' mode for a sprite, a target and an opacity.
inline Mode modeFor(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t opacity) {
    if (bTargetAlpha) return Mode::ALPHA;
    if (sprite.alphas != nullptr || opacity < ALPHA_OPAQUE) return Mode::BLEND;
    return Mode::COPY;
}

// The painting of one draw, out of line: with lanes (x86) so that the loops
// are compiled as a function of their own (folded into the draw,
// colour-key draws took 3% more instructions).
template <Mode MODE, bool bSwap, bool bLook, bool bBytes, class Lines>
[[gnu::noinline]] void paintWith(const rle565_sprite& sprite, const Look& look, const Lines& lines,
                                 const Tables<MODE>* fixed) {
    Painter<MODE, bSwap, bLook, bBytes> painter(sprite, look, fixed);
    lines.paint(painter);
}

template <Mode MODE, bool bSwap, bool bLook, class Lines>
void paintAs(const rle565_sprite& sprite, const PaintHow& how, const Lines& lines) {
#ifdef RLE565_PAINT_HELD
    const auto* const fixed = static_cast<const Tables<MODE>*>(how.tables);
#else
    const Tables<MODE>* const fixed = nullptr;
#endif
#ifdef RLE565_PAINT_HELD
    paintWith<MODE, bSwap, bLook, false>(sprite, how.look(), lines, fixed);
#else
    // Without tables the painter reads the palette as 16-bit values, where
    // its colours lie at an even address of a little-endian machine, else
    // byte by byte: for colour-key sprites; sprites with alpha whose palette
    // lies so, rare, take the compact painter (a second set of fast painters
    // for every mode took 20 KB of text).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if ((reinterpret_cast<uintptr_t>(sprite.palette) & 1) == 0) {
        paintWith<MODE, bSwap, bLook, false>(sprite, how.look(), lines, fixed);
        return;
    }
#endif
    if constexpr (MODE == Mode::COPY) {
        paintWith<MODE, bSwap, bLook, true>(sprite, how.look(), lines, fixed);
    } else {
        paintCompact(sprite, MODE == Mode::ALPHA, bSwap ? RLE565_TARGET_BYTESWAP : 0u, how, lines);
    }
#endif
}

template <Mode MODE, class Lines>
void paintAs(const rle565_sprite& sprite, bool bSwap, const PaintHow& how, const Lines& lines) {
    const bool bLook = how.colors != nullptr || how.opacity < ALPHA_OPAQUE;
    if (bSwap) {
        if (bLook) {
            paintAs<MODE, true, true>(sprite, how, lines);
        } else {
            paintAs<MODE, true, false>(sprite, how, lines);
        }
    } else if (bLook) {
        paintAs<MODE, false, true>(sprite, how, lines);
    } else {
        paintAs<MODE, false, false>(sprite, how, lines);
    }
}

template <class Lines>
void paintLines(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                const Lines& lines, const PaintHow& how = PaintHow{}) {
    if (how.bFlipX) {
        paintCompact(sprite, bTargetAlpha, targetFlags, how, lines);
        return;
    }
    const bool bSwap = (targetFlags & RLE565_TARGET_BYTESWAP) != 0;
    switch (modeFor(sprite, bTargetAlpha, how.opacity)) {
        case Mode::ALPHA:
            paintAs<Mode::ALPHA>(sprite, bSwap, how, lines);
            break;
        case Mode::BLEND:
            paintAs<Mode::BLEND>(sprite, bSwap, how, lines);
            break;
        case Mode::COPY:
            paintAs<Mode::COPY>(sprite, bSwap, how, lines);
            break;
    }
}

}  // namespace

#else

template <class Lines>
void paintLines(const rle565_sprite& sprite, bool bTargetAlpha, uint32_t targetFlags,
                const Lines& lines, const PaintHow& how = PaintHow{}) {
    paintCompact(sprite, bTargetAlpha, targetFlags, how, lines);
}

#endif

}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565
