// What both encoders share about runs: where a run worth a code starts,
// where it ends, and its code. Lines are scanned as bytes (values) or as
// 16-bit colours, whichever the encoder has at hand; equal values and equal
// colours find the same runs.
#pragma once

#include <rle565/rle_format.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rle565 {

// Longest run one run or skip-run code can carry.
inline constexpr std::size_t MAX_RUN = 255;
// Shorter runs cost no more as one byte per pixel.
inline constexpr std::size_t MIN_RUN = 4;

namespace run_scan {

template <class T>
inline constexpr bool SCANNED = std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>;

#ifdef __SSE2__
// Elements in sixteen bytes.
template <class T>
inline constexpr std::size_t LANES = 16 / sizeof(T);

template <class T>
__m128i load(const T* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// All ones in every lane where a and b are equal.
template <class T>
__m128i equal(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 1) {
        return _mm_cmpeq_epi8(a, b);
    } else {
        return _mm_cmpeq_epi16(a, b);
    }
}

// The lane of the lowest set bit of a non-zero byte mask.
template <class T>
std::size_t firstLane(unsigned mask) {
    return static_cast<std::size_t>(std::countr_zero(mask)) / sizeof(T);
}
#endif

}  // namespace run_scan

// The first i from `from` at which four equal elements start, or n when none
// does. Such an i always starts a run that reaches back no further: were
// values[i - 1] equal too, with i - 1 not before `from`, four equal elements
// would start at i - 1 already.
template <class T>
std::size_t findRunStart(const T* values, std::size_t from, std::size_t n) {
    static_assert(run_scan::SCANNED<T>);
    std::size_t i = from;
#ifdef __SSE2__
    // A register of elements at a time: lane k is all ones when values[i + k]
    // equals the next three.
    using namespace run_scan;
    for (; i + MIN_RUN - 1 + LANES<T> <= n; i += LANES<T>) {
        const __m128i a = load(values + i);
        const __m128i same = _mm_and_si128(
            equal<T>(a, load(values + i + 1)),
            _mm_and_si128(equal<T>(a, load(values + i + 2)), equal<T>(a, load(values + i + 3))));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(same));
        if (mask != 0) return i + firstLane<T>(mask);
    }
#endif
    for (; i + MIN_RUN <= n; ++i) {
        const T v = values[i];
        if (values[i + 1] == v && values[i + 2] == v && values[i + 3] == v) return i;
    }
    return n;
}

// The end of the run of values[from] that starts at `from`, at most `limit`.
template <class T>
std::size_t findRunEnd(const T* values, std::size_t from, std::size_t limit) {
    static_assert(run_scan::SCANNED<T>);
    const T value = values[from];
    std::size_t i = from + 1;
#ifdef __SSE2__
    using namespace run_scan;
    const __m128i same = sizeof(T) == 1 ? _mm_set1_epi8(static_cast<char>(value))
                                        : _mm_set1_epi16(static_cast<short>(value));
    for (; i + LANES<T> <= limit; i += LANES<T>) {
        const auto differ =
            static_cast<unsigned>(_mm_movemask_epi8(equal<T>(load(values + i), same))) ^ 0xFFFFu;
        if (differ != 0) return i + firstLane<T>(differ);
    }
#endif
    while (i < limit && values[i] == value) ++i;
    return i;
}

// Writes the code of a run of `length` (4 to MAX_RUN) pixels of `value` at
// dst: a skip run for value 0, else a run; returns the end of the code.
inline std::uint8_t* putRun(std::uint8_t* dst, std::uint8_t value, std::size_t length) {
    if (value == 0) {
        *dst++ = CODE_SKIP_RUN;
    } else {
        *dst++ = CODE_RUN;
        *dst++ = value;
    }
    *dst++ = static_cast<std::uint8_t>(length);
    return dst;
}

}  // namespace rle565
