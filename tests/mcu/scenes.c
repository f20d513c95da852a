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

/* The options a scene draws with, by rle565_draw_ex; NO_OPTIONS draws by
 * rle565_draw. RECOLORED gives every entry another colour (recolor below),
 * PREPARED draws with a palette prepared for the scene's target first. */
enum {
    NO_OPTIONS,
    FLIP_X,
    FLIP_Y,
    FLIP_BOTH,
    RECOLORED,
    FADED,
    FADED_OUT,
    PREPARED,
    PREPARED_RECOLORED_FADED,
    EVERYTHING
};

typedef struct scene {
    const char* name;
    int sprite;
    int32_t x, y;
    unsigned kind;
    int expect;
    int options;
} scene;

static const scene scenes[] = {
    {"alpha-inside", ALPHA_SPRITE, 30, 16, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-off-left", ALPHA_SPRITE, -37, 10, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-off-right", ALPHA_SPRITE, 101, 20, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-off-top", ALPHA_SPRITE, 12, -45, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-off-bottom", ALPHA_SPRITE, 40, 70, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-off-corner", ALPHA_SPRITE, 90, -30, PLAIN, DRAWS, NO_OPTIONS},
    {"alpha-outside-left", ALPHA_SPRITE, -64, 0, PLAIN, DRAWS_NOTHING, NO_OPTIONS},
    {"alpha-outside-below", ALPHA_SPRITE, 0, 96, PLAIN, DRAWS_NOTHING, NO_OPTIONS},
    {"alpha-far-away", ALPHA_SPRITE, -2000000000, 2000000000, PLAIN, DRAWS_NOTHING, NO_OPTIONS},
    {"alpha-copied", ALPHA_SPRITE, 20, 20, ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"alpha-copied-clipped", ALPHA_SPRITE, -20, 50, ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"alpha-swapped", ALPHA_SPRITE, 70, -8, BYTESWAP, DRAWS, NO_OPTIONS},
    {"alpha-clip-rect", ALPHA_SPRITE, -10, -12, CLIP, DRAWS, NO_OPTIONS},
    {"alpha-clip-rect-far", ALPHA_SPRITE, 40, 20, CLIP, DRAWS, NO_OPTIONS},
    {"alpha-clip-rect-outside", ALPHA_SPRITE, 60, 0, CLIP, DRAWS_NOTHING, NO_OPTIONS},
    {"alpha-off-every-edge", ALPHA_SPRITE, -2, -12, CLIP, DRAWS, NO_OPTIONS},
    {"keyed-inside", KEYED_SPRITE, 5, 5, PLAIN, DRAWS, NO_OPTIONS},
    {"keyed-off-left", KEYED_SPRITE, -19, 40, PLAIN, DRAWS, NO_OPTIONS},
    {"keyed-off-right", KEYED_SPRITE, 100, 60, PLAIN, DRAWS, NO_OPTIONS},
    {"keyed-off-top", KEYED_SPRITE, 50, -21, PLAIN, DRAWS, NO_OPTIONS},
    {"keyed-off-bottom", KEYED_SPRITE, 80, 90, PLAIN, DRAWS, NO_OPTIONS},
    {"keyed-swapped", KEYED_SPRITE, -5, 80, BYTESWAP, DRAWS, NO_OPTIONS},
    {"keyed-copied", KEYED_SPRITE, 100, 3, ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"keyed-swapped-copied", KEYED_SPRITE, 2, -3, BYTESWAP | ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"keyed-clip-rect", KEYED_SPRITE, 40, 25, CLIP, DRAWS, NO_OPTIONS},
    {"multi-inside", MULTI_SPRITE, 40, 30, PLAIN, DRAWS, NO_OPTIONS},
    {"multi-off-corner", MULTI_SPRITE, -30, -25, PLAIN, DRAWS, NO_OPTIONS},
    {"multi-copied", MULTI_SPRITE, 90, 70, ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"multi-swapped-clip-rect", MULTI_SPRITE, 30, -20, BYTESWAP | CLIP, DRAWS, NO_OPTIONS},
    {"wide-both-sides", WIDE_SPRITE, -100, 40, PLAIN, DRAWS, NO_OPTIONS},
    {"wide-copied", WIDE_SPRITE, -250, 93, ALPHA_TARGET, DRAWS, NO_OPTIONS},
    {"wide-clip-rect", WIDE_SPRITE, -77, 7, CLIP, DRAWS, NO_OPTIONS},
    {"alpha-flip-x", ALPHA_SPRITE, -20, 10, PLAIN, DRAWS, FLIP_X},
    {"alpha-flip-y-clip-rect", ALPHA_SPRITE, 10, -30, CLIP, DRAWS, FLIP_Y},
    {"alpha-flip-both-copied", ALPHA_SPRITE, 90, 50, ALPHA_TARGET, DRAWS, FLIP_BOTH},
    {"keyed-flip-x-swapped", KEYED_SPRITE, 110, 20, BYTESWAP, DRAWS, FLIP_X},
    {"keyed-flip-both", KEYED_SPRITE, -7, -9, PLAIN, DRAWS, FLIP_BOTH},
    {"multi-flip-x-clip-rect", MULTI_SPRITE, 50, 30, CLIP, DRAWS, FLIP_X},
    {"wide-flip-both", WIDE_SPRITE, -90, 60, PLAIN, DRAWS, FLIP_BOTH},
    {"keyed-recolored", KEYED_SPRITE, 30, 30, PLAIN, DRAWS, RECOLORED},
    {"alpha-recolored-copied", ALPHA_SPRITE, 20, 40, ALPHA_TARGET, DRAWS, RECOLORED},
    {"multi-recolored", MULTI_SPRITE, 70, -10, PLAIN, DRAWS, RECOLORED},
    {"alpha-faded", ALPHA_SPRITE, 30, 20, PLAIN, DRAWS, FADED},
    {"keyed-faded-swapped", KEYED_SPRITE, 60, 50, BYTESWAP, DRAWS, FADED},
    {"keyed-faded-copied", KEYED_SPRITE, -10, 70, ALPHA_TARGET, DRAWS, FADED},
    {"alpha-faded-out", ALPHA_SPRITE, 30, 20, PLAIN, DRAWS_NOTHING, FADED_OUT},
    {"keyed-prepared", KEYED_SPRITE, 44, 8, PLAIN, DRAWS, PREPARED},
    {"alpha-prepared-swapped", ALPHA_SPRITE, 80, 40, BYTESWAP, DRAWS, PREPARED},
    {"alpha-prepared-copied", ALPHA_SPRITE, -30, -20, ALPHA_TARGET, DRAWS, PREPARED},
    {"multi-prepared", MULTI_SPRITE, 10, 60, PLAIN, DRAWS, PREPARED},
    {"keyed-prepared-recolored-faded", KEYED_SPRITE, 100, 80, PLAIN, DRAWS,
     PREPARED_RECOLORED_FADED},
    {"alpha-everything-clip-rect", ALPHA_SPRITE, 20, -5, CLIP, DRAWS, EVERYTHING},
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

/* Another colour for every colour, for the RECOLORED scenes. */
static uint16_t recolor(uint16_t c) { return (uint16_t)(c * 40503u + 7u); }

static uint16_t colors[1024];
static uint32_t prepared[1024];

/* Draws a scene's sprite with its options. */
static void draw_with(const scene* s, const rle565_target* target) {
    const rle565_sprite* sprite = &sprites[s->sprite];
    if (s->options == NO_OPTIONS) {
        rle565_draw(sprite, target, s->x, s->y);
        return;
    }
    for (uint32_t e = 0; e < sprite->palette_size && e < 1024; ++e)
        colors[e] = recolor((uint16_t)(sprite->palette[2 * e] | sprite->palette[2 * e + 1] << 8));
    rle565_draw_options options = {0, NULL, 0, NULL};
    switch (s->options) {
        case FLIP_X:
            options.flags = RLE565_DRAW_FLIP_X;
            break;
        case FLIP_Y:
            options.flags = RLE565_DRAW_FLIP_Y;
            break;
        case FLIP_BOTH:
            options.flags = RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y;
            break;
        case RECOLORED:
            options.colors = colors;
            break;
        case FADED:
            options.flags = RLE565_DRAW_OPACITY;
            options.opacity = 13;
            break;
        case FADED_OUT:
            options.flags = RLE565_DRAW_OPACITY;
            options.opacity = 0;
            break;
        case PREPARED_RECOLORED_FADED:
            options.colors = colors;
            options.flags = RLE565_DRAW_OPACITY;
            options.opacity = 22;
            break;
        case EVERYTHING:
            options.colors = colors;
            options.flags = RLE565_DRAW_OPACITY | RLE565_DRAW_FLIP_X | RLE565_DRAW_FLIP_Y;
            options.opacity = 27;
            break;
        default:
            break;
    }
    if (s->options == PREPARED || s->options == PREPARED_RECOLORED_FADED) {
        if (rle565_palette_size(sprite, target, &options) > sizeof prepared ||
            rle565_palette_prepare(prepared, sizeof prepared, sprite, target, &options) !=
                RLE565_OK) {
            board_print("FAIL no prepared palette\n");
            return;
        }
        options.palette = prepared;
    }
    rle565_draw_ex(sprite, target, s->x, s->y, &options);
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
    draw_with(s, &target);
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

/* A frame of several sprites drawn whole, then in bands of 16 rows as a
 * display without a whole frame of RAM is fed: each band a target of its
 * own, whose pixels are the band's and whose y is shifted. Both must give
 * the same frame. */
enum { BAND = 16 };
static uint16_t band[WIDTH * BAND];

static const scene strip_scene[] = {
    {"", WIDE_SPRITE, -40, 3, PLAIN, DRAWS, FLIP_X},
    {"", ALPHA_SPRITE, 20, -12, PLAIN, DRAWS, NO_OPTIONS},
    {"", KEYED_SPRITE, 70, 30, PLAIN, DRAWS, FLIP_Y},
    {"", MULTI_SPRITE, 95, 70, PLAIN, DRAWS, RECOLORED},
    {"", ALPHA_SPRITE, -10, 55, PLAIN, DRAWS, FADED},
};

static int run_strips(void) {
    enum { COUNT = sizeof strip_scene / sizeof strip_scene[0] };
    reset_frame(PLAIN);
    const rle565_target whole = {pixels + GUARD * STRIDE + GUARD, NULL, STRIDE, WIDTH, HEIGHT, 0};
    for (int i = 0; i < COUNT; ++i) draw_with(&strip_scene[i], &whole);
    const uint32_t expected = frame_checksum();
    reset_frame(PLAIN);
    for (int32_t top = 0; top < HEIGHT; top += BAND) {
        for (int32_t v = 0; v < BAND; ++v)
            for (int32_t u = 0; u < WIDTH; ++u)
                band[v * WIDTH + u] = pixels[(GUARD + top + v) * STRIDE + GUARD + u];
        const rle565_target target = {band, NULL, WIDTH, WIDTH, BAND, 0};
        for (int i = 0; i < COUNT; ++i) {
            scene shifted = strip_scene[i];
            shifted.y -= top;
            draw_with(&shifted, &target);
        }
        for (int32_t v = 0; v < BAND; ++v)
            for (int32_t u = 0; u < WIDTH; ++u)
                pixels[(GUARD + top + v) * STRIDE + GUARD + u] = band[v * WIDTH + u];
    }
    const uint32_t banded = frame_checksum();
    board_print_hex("strips", banded);
    if (banded != expected) {
        board_print_hex("FAIL the frame drawn whole", expected);
        return 1;
    }
    return 0;
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
    failures += run_strips();
    board_print_hex("failures", (uint32_t)failures);
    return failures != 0;
}
