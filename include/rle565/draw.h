/* The drawing runtime: draws RLE sprites straight from their file bytes,
 * held in RAM or flash, onto 16-bit RGB565 frames, clipped on all four sides.
 *
 * C99 and C++. It allocates nothing, copies nothing, keeps no state between
 * calls and needs no library beyond <stddef.h> and <stdint.h>, so it links
 * into firmware built with -ffreestanding as well as into desktop engines.
 *
 *     rle565_sprite hero;
 *     if (rle565_sprite_open(&hero, hero_rle, sizeof hero_rle) != RLE565_OK) ...
 *     rle565_target frame = {pixels, NULL, 320, 320, 240, 0};
 *     rle565_draw(&hero, &frame, x, y);
 */
#ifndef RLE565_DRAW_H
#define RLE565_DRAW_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What rle565_sprite_open found wrong with the bytes; 0 is a sound file. The
 * checks, and which fault is found first, are those of the converter's
 * loader. rle565_error_text gives each its text. */
typedef enum rle565_error {
    RLE565_OK = 0,
    RLE565_ERR_ARGUMENT,     /* a null sprite, or null bytes with a size */
    RLE565_ERR_HEADER,       /* fewer than 12 bytes, or no "RL" magic */
    RLE565_ERR_PALETTE,      /* the palette tables reach past the file */
    RLE565_ERR_LENGTH_TABLE, /* the line-length table reaches past the file */
    RLE565_ERR_LINE_BLOCK,   /* a line's codes reach past the file */
    RLE565_ERR_LINE_LENGTH,  /* a code reaches past its line's length */
    RLE565_ERR_OVERSHOOT,    /* a run passes the end of the line */
    RLE565_ERR_ENTRY,        /* a code names an entry beyond the palette */
    RLE565_ERR_TOO_FEW,      /* a line covers fewer pixels than the width */
    RLE565_ERR_TOO_LARGE     /* more than 4 GiB after the header */
} rle565_error;

/* A checked, non-owning view of an RLE file's bytes. The bytes must stay in
 * place, unchanged, for as long as the view is used. The fields are set by
 * rle565_sprite_open and read by rle565_draw; callers may read width,
 * height and flags. */
typedef struct rle565_sprite {
    int32_t width;
    int32_t height;
    uint32_t flags;         /* bit 0: alpha palette, bit 1: multi-palette */
    uint32_t palette_size;  /* entries, entry 0 (transparent) included */
    const uint8_t* palette; /* palette_size little-endian RGB565 colours */
    const uint8_t* alphas;  /* palette_size alphas 0..32, or NULL: all opaque */
    const uint8_t* lengths; /* the line-length table, one entry per line */
    const uint8_t* codes;   /* the top line's codes; the others follow */
    const uint8_t* end;     /* one past the file's last byte */
    int32_t fault_line;     /* the line of the fault found by open, else -1 */
} rle565_sprite;

/* rle565_target.flags: the frame holds RGB565 values high byte first (as
 * SPI displays take them), read and written as such. */
#define RLE565_TARGET_BYTESWAP 1u

/* A frame to draw into; it points at the caller's arrays and owns nothing.
 * The pixel in column u of row v is pixels[v * stride + u], its alpha
 * alpha[v * stride + u]. With alpha NULL, partial alpha is blended into the
 * pixels and transparent pixels leave them alone; with an alpha array,
 * colours and alphas are copied. A clip rectangle is a target whose pixels
 * (and alpha) point into a sub-rectangle of a larger frame, with its stride.
 * The stride is at least the width; nothing outside the width x height
 * pixels (and alphas) is read or written. */
typedef struct rle565_target {
    uint16_t* pixels;
    uint8_t* alpha;
    int32_t stride;
    int32_t width;
    int32_t height;
    uint32_t flags;
} rle565_target;

/* Checks that `size` bytes at `bytes` are a sound RLE file and sets up the
 * view. Returns RLE565_OK, or the first fault (the view is then unusable). */
int rle565_sprite_open(rle565_sprite* sprite, const void* bytes, size_t size);

/* The text of an rle565_error value, for any value. */
const char* rle565_error_text(int error);

/* Draws the sprite with its top-left pixel at (x, y), clipped to the target:
 * any x and y, a sprite wholly outside draws nothing. A target with a null
 * pixels pointer, or a width or height of 0 or less, draws nothing. With
 * SSE2 a draw resolves the palette into a table on the stack (at most about
 * 2.3 KiB, when alpha is blended into the pixels), or takes a prepared one
 * (below); without SSE2 (microcontrollers) it reads colours and alphas from
 * the file as it paints and builds no table: a few hundred bytes of stack
 * in all (under 512 on a Cortex-M3 at -O2, under 300 in builds for size,
 * -Os or RLE565_DRAW_COMPACT). */
void rle565_draw(const rle565_sprite* sprite, const rle565_target* target, int32_t x, int32_t y);

/* rle565_draw_options.flags. */
#define RLE565_DRAW_FLIP_X 1u  /* each line mirrored: column n lands on width - 1 - n */
#define RLE565_DRAW_FLIP_Y 2u  /* the lines bottom to top */
#define RLE565_DRAW_OPACITY 4u /* every alpha a becomes a * opacity / 32, rounded down */

/* How rle565_draw_ex draws; all zeros draws as rle565_draw. */
typedef struct rle565_draw_options {
    uint32_t flags;
    /* When not NULL, palette_size RGB565 colours that replace the sprite's
     * own entry for entry; entry 0 stays the sprite's (transparent), and
     * alphas stay the sprite's. */
    const uint16_t* colors;
    /* 0 (nothing drawn) to 32 (as without), with RLE565_DRAW_OPACITY. */
    uint32_t opacity;
    /* A palette made by rle565_palette_prepare for this sprite, this kind of
     * target and these colors and opacity, or NULL. One made for anything
     * else is not used: the draw then resolves its own. */
    const void* palette;
} rle565_draw_options;

/* rle565_draw with options: flipped, with other colours, faded, with a
 * prepared palette. (x, y) stays the top-left corner of the drawn
 * rectangle; clipped as rle565_draw. A null options draws as rle565_draw. */
void rle565_draw_ex(const rle565_sprite* sprite, const rle565_target* target, int32_t x, int32_t y,
                    const rle565_draw_options* options);

/* The bytes a prepared palette of this sprite takes for drawing onto targets
 * like `target` (whether it has an alpha array, its flags): at most about
 * 2.3 KiB. Options may be NULL; only their colors and opacity count. Tables
 * are prepared, with SSE2, for sprites whose lines keep one palette (every
 * single-palette file the converter writes): the sprite's codes are walked
 * once to tell. Other sprites, and builds without SSE2 or for size, which
 * draw without tables, take a few dozen bytes and draw as without. */
size_t rle565_palette_size(const rle565_sprite* sprite, const rle565_target* target,
                           const rle565_draw_options* options);

/* Resolves the sprite's palette once, for targets like `target` and the
 * options' colors and opacity, into `size` bytes at `memory` (aligned to 4
 * bytes), so that draws given it in their options build no table of their
 * own. The memory must stay in place, unchanged, while draws use it, and
 * the sprite's bytes and the colors with it. Returns RLE565_OK, or
 * RLE565_ERR_ARGUMENT when an argument is null, the memory is too small or
 * not aligned. Drawing with it gives the same pixels as without. */
int rle565_palette_prepare(void* memory, size_t size, const rle565_sprite* sprite,
                           const rle565_target* target, const rle565_draw_options* options);

#ifdef __cplusplus
}
#endif

#endif /* RLE565_DRAW_H */
