#include "encode_single.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "bytes.h"
#include "check.h"
#include "encode_multipal.h"
#include "rle_line.h"
#include "rle_reader.h"
#include "rle_writer.h"

namespace {

// Width and height travel in 16-bit header fields.
constexpr std::int32_t MAX_SIDE = 65535;

// Entries of one palette, entry 0 (the transparent entry) included.
constexpr std::int32_t MAX_PALETTE_COUNT = 253;

// Entry numbers are 16 bits: the 65536th distinct pair ends the count, and
// such an image is too much for the multi-palette encoder as well.
constexpr std::int32_t PAIR_LIMIT = 65536;

// Palette keys take 21 bits, so this value is never a pixel's key.
constexpr std::uint32_t NO_KEY = 0xFFFFFFFF;

// The palette key colour × 32 + (alpha − 1) of pixel i, or NO_KEY when the
// pixel is transparent: alpha 0 with an alpha plane, the colour key without.
std::uint32_t pixelKey(const Image& image, std::size_t i) {
    const std::uint32_t color = image.pixels[i];
    if (image.hasAlpha()) {
        const std::uint32_t alpha = image.alpha[i];
        return alpha == 0 ? NO_KEY : color * 32 + (alpha - 1);
    }
    return color == COLOR_KEY ? NO_KEY : color * 32 + (ALPHA_OPAQUE - 1);
}

// Entry numbers of the pairs met so far, by palette key; 0 means not met.
// Open addressing with linear probing, sized by the image rather than by
// every possible pair, so that list mode can convert thousands of small
// sprites without clearing a table of two million entries for each.
class PairIndex {
public:
    // Room for maxPairs keys at a load of at most one half.
    explicit PairIndex(std::size_t maxPairs) {
        std::size_t capacity = 16;
        shift_ = 28;
        while (capacity < 2 * maxPairs) {
            capacity *= 2;
            --shift_;
        }
        mask_ = capacity - 1;
        keys_.assign(capacity, NO_KEY);
        entries_.assign(capacity, 0);
    }

    // The entry number slot of key, made (holding 0) when the key is new.
    // The caller numbers at most maxPairs keys.
    std::uint16_t& slot(std::uint32_t key) {
        std::size_t i = home(key);
        while (keys_[i] != key) {
            if (keys_[i] == NO_KEY) {
                keys_[i] = key;
                break;
            }
            i = (i + 1) & mask_;
        }
        return entries_[i];
    }

    // The entry number of key, 0 when it was never numbered.
    std::uint16_t find(std::uint32_t key) const {
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (keys_[i] == key) return entries_[i];
            if (keys_[i] == NO_KEY) return 0;
        }
    }

    void release() {
        freeBuffer(keys_);
        freeBuffer(entries_);
    }

private:
    // Fibonacci hashing: the top bits of the product mix every bit of the key.
    std::size_t home(std::uint32_t key) const { return (key * 0x9E3779B1u) >> shift_; }

    std::vector<std::uint32_t> keys_;
    std::vector<std::uint16_t> entries_;
    std::size_t mask_ = 0;
    int shift_ = 0;
};

}  // namespace

EncodeResult convertToRle(const Image& image, const char* outputPath, bool bMultipal,
                          std::int32_t& nColors) {
    nColors = 0;
    if (image.width < 0 || image.width > MAX_SIDE || image.height < 0 || image.height > MAX_SIDE) {
        return EncodeResult::TooLarge;
    }
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    // Two 16-bit factors: the product always fits.
    const std::size_t num_pixels = *checkedMul(width, height);
    const bool bAlpha = image.hasAlpha();

    std::array<std::uint16_t, MAX_PALETTE_COUNT> colors{};
    std::array<std::uint8_t, MAX_PALETTE_COUNT> alphas{};
    colors[0] = COLOR_KEY;
    alphas[0] = ALPHA_OPAQUE;
    std::int32_t nPaletteCount = 1;

    // Counting pass: number every pair in the order of its first occurrence,
    // on to the end of the image, so that the count reported is the real one.
    PairIndex colorIndex(std::min<std::size_t>(num_pixels, PAIR_LIMIT));
    std::uint32_t previous = NO_KEY;  // runs are common: their pair is numbered already
    for (std::size_t i = 0; i < num_pixels; ++i) {
        const std::uint32_t key = pixelKey(image, i);
        if (key == NO_KEY || key == previous) continue;
        previous = key;
        std::uint16_t& entry = colorIndex.slot(key);
        if (entry != 0) continue;
        if (nPaletteCount == PAIR_LIMIT) {
            nColors = PAIR_LIMIT;
            return EncodeResult::TooManyColors;
        }
        entry = static_cast<std::uint16_t>(nPaletteCount);
        if (nPaletteCount < MAX_PALETTE_COUNT) {
            colors[static_cast<std::size_t>(nPaletteCount)] = static_cast<std::uint16_t>(key >> 5);
            alphas[static_cast<std::size_t>(nPaletteCount)] =
                static_cast<std::uint8_t>((key & 31) + 1);
        }
        ++nPaletteCount;
    }

    if (nPaletteCount > MAX_PALETTE_COUNT) {
        nColors = nPaletteCount;
        colorIndex.release();
        if (bMultipal) return encodeMultipal(image, outputPath, nColors);
        return EncodeResult::TooManyColors;
    }

    // Encoding pass. A line's codes never take more bytes than it has pixels,
    // so neither buffer grows once reserved, and no line can exceed the
    // 16-bit length entry.
    std::vector<std::uint8_t> codes;
    codes.reserve(num_pixels);
    std::vector<std::uint8_t> lineLengths;
    lineLengths.reserve(std::size_t{height} * 3);
    std::vector<std::uint8_t> values(width);
    previous = NO_KEY;
    std::uint16_t color = 0;
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t start = y * width;
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint32_t key = pixelKey(image, start + x);
            if (key == NO_KEY) {
                values[x] = 0;
                continue;
            }
            if (key != previous) {
                color = colorIndex.find(key);
                previous = key;
            }
            RLE_CHECK(color > 0 && color < nPaletteCount, "color>0 && color < nPaletteCount");
            values[x] = static_cast<std::uint8_t>(color);
        }
        appendLineLength(encodeRleLine(values, codes), lineLengths);
    }
    colorIndex.release();

    RleHeader header;
    header.flags = bAlpha ? RLE_ALPHA : 0;
    header.width = static_cast<std::uint16_t>(width);
    header.height = static_cast<std::uint16_t>(height);
    header.paletteSize = static_cast<std::uint16_t>(nPaletteCount);
    const auto count = static_cast<std::size_t>(nPaletteCount);
    const std::span<const std::uint8_t> alphaPalette =
        bAlpha ? std::span<const std::uint8_t>(alphas.data(), count)
               : std::span<const std::uint8_t>();
    if (!writeRleFile(outputPath, header, std::span(colors.data(), count), alphaPalette,
                      lineLengths, codes)) {
        return EncodeResult::WriteFailed;
    }
    return EncodeResult::Written;
}
