/* The drawing runtime from C99: a sprite held as a const array, drawn partly
 * off every edge of a small target inside a frame whose other pixels must
 * stay as they were. Exits 0 when every pixel is as the sprite says. */
#include <rle565/draw.h>

/* A 4 x 3 sprite: entries 1 to 3 are blue, green and white; 0 is transparent.
 *   line 0: 1 2 . 3      literals and a skip
 *   line 1: 2 2 2 2      a run
 *   line 2: . . 1 3      a skip-run, then literals */
static const uint8_t SPRITE[] = {0x52, 0x4C, 0x00, 0x00, 0x04, 0x00, 0x03, 0x00, 0x04,
                                 0x00, 0x03, 0x00, 0x1F, 0xF8, 0x1F, 0x00, 0xE0, 0x07,
                                 0xFF, 0xFF, 0x04, 0x03, 0x04, 0x01, 0x02, 0x00, 0x03,
                                 0xFE, 0x02, 0x04, 0xFF, 0x02, 0x01, 0x03};

static const uint16_t COLORS[4] = {0, 0x001F, 0x07E0, 0xFFFF};
static const uint8_t ENTRIES[3][4] = {{1, 2, 0, 3}, {2, 2, 2, 2}, {0, 0, 1, 3}};

#define FRAME_W 7
#define FRAME_H 6
#define CLIP_X 2
#define CLIP_Y 2
#define CLIP_W 3
#define CLIP_H 2
#define GUARD 0x5A5A

static int drawAt(const rle565_sprite* sprite, int32_t x, int32_t y) {
    uint16_t frame[FRAME_H][FRAME_W];
    rle565_target clip;
    int u;
    int v;
    for (v = 0; v < FRAME_H; ++v)
        for (u = 0; u < FRAME_W; ++u) frame[v][u] = GUARD;
    clip.pixels = &frame[CLIP_Y][CLIP_X];
    clip.alpha = NULL;
    clip.stride = FRAME_W;
    clip.width = CLIP_W;
    clip.height = CLIP_H;
    clip.flags = 0;
    rle565_draw(sprite, &clip, x, y);
    for (v = 0; v < FRAME_H; ++v) {
        for (u = 0; u < FRAME_W; ++u) {
            const int cu = u - CLIP_X;
            const int cv = v - CLIP_Y;
            const int j = cu - (int)x;
            const int i = cv - (int)y;
            uint16_t want = GUARD;
            if (cu >= 0 && cu < CLIP_W && cv >= 0 && cv < CLIP_H && j >= 0 && j < 4 && i >= 0 &&
                i < 3 && ENTRIES[i][j] != 0)
                want = COLORS[ENTRIES[i][j]];
            if (frame[v][u] != want) return 1;
        }
    }
    return 0;
}

int main(void) {
    rle565_sprite sprite;
    int32_t x;
    int32_t y;
    int failures = 0;
    if (rle565_sprite_open(&sprite, SPRITE, sizeof SPRITE) != RLE565_OK) return 1;
    if (sprite.width != 4 || sprite.height != 3) return 1;
    /* Cut short, the last line's codes reach past the file. */
    if (rle565_sprite_open(&sprite, SPRITE, sizeof SPRITE - 1) != RLE565_ERR_LINE_BLOCK) return 1;
    if (sprite.fault_line != 2 || rle565_error_text(RLE565_ERR_LINE_BLOCK)[0] == '\0') return 1;
    if (rle565_sprite_open(&sprite, SPRITE, sizeof SPRITE) != RLE565_OK) return 1;
    for (y = -4; y <= CLIP_H + 1; ++y)
        for (x = -5; x <= CLIP_W + 1; ++x) failures += drawAt(&sprite, x, y);
    return failures == 0 ? 0 : 1;
}
