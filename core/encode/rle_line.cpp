#include "encode/rle_line.h"

#include <rle565/rle_format.h>

#include <algorithm>
#include <cstring>

#include "encode/run_scan.h"

namespace rle565 {

namespace {

// Literal stretches are copied eight values at a time: byte k of a word is
// values[i + k].
constexpr std::size_t WORD = 8;

std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, WORD);
    return word;
}

// Values as they are.
struct AsTheyAre {
    std::uint8_t operator()(std::uint8_t value) const { return value; }
    void copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) const {
        std::memmove(dst, src, count);
    }
};

// Values through a table. The copy goes forward, eight values at a time put
// together in a word, and is safe where dst overlaps src as long as dst does
// not start after src: each word is read before any byte at or after it is
// written.
struct ThroughTable {
    const std::uint8_t* table;

    std::uint8_t operator()(std::uint8_t value) const { return table[value]; }
    void copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) const {
        // Each byte is mapped where it lies in the word, whatever the
        // machine's byte order.
        std::size_t k = 0;
        for (; k + WORD <= count; k += WORD) {
            const std::uint64_t word = loadWord(src + k);
            std::uint64_t mapped = 0;
            for (std::size_t b = 0; b < WORD; ++b)
                mapped |= std::uint64_t{table[word >> (8 * b) & 0xFF]} << (8 * b);
            std::memcpy(dst + k, &mapped, WORD);
        }
        for (; k < count; ++k) dst[k] = table[src[k]];
    }
};

template <class Map>
std::size_t encodeValues(std::span<const std::uint8_t> values, std::span<std::uint8_t> out,
                         const Map& map) {
    // A run of n >= 4 takes at most 3 bytes and n single values take n, so the
    // codes never outgrow the values: after reading i values at most i bytes
    // are written. Values outside runs of four are their own literal and skip
    // codes. Runs are found on the values before mapping, which map one to one.
    const std::uint8_t* const in = values.data();
    const std::size_t n = values.size();
    std::uint8_t* const begin = out.data();
    std::uint8_t* dst = begin;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t start = findRunStart(in, i, n);
        if (start > i) {
            // The only write that can overlap the values still to be read.
            map.copy(dst, in + i, start - i);
            dst += start - i;
            i = start;
            if (i == n) break;
        }
        const std::size_t end = findRunEnd(in, i, std::min(n, i + MAX_RUN));
        dst = putRun(dst, map(in[i]), end - i);
        i = end;
        // A run cut at 255 may leave one to three equal values: literals.
    }
    return static_cast<std::size_t>(dst - begin);
}

}  // namespace

std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::span<std::uint8_t> out) {
    return encodeValues(values, out, AsTheyAre{});
}

std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::span<std::uint8_t> out,
                          const std::array<std::uint8_t, 256>& valueOf) {
    return encodeValues(values, out, ThroughTable{valueOf.data()});
}

std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::vector<std::uint8_t>& codes) {
    const std::size_t start = codes.size();
    codes.resize(start + values.size());
    const std::size_t count = encodeRleLine(values, std::span(codes).subspan(start));
    codes.resize(start + count);
    return count;
}

void appendLineLength(std::size_t count, std::vector<std::uint8_t>& table) {
    if (count < RLE_LONG_LENGTH) {
        table.push_back(static_cast<std::uint8_t>(count));
        return;
    }
    table.push_back(RLE_LONG_LENGTH);
    table.push_back(static_cast<std::uint8_t>(count >> 8));
    table.push_back(static_cast<std::uint8_t>(count & 0xFF));
}

}  // namespace rle565
