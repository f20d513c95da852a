/* A firmware-style use of the drawing runtime: a sprite made by the converter
 * at build time and embedded as a const array (it stays in flash), drawn
 * onto a frame in RAM for a 160 x 128 SPI display, which takes its RGB565
 * values high byte first. No allocation, no call into the C library:
 * <rle565/draw.h> needs only <stddef.h> and <stdint.h>.
 *
 * The sprite array `sprite` and its header firmware_sprites.h are made from
 * examples/sprite.bmp by rle565_add_sprites() (CMakeLists.txt), and the
 * program prints one checksum of the frame after each step of a
 * little animation, the same on the board and on a desktop. */
#include <rle565/draw.h>
#include <stddef.h>
#include <stdint.h>

#include "board.h"
#include "firmware_sprites.h"

enum { SCREEN_WIDTH = 160, SCREEN_HEIGHT = 128 };

/* The frame as the display takes it; a real board would send it over SPI
 * (or DMA) after each step. */
static uint16_t frame[SCREEN_HEIGHT * SCREEN_WIDTH];

/* A dark blue background with a lighter band, so the sprite's partly
 * transparent edge pixels blend onto something. Stored high byte first. */
static void clear_frame(void) {
    for (int32_t v = 0; v < SCREEN_HEIGHT; ++v) {
        const uint16_t color = (v / 16) % 2 ? 0x2945 : 0x0010;
        const uint16_t swapped = (uint16_t)(color << 8 | color >> 8);
        for (int32_t u = 0; u < SCREEN_WIDTH; ++u) frame[v * SCREEN_WIDTH + u] = swapped;
    }
}

/* FNV-1a over the frame's bytes as the display receives them. */
static uint32_t frame_checksum(void) {
    uint32_t hash = 2166136261u;
    for (int32_t i = 0; i < SCREEN_WIDTH * SCREEN_HEIGHT; ++i) {
        hash = (hash ^ (uint8_t)(frame[i] >> 8)) * 16777619u;
        hash = (hash ^ (uint8_t)frame[i]) * 16777619u;
    }
    return hash;
}

int main(void) {
    rle565_sprite hero;
    const int error = rle565_sprite_open(&hero, sprite, SPRITE_SIZE);
    if (error != RLE565_OK) {
        board_print("sprite: ");
        board_print(rle565_error_text(error));
        board_print("\n");
        return 1;
    }
    const rle565_target screen = {frame,        NULL,          SCREEN_WIDTH,
                                  SCREEN_WIDTH, SCREEN_HEIGHT, RLE565_TARGET_BYTESWAP};
    /* The sprite flies in from the top left, crosses the screen and leaves
     * at the bottom right, partly off an edge at every step but the middle. */
    static const int32_t path[][2] = {{-40, -50}, {-10, -20}, {20, 10},  {48, 32},
                                      {80, 50},   {110, 80},  {150, 120}};
    for (size_t step = 0; step < sizeof path / sizeof path[0]; ++step) {
        clear_frame();
        rle565_draw(&hero, &screen, path[step][0], path[step][1]);
        board_print_hex("frame", frame_checksum());
    }
    return 0;
}
