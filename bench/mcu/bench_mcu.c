/* The drawing runtime against the raw loops it replaces, on the Cortex-M3
 * board that qemu-system-arm -M mps2-an385 models, run with -icount shift=0
 * so that every instruction takes the same time: SysTick, counting the
 * processor's clock, then counts instructions (one tick every 40 on this
 * board; the calibration below checks that against loops of known length).
 *
 * Each sprite is held twice in flash: as its RLE file and as raw RGB565
 * pixels (with an alpha byte a pixel for alpha sprites). The raw pixels are
 * drawn by the loops a firmware would write: a keyed copy that skips the
 * colour key, a row copy for opaque pictures and a blend with shortcuts for
 * alpha 0 and 32. Both draw the same places, inside and half off each edge
 * of a 320x240 frame, and must leave the same frame. One line a
 * measurement, read by run_mcu:
 *
 *   calibrate N TICKS                a loop of N iterations of two instructions
 *   draw SPRITE PLACE VISIBLE REPS RLE RAW SAME
 *                                    instructions of REPS draws each, less the
 *                                    cost of calling an empty draw
 *   open SPRITE REPS INSTRUCTIONS    rle565_sprite_open
 *   strips SCENE REPS WHOLE BANDS SAME
 *                                    a frame drawn whole and in bands of 16 rows
 *   done FAILURES
 */
#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "board.h"

enum { KEYED, ALPHA, OPAQUE };

typedef struct bench_sprite {
    const char* name;
    int32_t width, height;
    int kind;
    const uint8_t* rle;
    size_t rle_size;
    const uint16_t* raw;
    const uint8_t* alpha;
} bench_sprite;

#include "sprites.h"

enum { SPRITE_COUNT = sizeof bench_sprites / sizeof bench_sprites[0] };
enum { W = 320, H = 240, BAND = 16, KEY = 0xF81F };

static uint16_t frame[W * H];
static uint16_t other[W * H];
static uint16_t band[W * BAND];
static rle565_sprite opened[SPRITE_COUNT];
static uint32_t failures;

/* SysTick, counting down from 2^24 - 1 at the processor clock. */
#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)
enum { INSTRUCTIONS_PER_TICK = 40 };

static uint32_t ticks_since(uint32_t start) { return (start - SYST_CVR) & 0xFFFFFFu; }

/* ---- output ---- */

static void print_text(char* line, size_t* n, const char* text) {
    while (*text) line[(*n)++] = *text++;
}

