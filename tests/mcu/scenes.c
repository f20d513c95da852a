/* Scenes drawn by the runtime, built twice from this one file: for the
 * Cortex-M3 board under qemu and for the desktop. Each scene resets a frame
 * in RAM, draws sprites held as const arrays onto it and prints an FNV-1a
 * checksum of the frame; the test compares the board's lines with the
 * desktop's. Around the frame lie guard pixels that no draw may touch, and
 * scenes that must draw nothing, or something, are checked here on both. */
#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "board.h"

/* Made at build time from BMP images by rle565_add_sprites() (CMakeLists.txt):
 * mcu_sprite, mcu_keyed, mcu_multi and mcu_wide. */
#include "mcu_sprites.h"
#define alpha_rle mcu_sprite
#define keyed_rle mcu_keyed
#define multi_rle mcu_multi
#define wide_rle mcu_wide

enum { ALPHA_SPRITE, KEYED_SPRITE, MULTI_SPRITE, WIDE_SPRITE, SPRITE_COUNT };
static const uint8_t* const sprite_bytes[SPRITE_COUNT] = {alpha_rle, keyed_rle, multi_rle,
                                                          wide_rle};
static const size_t sprite_sizes[SPRITE_COUNT] = {sizeof alpha_rle, sizeof keyed_rle,
                                                  sizeof multi_rle, sizeof wide_rle};
static const char* const sprite_names[SPRITE_COUNT] = {"open-alpha", "open-keyed", "open-multi",
                                                       "open-wide"};
static rle565_sprite sprites[SPRITE_COUNT];

/* The screen, WIDTH x HEIGHT, inside a buffer with GUARD pixels on each side. */
enum { WIDTH = 128, HEIGHT = 96, GUARD = 8, STRIDE = WIDTH + 2 * GUARD, ROWS = HEIGHT + 2 * GUARD };
enum { GUARD_PIXEL = 0x5A5A, GUARD_ALPHA = 0xA5 };
static uint16_t pixels[ROWS * STRIDE];
static uint8_t alphas[ROWS * STRIDE];

/* How a scene's target is made. */
enum {
    PLAIN = 0,        /* the whole screen, partial alpha blended */
    ALPHA_TARGET = 1, /* the whole screen with an alpha array: copied */
    BYTESWAP = 2,     /* the whole screen, high byte first */
    CLIP = 4          /* the sub-rectangle CLIP_* of the screen */
};
enum { CLIP_X = 24, CLIP_Y = 16, CLIP_WIDTH = 60, CLIP_HEIGHT = 40 };

/* What a scene must do to the frame. */
enum { DRAWS, DRAWS_NOTHING };

typedef struct scene {
    const char* name;
    int sprite;
    int32_t x, y;
    unsigned kind;
    int expect;
} scene;

