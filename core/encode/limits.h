// The limits both encoders work to, each following from a field or a code of
// the format, and the size test that either encoder makes first.
#pragma once

#include <rle565/image.h>
#include <rle565/rle_format.h>

#include <cstddef>
#include <cstdint>

namespace rle565 {

// A 16-bit field of the file, as the encoders' signed sizes and counts see it.
inline constexpr std::int32_t MAX_FIELD = static_cast<std::int32_t>(RLE_MAX_FIELD);

// Width and height travel in 16-bit header fields.
inline constexpr std::int32_t MAX_SIDE = MAX_FIELD;

// Palette entry numbers are 16 bits: an image of this many distinct pairs or
// more is refused with nColors PAIR_LIMIT, by either encoder.
inline constexpr std::int32_t PAIR_LIMIT = MAX_FIELD + 1;

// A palette of the multi-palette encoder holds at most 251 keys, one fewer
// than the literal codes can name; this many are too many, for a line's own
// palette and for a merged one alike. It is also the count either encoder
// reports for an image with a line that holds too many.
inline constexpr std::size_t PALETTE_FULL = RLE_MAX_VISIBLE;

// Whether the image's sides fit the header. Either encoder refuses an image
// that fails this as too large before it looks at a single pixel.
inline bool sidesFit(const Image& image) {
    return image.width >= 0 && image.width <= MAX_SIDE && image.height >= 0 &&
           image.height <= MAX_SIDE;
}

}  // namespace rle565
