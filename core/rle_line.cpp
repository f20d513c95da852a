#include "rle_line.h"

#include <algorithm>
#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "rle_reader.h"

namespace {

// Longest run one run or skip-run code can carry.
constexpr std::size_t MAX_RUN = 255;
// Shorter runs cost no more as one byte per pixel.
constexpr std::size_t MIN_RUN = 4;

// Lines are scanned eight values at a time: byte k of a word is values[i + k].
// That order is the machine's on little-endian machines only; elsewhere the
// scans go value by value.
constexpr bool WORD_SCAN = std::endian::native == std::endian::little;
constexpr std::size_t WORD = 8;
constexpr std::uint64_t ONES = 0x0101010101010101;
constexpr std::uint64_t HIGHS = 0x8080808080808080;

std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, WORD);
    return word;
}

// The high bit of every zero byte of x is set in the result, and possibly
// that of a byte above a zero byte, never one below the lowest: the lowest set
// bit always marks the first zero byte.
std::uint64_t zeroBytes(std::uint64_t x) { return (x - ONES) & ~x & HIGHS; }

// Index of the byte of the lowest set bit of a non-zero mask.
std::size_t firstByte(std::uint64_t mask) {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

// The first i from `from` at which four equal values start, or n when none
// does. Such an i always starts a run that reaches back no further: were
// values[i - 1] equal too, with i - 1 not before `from`, four equal values
// would start at i - 1 already.
std::size_t findRunStart(const std::uint8_t* values, std::size_t from, std::size_t n) {
    std::size_t i = from;
#ifdef __SSE2__
    // Sixteen values at a time: bit k of `same` is set when values[i + k]
    // equals the next three.
    for (; i + MIN_RUN - 1 + 16 <= n; i += 16) {
        const auto load = [values](std::size_t at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + at));
        };
        const __m128i a = load(i);
        const __m128i equal = _mm_and_si128(
            _mm_cmpeq_epi8(a, load(i + 1)),
            _mm_and_si128(_mm_cmpeq_epi8(a, load(i + 2)), _mm_cmpeq_epi8(a, load(i + 3))));
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(equal));
        if (same != 0) return i + static_cast<std::size_t>(std::countr_zero(same));
    }
#endif
    if constexpr (WORD_SCAN) {
        // Byte k of `differ` is zero when values[i + k] equals the next three.
        for (; i + MIN_RUN - 1 + WORD <= n; i += WORD) {
            const std::uint64_t a = loadWord(values + i);
            const std::uint64_t differ = (a ^ loadWord(values + i + 1)) |
                                         (a ^ loadWord(values + i + 2)) |
                                         (a ^ loadWord(values + i + 3));
            const std::uint64_t mask = zeroBytes(differ);
            if (mask != 0) return i + firstByte(mask);
        }
    }
    for (; i + MIN_RUN <= n; ++i) {
        const std::uint8_t v = values[i];
        if (values[i + 1] == v && values[i + 2] == v && values[i + 3] == v) return i;
    }
    return n;
}

// The end of the run of values[from] that starts at `from`, at most `limit`.
std::size_t findRunEnd(const std::uint8_t* values, std::size_t from, std::size_t limit) {
    const std::uint8_t value = values[from];
    std::size_t i = from + 1;
    if constexpr (WORD_SCAN) {
        const std::uint64_t pattern = ONES * value;
        for (; i + WORD <= limit; i += WORD) {
            const std::uint64_t differ = loadWord(values + i) ^ pattern;
            if (differ != 0) return i + firstByte(differ);
        }
    }
    while (i < limit && values[i] == value) ++i;
    return i;
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
        std::size_t k = 0;
        if constexpr (WORD_SCAN) {
            for (; k + WORD <= count; k += WORD) {
                const std::uint64_t word = loadWord(src + k);
                std::uint64_t mapped = 0;
                for (std::size_t b = 0; b < WORD; ++b)
                    mapped |= std::uint64_t{table[word >> (8 * b) & 0xFF]} << (8 * b);
                std::memcpy(dst + k, &mapped, WORD);
            }
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
        const std::uint8_t value = in[i];
        if (value == 0) {
            *dst++ = CODE_SKIP_RUN;
        } else {
            *dst++ = CODE_RUN;
            *dst++ = map(value);
        }
        *dst++ = static_cast<std::uint8_t>(end - i);
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
    if (count < 255) {
        table.push_back(static_cast<std::uint8_t>(count));
        return;
    }
    table.push_back(0xFF);
    table.push_back(static_cast<std::uint8_t>(count >> 8));
    table.push_back(static_cast<std::uint8_t>(count & 0xFF));
}
