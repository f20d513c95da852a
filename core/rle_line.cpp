#include "rle_line.h"

#include <algorithm>

#include "rle_reader.h"

namespace {

// Longest run one run or skip-run code can carry.
constexpr std::size_t MAX_RUN = 255;
// Shorter runs cost no more as one byte per pixel.
constexpr std::size_t MIN_RUN = 4;

std::uint8_t* emitRun(std::uint8_t* out, std::uint8_t value, std::size_t count) {
    if (count >= MIN_RUN) {
        if (value == 0) {
            *out++ = CODE_SKIP_RUN;
        } else {
            *out++ = CODE_RUN;
            *out++ = value;
        }
        *out++ = static_cast<std::uint8_t>(count);
        return out;
    }
    for (std::size_t i = 0; i < count; ++i) *out++ = value;
    return out;
}

}  // namespace

std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::vector<std::uint8_t>& codes) {
    const std::size_t start = codes.size();
    // A run of n >= 4 takes at most 3 bytes and n single pixels take n, so the
    // codes never outgrow the values.
    codes.resize(start + values.size());
    std::uint8_t* const begin = codes.data() + start;
    std::uint8_t* out = begin;
    std::size_t i = 0;
    const std::size_t n = values.size();
    while (i < n) {
        const std::uint8_t value = values[i];
        std::size_t end = i + 1;
        const std::size_t limit = std::min(n, i + MAX_RUN);
        while (end < limit && values[end] == value) ++end;
        out = emitRun(out, value, end - i);
        i = end;
    }
    const std::size_t count = static_cast<std::size_t>(out - begin);
    codes.resize(start + count);
    return count;
}

void appendLineLength(std::size_t count, std::vector<std::uint8_t>& table) {
    if (count < 255) {
        table.push_back(static_cast<std::uint8_t>(count));
        return;
    }
    table.push_back(0xFF);
    table.push_back(static_cast<std::uint8_t>(count >> 8));
    table.push_back(static_cast<std::uint8_t>(count & 0xFF));
}