static const scene scenes[] = {
    {"alpha-inside", ALPHA_SPRITE, 30, 16, PLAIN, DRAWS},
    {"alpha-off-left", ALPHA_SPRITE, -37, 10, PLAIN, DRAWS},
    {"alpha-off-right", ALPHA_SPRITE, 101, 20, PLAIN, DRAWS},
    {"alpha-off-top", ALPHA_SPRITE, 12, -45, PLAIN, DRAWS},
    {"alpha-off-bottom", ALPHA_SPRITE, 40, 70, PLAIN, DRAWS},
    {"alpha-off-corner", ALPHA_SPRITE, 90, -30, PLAIN, DRAWS},
    {"alpha-outside-left", ALPHA_SPRITE, -64, 0, PLAIN, DRAWS_NOTHING},
    {"alpha-outside-below", ALPHA_SPRITE, 0, 96, PLAIN, DRAWS_NOTHING},
    {"alpha-far-away", ALPHA_SPRITE, -2000000000, 2000000000, PLAIN, DRAWS_NOTHING},
    {"alpha-copied", ALPHA_SPRITE, 20, 20, ALPHA_TARGET, DRAWS},
    {"alpha-copied-clipped", ALPHA_SPRITE, -20, 50, ALPHA_TARGET, DRAWS},
    {"alpha-swapped", ALPHA_SPRITE, 70, -8, BYTESWAP, DRAWS},
    {"alpha-clip-rect", ALPHA_SPRITE, -10, -12, CLIP, DRAWS},
    {"alpha-clip-rect-far", ALPHA_SPRITE, 40, 20, CLIP, DRAWS},
    {"alpha-clip-rect-outside", ALPHA_SPRITE, 60, 0, CLIP, DRAWS_NOTHING},
    {"alpha-off-every-edge", ALPHA_SPRITE, -2, -12, CLIP, DRAWS},
    {"keyed-inside", KEYED_SPRITE, 5, 5, PLAIN, DRAWS},
    {"keyed-off-left", KEYED_SPRITE, -19, 40, PLAIN, DRAWS},
    {"keyed-off-right", KEYED_SPRITE, 100, 60, PLAIN, DRAWS},
    {"keyed-off-top", KEYED_SPRITE, 50, -21, PLAIN, DRAWS},
    {"keyed-off-bottom", KEYED_SPRITE, 80, 90, PLAIN, DRAWS},
    {"keyed-swapped", KEYED_SPRITE, -5, 80, BYTESWAP, DRAWS},
    {"keyed-copied", KEYED_SPRITE, 100, 3, ALPHA_TARGET, DRAWS},
    {"keyed-swapped-copied", KEYED_SPRITE, 2, -3, BYTESWAP | ALPHA_TARGET, DRAWS},
    {"keyed-clip-rect", KEYED_SPRITE, 40, 25, CLIP, DRAWS},
    {"multi-inside", MULTI_SPRITE, 40, 30, PLAIN, DRAWS},
    {"multi-off-corner", MULTI_SPRITE, -30, -25, PLAIN, DRAWS},
    {"multi-copied", MULTI_SPRITE, 90, 70, ALPHA_TARGET, DRAWS},
    {"multi-swapped-clip-rect", MULTI_SPRITE, 30, -20, BYTESWAP | CLIP, DRAWS},
    {"wide-both-sides", WIDE_SPRITE, -100, 40, PLAIN, DRAWS},
    {"wide-copied", WIDE_SPRITE, -250, 93, ALPHA_TARGET, DRAWS},
    {"wide-clip-rect", WIDE_SPRITE, -77, 7, CLIP, DRAWS},
};

static uint16_t swap_bytes(uint16_t value) { return (uint16_t)(value << 8 | value >> 8); }

/* What the buffer holds at column bu, row bv before a draw. */
static uint16_t initial_pixel(int32_t bu, int32_t bv, unsigned kind) {
    const int32_t u = bu - GUARD;
    const int32_t v = bv - GUARD;
    if (u < 0 || u >= WIDTH || v < 0 || v >= HEIGHT) return GUARD_PIXEL;
    const uint16_t color =
        (uint16_t)(((u * 7 + v * 3) & 31) << 11 | ((u ^ v) & 63) << 5 | (v & 31));
    return kind & BYTESWAP ? swap_bytes(color) : color;
}

static uint8_t initial_alpha(int32_t bu, int32_t bv) {
    const int32_t u = bu - GUARD;
    const int32_t v = bv - GUARD;
    if (u < 0 || u >= WIDTH || v < 0 || v >= HEIGHT) return GUARD_ALPHA;
    return (uint8_t)((u + v) % 33);
}

static void reset_frame(unsigned kind) {
    for (int32_t bv = 0; bv < ROWS; ++bv) {
        for (int32_t bu = 0; bu < STRIDE; ++bu) {
            pixels[bv * STRIDE + bu] = initial_pixel(bu, bv, kind);
            alphas[bv * STRIDE + bu] = initial_alpha(bu, bv);
        }
    }
}

/* The target's rectangle in buffer coordinates. */
typedef struct rect {
    int32_t x, y, width, height;
} rect;

static rect target_rect(unsigned kind) {
    const rect clip = {GUARD + CLIP_X, GUARD + CLIP_Y, CLIP_WIDTH, CLIP_HEIGHT};
    const rect screen = {GUARD, GUARD, WIDTH, HEIGHT};
    return kind & CLIP ? clip : screen;
}

