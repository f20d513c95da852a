// The one blend of the project: a colour s laid over d with coverage a / 32,
// each RGB565 channel (s × a + d × (32 − a)) >> 5, rounding down, so that
// alpha 0 gives d and 32 gives s exactly. The drawing runtime's painters,
// blitImage and blendRgb565 all blend through it; the eight-lane form below
// is held to the one-pixel form by a test on every build that has it.
//
// Freestanding, as the rest of the runtime.
#pragma once

#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "walk.h"

namespace rle565 {

// Spread of an RGB565 value over 32 bits: red and blue stay in the low half,
// green moves to bits 21 to 26. Each channel then has room for its products
// with alpha (at most 31 × 32 or 63 × 32) before the next channel starts.
inline constexpr uint32_t SPREAD_MASK = 0x07E0F81F;

inline uint32_t spreadRgb565(uint16_t c) {
    return (c | static_cast<uint32_t>(c) << 16) & SPREAD_MASK;
}

// The RGB565 value of a spread one; the mask drops what a shift moved into
// the bits between the channels.
inline uint16_t foldRgb565(uint32_t w) {
    w &= SPREAD_MASK;
    return static_cast<uint16_t>(w | w >> 16);
}

inline uint16_t swapBytes(uint16_t v) { return static_cast<uint16_t>(v << 8 | v >> 8); }

// s over d given s spread and multiplied by a, and 32 − a: painters resolve
// the first two once per palette entry.
inline uint16_t blendPremultiplied(uint32_t premultiplied, uint32_t inverse, uint16_t d) {
    return foldRgb565((premultiplied + spreadRgb565(d) * inverse) >> 5);
}

// s over d with coverage a / 32; alpha above 32 counts as 32.
inline uint16_t blendPixel(uint16_t s, uint16_t d, uint32_t a) {
    if (a > ALPHA_OPAQUE) a = ALPHA_OPAQUE;
    return blendPremultiplied(spreadRgb565(s) * a, ALPHA_OPAQUE - a, d);
}

#ifdef RLE565_WALK_SSE2

// Eight pixels at once, channel by channel in 16-bit lanes: s over d with
// coverage a / 32 (each lane's a at most 32), as blendPixel() makes it.
inline __m128i blend8(__m128i s, __m128i a, __m128i d) {
    const __m128i five = _mm_set1_epi16(31);
    const __m128i six = _mm_set1_epi16(63);
    const __m128i inverse = _mm_sub_epi16(_mm_set1_epi16(ALPHA_OPAQUE), a);
    const auto mix = [&](__m128i sc, __m128i dc) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(sc, a), _mm_mullo_epi16(dc, inverse)),
                              5);
    };
    const __m128i r = mix(_mm_srli_epi16(s, 11), _mm_srli_epi16(d, 11));
    const __m128i g =
        mix(_mm_and_si128(_mm_srli_epi16(s, 5), six), _mm_and_si128(_mm_srli_epi16(d, 5), six));
    const __m128i b = mix(_mm_and_si128(s, five), _mm_and_si128(d, five));
    return _mm_or_si128(_mm_or_si128(_mm_slli_epi16(r, 11), _mm_slli_epi16(g, 5)), b);
}

inline __m128i swapBytes8(__m128i v) {
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

#endif

}  // namespace rle565
