#include "runtime/blend.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace {

using namespace rle565;

// The rule, channel by channel as a reader of the format would work it out:
// (s × a + d × (32 − a)) >> 5 for red, green and blue at their own widths.
std::uint16_t modelBlend(std::uint16_t s, std::uint16_t d, std::uint32_t a) {
    if (a > 32) a = 32;
    const auto mix = [a](std::uint32_t sc, std::uint32_t dc) {
        return (sc * a + dc * (32 - a)) >> 5;
    };
    const std::uint32_t r = mix(s >> 11, d >> 11);
    const std::uint32_t g = mix(s >> 5 & 63, d >> 5 & 63);
    const std::uint32_t b = mix(s & 31, d & 31);
    return static_cast<std::uint16_t>(r << 11 | g << 5 | b);
}

TEST(Blend, FollowsTheRuleForEveryAlpha) {
    std::mt19937 rng(11);
    for (std::uint32_t a = 0; a <= 40; ++a) {
        SCOPED_TRACE(a);
        for (int i = 0; i < 2000; ++i) {
            const auto s = static_cast<std::uint16_t>(rng());
            const auto d = static_cast<std::uint16_t>(rng());
            ASSERT_EQ(blendPixel(s, d, a), modelBlend(s, d, a)) << s << " over " << d;
        }
        // The channels' extremes, where a carry into the next channel shows.
        for (const std::uint16_t s : {0x0000, 0xFFFF, 0xF800, 0x07E0, 0x001F, 0xF81F}) {
            for (const std::uint16_t d : {0x0000, 0xFFFF, 0xF800, 0x07E0, 0x001F, 0x07FF}) {
                ASSERT_EQ(blendPixel(s, d, a), modelBlend(s, d, a)) << s << " over " << d;
            }
        }
    }
}

TEST(Blend, AlphaZeroKeepsTheTargetAndOpaqueReplacesIt) {
    for (std::uint32_t v = 0; v < 0x10000; v += 7) {
        const auto s = static_cast<std::uint16_t>(v);
        const auto d = static_cast<std::uint16_t>(v * 40503u);
        ASSERT_EQ(blendPixel(s, d, 0), d);
        ASSERT_EQ(blendPixel(s, d, 32), s);
        ASSERT_EQ(blendPixel(s, d, 255), s);
    }
}

#ifdef RLE565_WALK_SSE2

// The lanes give, pixel for pixel, what the one-pixel blend gives.
TEST(Blend, EightLanesAgreeWithOnePixel) {
    std::mt19937 rng(5);
    for (int round = 0; round < 20000; ++round) {
        alignas(16) std::uint16_t s[8];
        alignas(16) std::uint16_t a[8];
        alignas(16) std::uint16_t d[8];
        alignas(16) std::uint16_t out[8];
        for (int i = 0; i < 8; ++i) {
            s[i] = static_cast<std::uint16_t>(rng());
            d[i] = static_cast<std::uint16_t>(rng());
            a[i] = static_cast<std::uint16_t>((round + i) % 33);
        }
        const __m128i mixed = blend8(_mm_load_si128(reinterpret_cast<const __m128i*>(s)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(a)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(d)));
        _mm_store_si128(reinterpret_cast<__m128i*>(out), mixed);
        for (int i = 0; i < 8; ++i) ASSERT_EQ(out[i], blendPixel(s[i], d[i], a[i])) << i;
    }
}

#endif

}  // namespace
