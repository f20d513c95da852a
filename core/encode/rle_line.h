// The run-length line encoding and the line-length entries that both encoders
// apply to every line.
#pragma once

#include <rle565/rle_format.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rle565 {

// Writes the codes of one line to the start of `out` and returns their byte
// count. Each value is 0 (transparent) or a palette-local number 1 to
// CODE_LITERAL_MAX. Runs of 4 to 255 equal values become run or skip-run
// codes; shorter runs one byte per pixel. The codes never take more bytes than
// there are values, so `out` needs room for values.size() bytes and no more.
// The codes never get ahead of the values either: `out` may overlap `values`
// if it starts no later, and the codes then overwrite only values that have
// been read.
std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::span<std::uint8_t> out);

// The codes of the line whose values are valueOf[v] for each v of `values`,
// without writing those values out first. valueOf must map 0 to 0 and the
// other values present to distinct values 1 to CODE_LITERAL_MAX, so that the
// runs are the same before and after; `out` may overlap `values` as above.
std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::span<std::uint8_t> out,
                          const std::array<std::uint8_t, 256>& valueOf);

// The same, appended to `codes`.
std::size_t encodeRleLine(std::span<const std::uint8_t> values, std::vector<std::uint8_t>& codes);

// Appends the line-length entry for a line of `count` bytes (0 to
// MAX_LINE_BYTES).
void appendLineLength(std::size_t count, std::vector<std::uint8_t>& table);

// Longest line the format can describe in a line-length entry.
inline constexpr std::size_t MAX_LINE_BYTES = RLE_MAX_FIELD;

// Bytes of the longest line-length entry: RLE_LONG_LENGTH and a 16-bit count.
inline constexpr std::size_t MAX_LENGTH_ENTRY_SIZE = 3;

}  // namespace rle565
