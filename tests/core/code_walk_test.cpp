#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "runtime/layout.h"

using namespace rle565;

namespace {

// The quick soundness test of mode b and the walker's check agree on every
// line: random codes, biased towards long codes, switches and counts near the
// width, with bytes after the line that look like codes too.
TEST(IsLineSound, AgreesWithTheWalker) {
    std::mt19937 random(3);
    int nSound = 0;
    for (int round = 0; round < 200000; ++round) {
        const std::uint32_t width = random() % 80;
        const std::uint32_t nEntries = random() % 4 == 0 ? random() % 700 : random() % 20;
        std::vector<std::uint8_t> bytes(random() % 24 + 80);
        for (auto& b : bytes) {
            const std::uint32_t kind = random() % 8;
            b = static_cast<std::uint8_t>(kind == 0   ? 253 + random() % 3
                                          : kind == 1 ? random() % 256
                                          : kind == 2 ? random() % 8
                                                      : 1 + random() % 12);
        }
        const std::size_t length = random() % 64;
        const std::uint8_t* const p = bytes.data();
        // Now with sixteen bytes and more to look at, now with fewer.
        const std::uint8_t* const readEnd = p + (random() % 2 ? bytes.size() : length);
        const bool bWalker = checkLine(p, p + length, readEnd, width, nEntries) == RLE565_OK;
        ASSERT_EQ(isLineSound(p, p + length, readEnd, width, nEntries), bWalker) << round;
        // Side by side with a sound line of the same width, or with itself.
        const std::vector<std::uint8_t> skips = {
            0xFF, static_cast<std::uint8_t>(width), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        LineScan withSound[2] = {
            LineScan(p, p + length, readEnd, width, nEntries),
            LineScan(skips.data(), skips.data() + 2, skips.data() + skips.size(), width, nEntries)};
        ASSERT_EQ(areLinesSound(withSound), bWalker) << round;
        LineScan twice[2] = {LineScan(p, p + length, readEnd, width, nEntries),
                             LineScan(p, p + length, readEnd, width, nEntries)};
        ASSERT_EQ(areLinesSound(twice), bWalker) << round;
        nSound += bWalker ? 1 : 0;
    }
    // Both verdicts came up often enough to mean something.
    EXPECT_GT(nSound, 5000);
}

}  // namespace
