// The multi-palette RLE encoder: one palette per group of lines, selected by a
// switch code at the start of each line.
#pragma once

#include <rle565/encode_result.h>
#include <rle565/image.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "formats/rle_writer.h"

namespace rle565 {

// One candidate palette: founded by a line, possibly grown by merging.
struct Palette {
    std::vector<std::int32_t> palette;  // palette keys, ascending, at most 251
    std::int32_t nUseCount = 0;         // lines using it; 0 once merged away
    std::int32_t nPtr = 0;              // entry nPtr + k holds the key at position k (from 1)
};

// Encodes a plain image with several palettes. TooManyColors with nColors 252
// when one line holds 252 or more distinct pairs; TooManyColors with nColors
// unchanged when the palettes would overflow the format's 16-bit table.
// A failed consistency check gives CheckFailed, with the check in *failure.
EncodeResult encodeMultipal(const Image& image, const OutputTarget& output, std::int32_t& nColors,
                            CheckFailure* failure = nullptr);

// The hand-over from convertToRle, which stops counting pairs once they no
// longer fit one palette: counts them from the line palettes instead, which
// hold every pair of the image, and then acts as counting first would have.
// nColors becomes the count, the distinct pairs plus entry 0; from PAIR_LIMIT
// pairs on it is PAIR_LIMIT and the result TooManyColors; otherwise the result
// is that of encodeMultipal. Returns nothing, with nColors untouched and no
// file written, when a line holds 252 or more pairs: the count is then the
// caller's to make.
std::optional<EncodeResult> countAndEncodeMultipal(const Image& image, const OutputTarget& output,
                                                   std::int32_t& nColors,
                                                   CheckFailure* failure = nullptr);

// Merges line palettes greedily, first fit in line order: each palette still
// in use absorbs every later one whose union with it stays within 251 keys.
// pals[y] enters as line y's own palette of palette keys (never negative) with
// nUseCount 1. Returns the palette index of each line, or nothing once the
// palettes in use are certain to need more than 65535 table entries.
std::optional<std::vector<std::int32_t>> mergePalettes(std::vector<Palette>& pals);

}  // namespace rle565
