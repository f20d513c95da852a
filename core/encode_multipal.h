// The multi-palette RLE encoder: one palette per group of lines, selected by a
// switch code at the start of each line.
#pragma once

#include <cstdint>
#include <vector>

#include "encode_result.h"
#include "image.h"

// One candidate palette: founded by a line, possibly grown by merging.
struct Palette {
    std::vector<std::int32_t> palette;  // palette keys, ascending, at most 251
    std::int32_t nUseCount = 0;         // lines using it; 0 once merged away
    std::int32_t nPtr = 0;              // entry nPtr + k holds the key at position k (from 1)
};

// Encodes a plain image with several palettes. TooManyColors with nColors 252
// when one line holds 252 or more distinct pairs; TooManyColors with nColors
// unchanged when the palettes would overflow the format's 16-bit table.
EncodeResult encodeMultipal(const Image& image, const char* outputPath, std::int32_t& nColors);
