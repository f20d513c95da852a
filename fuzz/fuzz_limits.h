// Inputs the fuzz targets leave out: files whose header claims a picture
// of more than 65536 pixels that codes leaving it undrawn may rightly fill. An
// RLE-coded BMP may leave every pixel undrawn and a GIF screen may be far
// larger than its frames: the readers let such a picture reach 4096 pixels a
// byte of the file, so a 12 KB input may ask for 100 MiB, legitimately but at
// tens of milliseconds of filling per input. Claims past the readers' pixel
// limit are refused at once and stay in; PNG files, whose planes grow with
// the rows they decode, are never left out. Images of up to 65536 pixels
// reach every path of the readers, and fuzzing keeps its pace.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "formats/image_limits.h"

// Pixels a header may claim when the input itself may be small.
inline constexpr std::uint64_t FUZZ_MAX_CLAIMED_PIXELS = std::uint64_t{1} << 16;

// Whether a width x height picture is left out: above 65536 pixels, within
// the readers' limit.
inline bool claimsLargePicture(std::uint64_t width, std::uint64_t height) {
    return width * height > FUZZ_MAX_CLAIMED_PIXELS && rle565::withinPixelLimit(width, height);
}

// A GIF canvas is the screen, grown to hold the first frame: the records are
// walked up to the first image descriptor to find it.
inline bool gifClaimsHugeCanvas(const std::uint8_t* data, std::size_t size) {
    auto le16 = [&](std::size_t at) {
        return at + 1 < size ? std::uint64_t{data[at]} | std::uint64_t{data[at + 1]} << 8 : 0;
    };
    std::uint64_t width = le16(6);
    std::uint64_t height = le16(8);
    std::size_t at = 13 + ((data[10] & 0x80) != 0 ? 3u << ((data[10] & 7) + 1) : 0);
    // Sub-blocks up to their empty closing block.
    auto skipBlocks = [&](std::size_t from) {
        while (from < size && data[from] != 0) from += std::size_t{data[from]} + 1;
        return from + 1;
    };
    while (at < size) {
        if (data[at] == 0x21) {
            at = skipBlocks(at + 2);
        } else if (data[at] == 0x2C) {
            width = std::max(width, le16(at + 1) + le16(at + 5));
            height = std::max(height, le16(at + 3) + le16(at + 7));
            break;
        } else {
            break;
        }
    }
    return claimsLargePicture(width, height);
}

inline bool claimsHugeImage(const std::uint8_t* data, std::size_t size) {
    auto le32 = [&](std::size_t at) {
        return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
               std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24;
    };
    if (size >= 34 && data[0] == 'B' && data[1] == 'M') {
        const std::uint32_t compression = le32(30);
        const std::uint64_t width =
            static_cast<std::uint32_t>(std::abs(std::int64_t{static_cast<std::int32_t>(le32(18))}));
        const std::uint64_t height =
            static_cast<std::uint32_t>(std::abs(std::int64_t{static_cast<std::int32_t>(le32(22))}));
        return (compression == 1 || compression == 2) && claimsLargePicture(width, height);
    }
    if (size >= 13 && data[0] == 'G' && data[1] == 'I') return gifClaimsHugeCanvas(data, size);
    return false;
}
