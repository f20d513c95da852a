// The drawing runtime. Freestanding: no heap, exceptions, RTTI or library
// calls, nothing beyond <stddef.h> and <stdint.h>, so that the same source
// builds for a Cortex-M0+ and for the desktop.
//
// A draw resolves the palette once into a small table of target-ready values
// (colours byte-swapped when the target wants them, or colour times alpha for
// blending), or takes a prepared one, or the file's own colours, then walks
// each visible line: codes left of the clip are counted without painting,
// codes right of it are not walked at all, short codes are painted from the
// table and runs as fills. The fast painters walk with drawLine(); the
// compact one, which also draws mirrored lines in every build, with
// walkLine(), which also checks at open. drawAt() places the lines (flipped
// or not, clipped in 32 bits), reads the options (none for rle565_draw())
// and picks the painter; rle565_palette_prepare() fills the tables once.
// The runtime's own source, as paint_compact.h tells apart.
#define RLE565_RUNTIME_SOURCE 1

#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "layout.h"
#include "paint.h"

namespace rle565 {
inline namespace RLE565_PAINT_VARIANT {

namespace {

// The lines of a sprite as a draw places them: the visible ones, in the
// file's order, found by stepping through the line-length table. Line i
// lands `step` further than line i - 1; column n on x + n, or on x - n
// for a painter that mirrors (then x is the sprite's right-most column).
struct ClippedLines {
    const rle565_sprite& sprite;
    const rle565_target& target;
    int32_t x;
    uint32_t lo;      // first visible column of the sprite
    uint32_t hi;      // one past the last
    uint32_t top;     // first visible line
    uint32_t bottom;  // one past the last
    ptrdiff_t at;     // where the row of line `top` starts in the target's arrays
    ptrdiff_t step;   // from one line's row to the next: the stride, or minus it

    template <class P>
    void paint(P& painter) const {
        if constexpr (P::WHOLE_WALK) {
            paintWhole(painter);
        } else {
            paintDrawn(painter);
        }
    }

private:
    // For the compact painter, built for size: each value is read where it
    // is used and none is kept across the walk of a line, where every one
    // kept took a slot of the frame (on the M0+ the deepest draw took 8
    // bytes less).
    template <class P>
    void paintWhole(P& painter) const {
        const uint8_t* entry = sprite.lengths;
        const uint8_t* codes = sprite.codes;
        ptrdiff_t row = at;
        painter.setColumns(x, lo, hi);
        for (uint32_t i = 0; i < bottom; ++i) {
            uint32_t count = 0;
            const size_t taken = readLineLength(entry, sprite.codes, count);
            // A line that reaches past the bytes ends the draw: only bytes
            // changed since the sprite opened can make one.
            if (taken == 0 || count > static_cast<size_t>(sprite.end - codes)) return;
            entry += taken;
            // Lines above the target are stepped over by their lengths alone.
            if (i >= top) {
                painter.setPixels(target.pixels + row,
                                  target.alpha != nullptr ? target.alpha + row : nullptr);
                walkLine(codes, codes + count, sprite.end, static_cast<uint32_t>(sprite.width), hi,
                         sprite.palette_size, painter);
                row += step;
            }
            codes += count;
        }
    }

    // For the fast painters: every value the walk of the lines needs is a
    // local, which the compiler may keep in a register; read through the
    // views, each was read again after every fill of a run, whose stores
    // may alias anything.
    template <class P>
    void paintDrawn(P& painter) const {
        const uint8_t* entry = sprite.lengths;
        const uint8_t* const tableEnd = sprite.codes;
        const uint8_t* const spriteEnd = sprite.end;
        const uint8_t* codes = sprite.codes;
        const auto width = static_cast<uint32_t>(sprite.width);
        const uint32_t nEntries = sprite.palette_size;
        const int32_t xAt = x;
        const uint32_t first = top;
        const uint32_t last = bottom;
        const uint32_t from = lo;
        const uint32_t to = hi;
        const ptrdiff_t rowStep = step;
        uint16_t* const pixels = target.pixels;
        uint8_t* const alpha = target.alpha;
        ptrdiff_t row = at;
        uint32_t count = 0;
        // A line that reaches past the bytes ends the draw: only bytes
        // changed since the sprite opened can make one.
        const auto next = [&]() {
            const size_t taken = readLineLength(entry, tableEnd, count);
            if (taken == 0 || count > static_cast<size_t>(spriteEnd - codes)) return false;
            entry += taken;
            return true;
        };
        // Lines above the target are stepped over by their lengths alone.
        for (uint32_t i = 0; i < first; ++i) {
            if (!next()) return;
            codes += count;
        }
        for (uint32_t i = first; i < last; ++i) {
            if (!next()) return;
            painter.setRow(pixels + row, alpha != nullptr ? alpha + row : nullptr, xAt, from, to);
            drawLine(codes, codes + count, spriteEnd, width, nEntries, from, to, painter);
            row += rowStep;
            codes += count;
        }
    }
};

// What a prepared palette starts with: what it was made for. The tables for
// the fast painters follow, aligned as they need, when the build has them
// and the sprite's codes keep palette base 0.
struct PreparedHead {
    uint32_t magic;
    uint32_t kind;  // the mode, 4 for byte-swapped targets, 8 when tables follow
    const uint8_t* palette;
    const uint16_t* colors;
    uint32_t opacity;
    uint32_t tableBytes;
};

constexpr uint32_t PREPARED_MAGIC = 0x50353652;  // "R65P"
constexpr size_t PREPARED_HEAD = (sizeof(PreparedHead) + 7) / 8 * 8;

Look lookOf(const rle565_draw_options* options) {
    Look look;
    if (options == nullptr) return look;
    look.colors = options->colors;
    if ((options->flags & RLE565_DRAW_OPACITY) != 0)
        look.opacity = options->opacity < ALPHA_OPAQUE ? options->opacity : ALPHA_OPAQUE;
    return look;
}

#ifdef RLE565_PAINT_HELD
// Notes whether a line switches to a palette base other than 0.
struct BaseWatch : CheckVisitor {
    bool bOtherBase = false;
    void setBase(uint32_t base) { bOtherBase = bOtherBase || base != 0; }
};

// Whether every line of the sprite keeps palette base 0, so that tables for
// base 0 serve all its codes: multi-palette sprites do not, and neither may
// any file that switches bases without saying so in its flags.
bool keepsBaseZero(const rle565_sprite& sprite) {
    if ((sprite.flags & RLE_MULTIPAL) != 0 || sprite.palette_size > RLE_MAX_ENTRIES) return false;
    const uint8_t* entry = sprite.lengths;
    const uint8_t* codes = sprite.codes;
    const auto width = static_cast<uint32_t>(sprite.width);
    BaseWatch watch;
    for (int32_t i = 0; i < sprite.height && !watch.bOtherBase; ++i) {
        uint32_t count = 0;
        const size_t taken = readLineLength(entry, sprite.codes, count);
        if (taken == 0 || count > static_cast<size_t>(sprite.end - codes)) return false;
        entry += taken;
        walkLine(codes, codes + count, sprite.end, width, width, sprite.palette_size, watch);
        codes += count;
    }
    return !watch.bOtherBase;
}
#endif

// The head a prepared palette for these must have, and its tables' size.
PreparedHead preparedFor(const rle565_sprite& sprite, const rle565_target& target, const Look& look,
                         bool bScan) {
    // Field by field: an initialised struct may be a call to memset.
    PreparedHead head;
    head.magic = PREPARED_MAGIC;
    head.kind = 0;
    head.palette = sprite.palette;
    head.colors = look.colors;
    head.opacity = look.opacity;
    head.tableBytes = 0;
    const bool bSwap = (target.flags & RLE565_TARGET_BYTESWAP) != 0;
#ifndef RLE565_DRAW_COMPACT
    const Mode mode = modeFor(sprite, target.alpha != nullptr, look.opacity);
    head.kind = static_cast<uint32_t>(mode) | (bSwap ? 4u : 0u);
#ifdef RLE565_PAINT_HELD
    // Tables for base 0 serve sprites that keep it.
    // A draw takes the prepared tables only when the palette was made with
    // them, so it need not scan the codes again.
    if (bScan ? keepsBaseZero(sprite)
              : (sprite.flags & RLE_MULTIPAL) == 0 && sprite.palette_size <= RLE_MAX_ENTRIES) {
        head.kind |= 8u;
        switch (mode) {
            case Mode::COPY:
                head.tableBytes = sizeof(Tables<Mode::COPY>);
                break;
            case Mode::BLEND:
                head.tableBytes = sizeof(Tables<Mode::BLEND>);
                break;
            case Mode::ALPHA:
                head.tableBytes = sizeof(Tables<Mode::ALPHA>);
                break;
        }
    }
#else
    // Painters without lanes read the palette itself: no tables.
    (void)bScan;
#endif
#else
    (void)bScan;
    head.kind = bSwap ? 4u : 0u;
#endif
    return head;
}

#ifdef RLE565_PAINT_HELD
template <Mode MODE>
void prepareTables(void* tables, const rle565_sprite& sprite, bool bSwap, const Look& look) {
    auto* const t = static_cast<Tables<MODE>*>(tables);
    if (bSwap) {
        resolveTables<MODE, true>(*t, sprite, look, 0);
    } else {
        resolveTables<MODE, false>(*t, sprite, look, 0);
    }
}
#endif

bool usable(const rle565_sprite* sprite, const rle565_target* target) {
    return sprite != nullptr && target != nullptr && target->pixels != nullptr &&
           sprite->width > 0 && sprite->height > 0 && target->width > 0 && target->height > 0;
}

// The columns (or lines) [lo, hi) of a sprite `length` long that land inside
// a target `size` long when its column 0 lands on `at` (or, mirrored, its
// column length - 1), as lo | hi << 32, which comes back in registers; 0
// when none do. In 32 bits, every value exact for any int32 place and
// positive lengths: nothing lands inside unless -length < at < size, and
// then `reach` (the target's room right of the place, or mirrored the room
// the sprite reaches into) lies in 1 .. size + length - 1, below 2^32.
[[gnu::noinline]] uint64_t spanOf(int32_t at, int32_t length, int32_t size, bool bMirror) {
    if (at >= size || at <= -length) return 0;
    const auto place = static_cast<uint32_t>(at);
    const auto room = static_cast<uint32_t>(size);
    const auto whole = static_cast<uint32_t>(length);
    const uint32_t reach = bMirror ? place + whole : room - place;
    const uint32_t lo = reach > room ? reach - room : 0;
    const uint32_t hi = reach < whole ? reach : whole;
    return lo | static_cast<uint64_t>(hi) << 32;
}

// How a draw with these options paints; an opacity of 0 when it paints
// nothing.
PaintHow howOf(const rle565_sprite* sprite, const rle565_target* target,
               const rle565_draw_options* options) {
    PaintHow how;
    const Look look = lookOf(options);
    how.colors = look.colors;
    how.opacity = static_cast<uint8_t>(look.opacity);
    if (options == nullptr) return how;
    how.bFlipX = (options->flags & RLE565_DRAW_FLIP_X) != 0;
    how.bFlipY = (options->flags & RLE565_DRAW_FLIP_Y) != 0;
#ifdef RLE565_PAINT_HELD
    // Only the painters with lanes take tables from a prepared palette.
    if (options->palette != nullptr && !how.bFlipX) {
        const auto* const head = static_cast<const PreparedHead*>(options->palette);
        const PreparedHead want = preparedFor(*sprite, *target, look, false);
        if (head->magic == want.magic && head->kind == want.kind && head->palette == want.palette &&
            head->colors == want.colors && head->opacity == want.opacity &&
            head->tableBytes == want.tableBytes && want.tableBytes != 0)
            how.tables = static_cast<const uint8_t*>(options->palette) + PREPARED_HEAD;
    }
#else
    (void)sprite;
    (void)target;
#endif
    return how;
}

// Draws the sprite at (x, y) as the options say (none: as rle565_draw).
// Out of line, shared by rle565_draw and rle565_draw_ex; the options are
// read here rather than in rle565_draw_ex, whose frame held them on top of
// this one (on the Cortex-M0+ at -Os, 24 bytes of the deepest stack).
[[gnu::noinline]] void drawAt(const rle565_sprite* sprite_, const rle565_target* target_, int32_t x,
                              int32_t y, const rle565_draw_options* options) {
    if (!usable(sprite_, target_)) return;
    const PaintHow how = howOf(sprite_, target_, options);
    if (how.opacity == 0) return;
    const bool bFlipY = how.bFlipY;
    const rle565_sprite& sprite = *sprite_;
    const rle565_target& target = *target_;
    const uint64_t columns = spanOf(x, sprite.width, target.width, how.bFlipX);
    if (columns == 0) return;
    const uint64_t rows = spanOf(y, sprite.height, target.height, bFlipY);
    if (rows == 0) return;
    // Column n lands on origin + n, or mirrored on origin - n; line i on row
    // origin + i or origin - i. Modulo 2^32, which is exact for those inside.
    const auto xOrigin =
        static_cast<uint32_t>(x) + (how.bFlipX ? static_cast<uint32_t>(sprite.width) - 1 : 0);
    const auto top = static_cast<uint32_t>(rows);
    const uint32_t topRow =
        bFlipY ? static_cast<uint32_t>(y) + static_cast<uint32_t>(sprite.height) - 1 - top
               : static_cast<uint32_t>(y) + top;
    const ptrdiff_t stride = target.stride;
    // Every field given: a struct initialised in part may be a call to memset.
    const ClippedLines lines{sprite,
                             target,
                             static_cast<int32_t>(xOrigin),
                             static_cast<uint32_t>(columns),
                             static_cast<uint32_t>(columns >> 32),
                             top,
                             static_cast<uint32_t>(rows >> 32),
                             static_cast<ptrdiff_t>(topRow) * stride,
                             bFlipY ? -stride : stride};
    paintLines(sprite, target.alpha != nullptr, target.flags, lines, how);
}

}  // namespace

}  // namespace RLE565_PAINT_VARIANT
}  // namespace rle565