static void print_number(char* line, size_t* n, uint32_t value) {
    char digits[10];
    size_t k = 0;
    do {
        digits[k++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    line[(*n)++] = ' ';
    while (k > 0) line[(*n)++] = digits[--k];
}

static void print_line(const char* head, const char* a, const char* b, const uint32_t* values,
                       size_t count) {
    char line[160];
    size_t n = 0;
    print_text(line, &n, head);
    if (a) {
        line[n++] = ' ';
        print_text(line, &n, a);
    }
    if (b) {
        line[n++] = ' ';
        print_text(line, &n, b);
    }
    for (size_t i = 0; i < count; ++i) print_number(line, &n, values[i]);
    line[n++] = '\n';
    line[n] = 0;
    board_print(line);
}

/* ---- frames ---- */

static uint16_t background_pixel(int32_t u, int32_t v) {
    return (uint16_t)(((u * 7 + v * 3) & 31) << 11 | ((u ^ v) & 63) << 5 | (v & 31));
}

static void reset(uint16_t* f) {
    for (int32_t v = 0; v < H; ++v)
        for (int32_t u = 0; u < W; ++u) f[v * W + u] = background_pixel(u, v);
}

static int same_frames(void) {
    for (size_t i = 0; i < (size_t)W * H; ++i)
        if (frame[i] != other[i]) return 0;
    return 1;
}

/* ---- the raw loops ---- */

typedef struct span {
    int32_t u0, u1, v0, v1; /* the frame's columns and rows that the sprite covers */
} span;

static span clip(const bench_sprite* s, int32_t x, int32_t y) {
    span r = {x < 0 ? 0 : x, x + s->width > W ? W : x + s->width, y < 0 ? 0 : y,
              y + s->height > H ? H : y + s->height};
    if (r.u1 < r.u0) r.u1 = r.u0;
    if (r.v1 < r.v0) r.v1 = r.v0;
    return r;
}

/* Copies n pixels as memcpy would: words where both rows allow them. */
static void copy_row(uint16_t* dst, const uint16_t* src, int32_t n) {
    if ((((uintptr_t)dst ^ (uintptr_t)src) & 2) == 0) {
        if (((uintptr_t)dst & 2) != 0 && n > 0) {
            *dst++ = *src++;
            --n;
        }
        uint32_t* d = (uint32_t*)(void*)dst;
        const uint32_t* s = (const uint32_t*)(const void*)src;
        for (; n >= 2; n -= 2) *d++ = *s++;
        dst = (uint16_t*)(void*)d;
        src = (const uint16_t*)(const void*)s;
    }
    for (int32_t i = 0; i < n; ++i) dst[i] = src[i];
}

static void raw_draw(const bench_sprite* s, uint16_t* f, int32_t x, int32_t y) {
    const span r = clip(s, x, y);
    const int32_t n = r.u1 - r.u0;
    for (int32_t v = r.v0; v < r.v1; ++v) {
        const size_t at = (size_t)(v - y) * (size_t)s->width + (size_t)(r.u0 - x);
        const uint16_t* src = s->raw + at;
        uint16_t* dst = f + v * W + r.u0;
        if (s->kind == OPAQUE) {
            copy_row(dst, src, n);
        } else if (s->kind == KEYED) {
            for (int32_t i = 0; i < n; ++i) {
                const uint16_t c = src[i];
                if (c != KEY) dst[i] = c;
            }
        } else {
            const uint8_t* alpha = s->alpha + at;
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t a = alpha[i];
                if (a == 0) continue;
                if (a >= 32) {
                    dst[i] = src[i];
                    continue;
                }
                const uint32_t sc = (src[i] | (uint32_t)src[i] << 16) & 0x07E0F81Fu;
                const uint32_t dc = (dst[i] | (uint32_t)dst[i] << 16) & 0x07E0F81Fu;
                const uint32_t m = ((sc * a + dc * (32 - a)) >> 5) & 0x07E0F81Fu;
                dst[i] = (uint16_t)(m | m >> 16);
            }
        }
    }
}

/* ---- measurements ---- */

typedef void (*draw_fn)(int index, uint16_t* f, int32_t x, int32_t y);

static void draw_rle(int index, uint16_t* f, int32_t x, int32_t y) {
    const rle565_target target = {f, NULL, W, W, H, 0};
    rle565_draw(&opened[index], &target, x, y);
}

static void draw_raw(int index, uint16_t* f, int32_t x, int32_t y) {
    raw_draw(&bench_sprites[index], f, x, y);
}

static void draw_none(int index, uint16_t* f, int32_t x, int32_t y) {
    (void)index;
    (void)f;
    (void)x;
    (void)y;
}

/* Instructions of 1000 calls of an empty draw, loop included. */
static uint32_t empty_cost;

/* Instructions of reps draws, less the calls' own cost. */
static uint32_t measure(draw_fn draw, int index, int32_t x, int32_t y, uint32_t reps) {
    reset(frame);
    const uint32_t start = SYST_CVR;
    for (uint32_t i = 0; i < reps; ++i) draw(index, frame, x, y);
    const uint32_t spent = ticks_since(start) * INSTRUCTIONS_PER_TICK;
    const uint32_t calls = empty_cost * reps / 1000;
    return spent > calls ? spent - calls : 0;
}

/* Two instructions an iteration. GCC writes ARMv6-M code in the older
 * syntax, where a 16-bit sub sets the flags without saying so. */
static void loop(uint32_t n) {
#if defined(__ARM_ARCH_6M__)
    __asm__ volatile("1: sub %0, #1\n\tbne 1b" : "+l"(n)::"cc");
#else
    __asm__ volatile("1: subs %0, %0, #1\n\tbne 1b" : "+l"(n)::"cc");
#endif
}

static void calibrate(void) {
    for (uint32_t n = 1000; n <= 1000000; n *= 10) {
        const uint32_t start = SYST_CVR;
        loop(n);
        const uint32_t values[2] = {n, ticks_since(start)};
        print_line("calibrate", NULL, NULL, values, 2);
    }
}

enum { PLACE_COUNT = 5 };
static const char* const place_names[PLACE_COUNT] = {"inside", "left", "right", "top", "bottom"};

static void place(const bench_sprite* s, int p, int32_t* x, int32_t* y) {
    *x = (W - s->width) / 2;
    *y = (H - s->height) / 2;
    if (p == 1) *x = -s->width / 2;
    if (p == 2) *x = W - s->width / 2;
    if (p == 3) *y = -s->height / 2;
    if (p == 4) *y = H - s->height / 2;
}

static void bench_sprite_draws(int index) {
    const bench_sprite* s = &bench_sprites[index];
    const uint32_t reps = s->width * s->height > 64 * 64 ? 4 : 40;
    for (int p = 0; p < PLACE_COUNT; ++p) {
        int32_t x, y;
        place(s, p, &x, &y);
        const span r = clip(s, x, y);
        const uint32_t rle = measure(draw_rle, index, x, y, reps);
        const uint32_t raw = measure(draw_raw, index, x, y, reps);
        reset(frame);
        reset(other);
        draw_rle(index, frame, x, y);
        draw_raw(index, other, x, y);
        const int same = same_frames();
        if (!same) ++failures;
        const uint32_t values[5] = {(uint32_t)((r.u1 - r.u0) * (r.v1 - r.v0)), reps, rle, raw,
                                    (uint32_t)same};
        print_line("draw", s->name, place_names[p], values, 5);
    }
}

static void bench_open(int index) {
    const bench_sprite* s = &bench_sprites[index];
    enum { REPS = 10 };
    rle565_sprite view;
    const uint32_t start = SYST_CVR;
    for (int i = 0; i < REPS; ++i) {
        if (rle565_sprite_open(&view, s->rle, s->rle_size) != RLE565_OK) ++failures;
    }
    const uint32_t values[2] = {REPS, ticks_since(start) * INSTRUCTIONS_PER_TICK};
    print_line("open", s->name, NULL, values, 2);
}

/* ---- strips ---- */

/* A scene of several sprites: a panel behind, the background picture, an
 * alpha sprite and keyed sprites, some across the frame's edges. */
typedef struct placed {
    const char* name;
    int32_t x, y;
} placed;
static const placed scene[] = {{"panel", 0, 0},       {"background", 40, 60},
                               {"alpha64", 120, 90},  {"shaded64", 230, 170},
                               {"dithered32", -10, 5}, {"outlined64", 280, -20}};
enum { SCENE_COUNT = sizeof scene / sizeof scene[0] };

static int find(const char* name) {
    for (int i = 0; i < SPRITE_COUNT; ++i) {
        const char* a = bench_sprites[i].name;
        const char* b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return i;
    }
    return 0;
}

static void draw_scene_whole(void) {
    const rle565_target target = {frame, NULL, W, W, H, 0};
    for (int i = 0; i < SCENE_COUNT; ++i)
        rle565_draw(&opened[find(scene[i].name)], &target, scene[i].x, scene[i].y);
}

/* The same scene, a band of 16 rows at a time, as a display without a whole
 * frame of RAM is fed: the band is filled from `other`, drawn on and copied
 * back. */
static void draw_scene_bands(void) {
    for (int32_t top = 0; top < H; top += BAND) {
        for (int32_t i = 0; i < W * BAND; ++i) band[i] = other[top * W + i];
        const rle565_target target = {band, NULL, W, W, BAND, 0};
        for (int i = 0; i < SCENE_COUNT; ++i)
            rle565_draw(&opened[find(scene[i].name)], &target, scene[i].x, scene[i].y - top);
        for (int32_t i = 0; i < W * BAND; ++i) other[top * W + i] = band[i];
    }
}

static void bench_strips(void) {
    enum { REPS = 2 };
    reset(frame);
    uint32_t start = SYST_CVR;
    for (int i = 0; i < REPS; ++i) draw_scene_whole();
    const uint32_t whole = ticks_since(start) * INSTRUCTIONS_PER_TICK;
    reset(other);
    start = SYST_CVR;
    for (int i = 0; i < REPS; ++i) draw_scene_bands();
    const uint32_t bands = ticks_since(start) * INSTRUCTIONS_PER_TICK;
    reset(frame);
    reset(other);
    draw_scene_whole();
    draw_scene_bands();
    const int same = same_frames();
    if (!same) ++failures;
    const uint32_t values[4] = {REPS, whole, bands, (uint32_t)same};
    print_line("strips", "scene", NULL, values, 4);
}

int main(void) {
    SYST_RVR = 0xFFFFFFu;
    SYST_CVR = 0;
    SYST_CSR = 5; /* enabled, processor clock, no interrupt */
    calibrate();
    empty_cost = measure(draw_none, 0, 0, 0, 1000);
    for (int i = 0; i < SPRITE_COUNT; ++i) {
        if (rle565_sprite_open(&opened[i], bench_sprites[i].rle, bench_sprites[i].rle_size) !=
            RLE565_OK)
            ++failures;
    }
    for (int i = 0; i < SPRITE_COUNT; ++i) {
        bench_open(i);
        bench_sprite_draws(i);
    }
    bench_strips();
    const uint32_t values[1] = {failures};
    print_line("done", NULL, NULL, values, 1);
    return failures != 0;
}
