// What the line check at load and the decoder share about reading line codes:
// which literal codes a palette base allows, and a look at sixteen code bytes
// at once.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <rle565/rle_reader.h>

namespace rle565 {

// How many literal codes, from 1 up, name an entry below nEntries from this base.
inline std::uint32_t literalsBelow(std::uint32_t nEntries, std::uint32_t base) {
    return nEntries > base ? std::min<std::uint32_t>(CODE_LITERAL_MAX, nEntries - 1 - base) : 0;
}

#ifdef __SSE2__

// A byte limit for bytesAbove(), in every lane: made once per palette base
// rather than once per look.
inline __m128i byteLimit(std::uint32_t limit) {
    return _mm_set1_epi8(static_cast<char>(static_cast<std::uint8_t>(limit)));
}

// Bit i set where byte i of the 16 at p is above `limit`.
inline std::uint32_t bytesAbove(const std::uint8_t* p, __m128i limit) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i excess = _mm_subs_epu8(bytes, limit);
    const auto zero =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128())));
    return zero ^ 0xFFFF;
}

// How many of the 16 bytes at p, up to `most`, are skip codes or literal
// codes up to the literal limit before the first byte that is neither.
inline std::uint32_t shortCodesAhead(const std::uint8_t* p, __m128i literalLimit,
                                     std::uint32_t most) {
    const std::uint32_t other = bytesAbove(p, literalLimit);
    return std::min(static_cast<std::uint32_t>(std::countr_zero(other | 0x10000)), most);
}

#endif

}  // namespace rle565
