// The public headers that a C++17 program may include, built as C++17 with
// every warning an error: the drawing runtime's interface and the format's
// constants (what firmware and engines on older compilers need), and the
// encoders' result type. The others take and give std::span,
// so they need C++20 (README, "Library use from CMake").
#include <rle565/draw.h>
#include <rle565/encode_result.h>
#include <rle565/rle_format.h>

#include <cstdint>
#include <cstdio>

static_assert(__cplusplus == 201703L, "this test is built as C++17");

int main() {
    // A 2 x 1 sprite without alpha: a palette of the key and red, one line
    // of two codes (one literal of entry 1, one skip), built from the
    // constants.
    const std::uint8_t bytes[] = {
        rle565::RLE_MAGIC_0,
        rle565::RLE_MAGIC_1,
        0,
        0,
        2,
        0,
        1,
        0,
        2,
        0,
        1,
        0,
        0x1F,
        0xF8,
        0x00,
        0xF8,  // colour key, red
        2,     // the line's length
        1,
        rle565::CODE_SKIP,
    };
    static_assert(sizeof bytes == rle565::RLE_HEADER_SIZE + 4 + 1 + 2, "header, palette, line");
    rle565_sprite sprite;
    const int error = rle565_sprite_open(&sprite, bytes, sizeof bytes);
    if (error != RLE565_OK) {
        std::printf("open: %s\n", rle565_error_text(error));
        return 1;
    }
    std::uint16_t pixels[2] = {0x1234, 0x1234};
    const rle565_target target = {pixels, nullptr, 2, 2, 1, 0};
    rle565_draw(&sprite, &target, 0, 0);
    const bool written = rle565::EncodeResult::Written != rle565::EncodeResult::WriteFailed;
    if (pixels[0] != 0xF800 || pixels[1] != 0x1234 || !written) {
        std::printf("drew %04x %04x\n", pixels[0], pixels[1]);
        return 1;
    }
    return 0;
}