/* Counts the pixels (and alphas) outside r that differ from the reset frame,
 * and sets *changed_inside when any inside r differs. */
static uint32_t count_changes(rect r, unsigned kind, int* changed_inside) {
    uint32_t outside = 0;
    *changed_inside = 0;
    for (int32_t bv = 0; bv < ROWS; ++bv) {
        for (int32_t bu = 0; bu < STRIDE; ++bu) {
            const int changed = pixels[bv * STRIDE + bu] != initial_pixel(bu, bv, kind) ||
                                alphas[bv * STRIDE + bu] != initial_alpha(bu, bv);
            const int inside = bu >= r.x && bu < r.x + r.width && bv >= r.y && bv < r.y + r.height;
            if (changed && inside) *changed_inside = 1;
            if (changed && !inside) ++outside;
        }
    }
    return outside;
}

/* FNV-1a over every pixel (low byte first) and every alpha of the buffer. */
static uint32_t frame_checksum(void) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < (size_t)ROWS * STRIDE; ++i) {
        hash = (hash ^ (uint8_t)pixels[i]) * 16777619u;
        hash = (hash ^ (uint8_t)(pixels[i] >> 8)) * 16777619u;
        hash = (hash ^ alphas[i]) * 16777619u;
    }
    return hash;
}

static int run_scene(const scene* s) {
    reset_frame(s->kind);
    const rect r = target_rect(s->kind);
    const rle565_target target = {pixels + r.y * STRIDE + r.x,
                                  s->kind & ALPHA_TARGET ? alphas + r.y * STRIDE + r.x : NULL,
                                  STRIDE,
                                  r.width,
                                  r.height,
                                  s->kind & BYTESWAP ? RLE565_TARGET_BYTESWAP : 0u};
    rle565_draw(&sprites[s->sprite], &target, s->x, s->y);
    board_print_hex(s->name, frame_checksum());
    int changed_inside = 0;
    const uint32_t outside = count_changes(r, s->kind, &changed_inside);
    if (outside != 0) {
        board_print_hex("FAIL pixels changed outside the target", outside);
        return 1;
    }
    if (changed_inside != (s->expect == DRAWS)) {
        board_print(s->expect == DRAWS ? "FAIL nothing drawn\n" : "FAIL something drawn\n");
        return 1;
    }
    return 0;
}

/* Targets that draw nothing: no pixels, no width, a negative height. */
static int run_empty_targets(void) {
    reset_frame(PLAIN);
    const rle565_target targets[] = {
        {NULL, NULL, STRIDE, WIDTH, HEIGHT, 0},
        {pixels, NULL, STRIDE, 0, HEIGHT, 0},
        {pixels, alphas, STRIDE, WIDTH, -1, 0},
    };
    for (size_t i = 0; i < sizeof targets / sizeof targets[0]; ++i) {
        rle565_draw(&sprites[ALPHA_SPRITE], &targets[i], 0, 0);
    }
    int changed_inside = 0;
    const rect nothing = {0, 0, 0, 0};
    const uint32_t changed = count_changes(nothing, PLAIN, &changed_inside);
    board_print_hex("empty-targets", changed);
    return changed != 0;
}

int main(void) {
    int failures = 0;
    for (int i = 0; i < SPRITE_COUNT; ++i) {
        const int error = rle565_sprite_open(&sprites[i], sprite_bytes[i], sprite_sizes[i]);
        board_print_hex(sprite_names[i], (uint32_t)error);
        if (error != RLE565_OK) return 1;
    }
    /* A cut file is refused: no header, and the last line's codes missing. */
    rle565_sprite cut;
    board_print_hex("open-header-only", (uint32_t)rle565_sprite_open(&cut, alpha_rle, 11));
    board_print_hex("open-cut",
                    (uint32_t)rle565_sprite_open(&cut, alpha_rle, sizeof alpha_rle - 1));
    for (size_t i = 0; i < sizeof scenes / sizeof scenes[0]; ++i) failures += run_scene(&scenes[i]);
    failures += run_empty_targets();
    board_print_hex("failures", (uint32_t)failures);
    return failures != 0;
}