extern "C" {

void rle565_draw_ex(const rle565_sprite* sprite, const rle565_target* target, int32_t x, int32_t y,
                    const rle565_draw_options* options) {
    rle565::drawAt(sprite, target, x, y, options);
}

void rle565_draw(const rle565_sprite* sprite, const rle565_target* target, int32_t x, int32_t y) {
    rle565::drawAt(sprite, target, x, y, nullptr);
}

size_t rle565_palette_size(const rle565_sprite* sprite, const rle565_target* target,
                           const rle565_draw_options* options) {
    using namespace rle565;
    if (sprite == nullptr || target == nullptr) return 0;
    return PREPARED_HEAD + preparedFor(*sprite, *target, lookOf(options), true).tableBytes;
}

int rle565_palette_prepare(void* memory, size_t size, const rle565_sprite* sprite,
                           const rle565_target* target, const rle565_draw_options* options) {
    using namespace rle565;
    if (memory == nullptr || sprite == nullptr || target == nullptr ||
        (reinterpret_cast<uintptr_t>(memory) & 3) != 0)
        return RLE565_ERR_ARGUMENT;
    const Look look = lookOf(options);
    const PreparedHead head = preparedFor(*sprite, *target, look, true);
    if (size < PREPARED_HEAD + head.tableBytes) return RLE565_ERR_ARGUMENT;
    auto* const bytes = static_cast<uint8_t*>(memory);
#ifdef RLE565_PAINT_HELD
    if (head.tableBytes != 0) {
        void* const tables = bytes + PREPARED_HEAD;
        const bool bSwap = (head.kind & 4u) != 0;
        switch (static_cast<Mode>(head.kind & 3u)) {
            case Mode::COPY:
                prepareTables<Mode::COPY>(tables, *sprite, bSwap, look);
                break;
            case Mode::BLEND:
                prepareTables<Mode::BLEND>(tables, *sprite, bSwap, look);
                break;
            case Mode::ALPHA:
                prepareTables<Mode::ALPHA>(tables, *sprite, bSwap, look);
                break;
        }
    }
#endif
    // Field by field: a whole-struct store may be a call to memcpy.
    auto* const to = reinterpret_cast<PreparedHead*>(bytes);
    to->magic = head.magic;
    to->kind = head.kind;
    to->palette = head.palette;
    to->colors = head.colors;
    to->opacity = head.opacity;
    to->tableBytes = head.tableBytes;
    return RLE565_OK;
}

}  // extern "C"
