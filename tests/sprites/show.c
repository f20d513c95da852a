/* Opens every sprite of art.h and prints its name, size and dimensions as
 * the header declares them, after checking them against the bytes. */
#include <rle565/draw.h>
#include <stdint.h>
#include <stdio.h>

#include "art.h"

static int show(const char* name, const uint8_t* bytes, size_t size, int32_t width,
                int32_t height) {
    rle565_sprite sprite;
    const int error = rle565_sprite_open(&sprite, bytes, size);
    if (error != RLE565_OK) {
        printf("%s: %s\n", name, rle565_error_text(error));
        return 1;
    }
    if (sprite.width != width || sprite.height != height) {
        printf("%s: %d x %d declared, %d x %d in the file\n", name, (int)width, (int)height,
               (int)sprite.width, (int)sprite.height);
        return 1;
    }
    if ((uintptr_t)bytes % 4 != 0) {
        printf("%s: not aligned to 4 bytes\n", name);
        return 1;
    }
    printf("%s %u %d %d\n", name, (unsigned)size, (int)width, (int)height);
    return 0;
}

#define SHOW(name, NAME) show(#name, name, sizeof name, NAME##_WIDTH, NAME##_HEIGHT)

int main(void) {
    int failed = 0;
    failed |= SHOW(art__1up, ART__1UP);
    failed |= SHOW(art_hero_1, ART_HERO_1);
    failed |= SHOW(art_ready, ART_READY);
    failed |= SHOW(art_sub_2coin_big, ART_SUB_2COIN_BIG);
    failed |= SHOW(art_title, ART_TITLE);
    return failed;
}
