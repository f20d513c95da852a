#include <rle565/encode_single.h>
#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bytes.h"
#include "check.h"
#include "encode/encode_multipal.h"
#include "encode/key_table.h"
#include "encode/limits.h"
#include "encode/pixel_source.h"
#include "encode/rle_line.h"
#include "encode/run_scan.h"
#include "formats/rle_writer.h"

namespace rle565 {

namespace {

// Entries of one palette, entry 0 (the transparent entry) included.
constexpr auto MAX_PALETTE_COUNT = static_cast<std::int32_t>(RLE_MAX_ENTRIES);

// Alpha 32 over colour 0xFFFF is the largest raw value.
constexpr std::uint32_t RAW_LIMIT = (std::uint32_t{ALPHA_OPAQUE} << 16 | 0xFFFF) + 1;

// No raw value is this.
constexpr std::uint32_t NO_RAW = 0xFFFFFFFF;

// The palette in the making, entry 0 being the transparent entry and entries
// from 1 on the pairs in the order in which they first occur, and the value of
// each raw value met so far: its entry number, 0 for the transparent one.
// The values sit in a hashed table that a full palette keeps below one eighth
// full: nearly every pixel finds its raw value in the first slot it looks at,
// and the table stays in the first-level cache.
class SinglePalette {
public:
    std::array<std::uint16_t, MAX_PALETTE_COUNT> colors{COLOR_KEY};
    std::array<std::uint8_t, MAX_PALETTE_COUNT> alphas{ALPHA_OPAQUE};
    std::array<std::uint32_t, MAX_PALETTE_COUNT> entryRaws{};
    std::int32_t nPaletteCount = 1;

    explicit SinglePalette(std::uint32_t transparent) { entries_.insert(transparent, 0); }

    // The value of a pixel: its entry number, numbered now when its pair is
    // new, or 0 when it is transparent. FULL when the pair is new and the
    // palette is full; nothing is numbered then.
    static constexpr std::int32_t FULL = -1;
    template <bool bAlpha>
    std::int32_t value(std::uint32_t raw) {
        const std::size_t i = Entries::home(raw);
        if (entries_.holds(i, raw)) return entries_.value(i);
        return find<bAlpha>(raw, i);
    }

private:
    using Entries = KeyTable<2048, std::uint8_t>;

    // The rest of value(): raw is not in slot i. The transparent value,
    // placed first, always sits in its home slot, so raw is a visible pair.
    template <bool bAlpha>
    std::int32_t find(std::uint32_t raw, std::size_t i) {
        i = entries_.probe(raw, i);
        if (entries_.isEmpty(i)) {
            if (nPaletteCount == MAX_PALETTE_COUNT) return FULL;
            const std::uint32_t key = PixelSource<bAlpha>::key(raw);
            const auto k = static_cast<std::size_t>(nPaletteCount);
            colors[k] = static_cast<std::uint16_t>(key >> 5);
            alphas[k] = static_cast<std::uint8_t>((key & 31) + 1);
            entryRaws[k] = raw;
            entries_.put(i, raw, static_cast<std::uint8_t>(nPaletteCount++));
        }
        const std::int32_t color = entries_.value(i);
        RLE_CHECK(color > 0 && color < nPaletteCount, "color>0 && color < nPaletteCount");
        return color;
    }

    Entries entries_;
};

// Numbers the new pairs of one line and writes its values: 0 for transparent
// pixels, else the pair's entry number. Returns the line's width, or the x of
// the first pixel whose pair finds the palette full; its values from there on
// are not written. Numbering goes in image order, so by the time a line is
// reached every pair of the lines above has its number.
template <bool bAlpha>
std::size_t numberLine(const PixelSource<bAlpha>& source, std::size_t start,
                       std::span<std::uint8_t> values, SinglePalette& pal) {
    // A copy the compiler can keep in registers: stores of bytes might change
    // the caller's.
    const PixelSource<bAlpha> pixels = source;
    const std::size_t width = values.size();
    std::uint32_t raw = NO_RAW;
    std::uint8_t color = 0;
    std::size_t x = 0;
    while (x < width) {
        if (x + RUN_BLOCK <= width && raw != NO_RAW && pixels.sameBlock(start + x, raw)) {
            std::memset(&values[x], color, RUN_BLOCK);
            x += RUN_BLOCK;
            continue;
        }
        for (const std::size_t end = std::min(width, x + RUN_BLOCK); x < end; ++x) {
            raw = pixels.raw(start + x);
            const std::int32_t value = pal.value<bAlpha>(raw);
            if (value == SinglePalette::FULL) return x;
            color = static_cast<std::uint8_t>(value);
            values[x] = color;
        }
    }
    return width;
}

// Images without an alpha plane are numbered and coded in one walk over each
// line's colours, as equal colours are equal values: runs are found on the
// colours, and only the literals and each run's first pixel are looked up.
// Lookups go in image order, so the pairs are numbered as numberLine() would
// number them, and the codes are those encodeRleLine() gives for the values.
//
// Codes the width pixels from `pixels` into `out`, which has room for width
// bytes, and returns the byte count. When a pixel brings a new pair and the
// palette is full, returns nothing with fullAt set to its x.
std::optional<std::size_t> codeColorLine(const std::uint16_t* pixels, std::size_t width,
                                         std::uint8_t* out, SinglePalette& pal,
                                         std::size_t& fullAt) {
    std::uint8_t* dst = out;
    std::size_t i = 0;
    while (i < width) {
        const std::size_t start = findRunStart(pixels, i, width);
        for (; i < start; ++i) {
            const std::int32_t value = pal.value<false>(pixels[i]);
            if (value == SinglePalette::FULL) {
                fullAt = i;
                return std::nullopt;
            }
            *dst++ = static_cast<std::uint8_t>(value);
        }
        if (i == width) break;
        const std::size_t end = findRunEnd(pixels, i, std::min(width, i + MAX_RUN));
        const std::int32_t value = pal.value<false>(pixels[i]);
        if (value == SinglePalette::FULL) {
            fullAt = i;
            return std::nullopt;
        }
        dst = putRun(dst, static_cast<std::uint8_t>(value), end - i);
        i = end;
    }
    return static_cast<std::size_t>(dst - out);
}

// Goes on counting the distinct pairs from pixel `from` to the end, once the
// palette is full; only the count matters from here on. `met` holds one bit
// per raw value, set for the transparent value and for the pairs met so far.
// False when the image holds so many pairs that a new one turns up with
// nPaletteCount at PAIR_LIMIT.
template <bool bAlpha>
bool countPairs(const PixelSource<bAlpha>& source, std::size_t from, std::size_t num_pixels,
                std::vector<std::uint64_t>& met, std::int32_t& nPaletteCount) {
    // Counting every pixel without a branch costs less than the mispredicted
    // jumps of skipping runs; the limit only needs to be looked at now and
    // then, as the count never falls.
    constexpr std::size_t STRETCH = 4096;
    for (std::size_t i = from; i < num_pixels;) {
        const std::size_t end = std::min(num_pixels, i + STRETCH);
        std::int32_t added = 0;
        for (; i < end; ++i) {
            const std::uint32_t raw = source.raw(i);
            std::uint64_t& word = met[raw >> 6];
            added += static_cast<std::int32_t>(~word >> (raw & 63) & 1);
            word |= std::uint64_t{1} << (raw & 63);
        }
        if (added > PAIR_LIMIT - nPaletteCount) return false;
        nPaletteCount += added;
    }
    return true;
}

template <bool bAlpha>
EncodeResult convertPixels(const Image& image, const OutputTarget& output, bool bMultipal,
                           std::int32_t& nColors, CheckFailure* failure) {
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    // Two 16-bit factors: the product always fits.
    const std::size_t num_pixels = *checkedMul(static_cast<std::uint32_t>(image.width),
                                               static_cast<std::uint32_t>(image.height));
    const PixelSource<bAlpha> source{image.pixels.data(), image.alpha.data()};
    SinglePalette pal(PixelSource<bAlpha>::TRANSPARENT);

    // One pass numbers the pairs and codes each line as soon as it is
    // numbered. A line's codes never take more bytes than it has pixels, so
    // the codes buffer is sized once; it is left uninitialised, so that only
    // the pages that codes are written to are ever touched. No line can
    // exceed the 16-bit length entry.
    auto codes = std::make_unique_for_overwrite<std::uint8_t[]>(num_pixels);
    std::size_t nCodes = 0;
    std::vector<std::uint8_t> lineLengths;
    lineLengths.reserve(height * MAX_LENGTH_ENTRY_SIZE);
    std::vector<std::uint8_t> values(bAlpha ? width : 0);  // alpha images only
    std::size_t y = 0;
    std::size_t x = width;
    for (; y < height; ++y) {
        std::size_t count = 0;
        if constexpr (bAlpha) {
            x = numberLine(source, y * width, values, pal);
            if (x < width) break;
            count = encodeRleLine(values, std::span(codes.get() + nCodes, num_pixels - nCodes));
        } else {
            const std::optional<std::size_t> coded =
                codeColorLine(source.pixels + y * width, width, codes.get() + nCodes, pal, x);
            if (!coded) break;
            count = *coded;
        }
        nCodes += count;
        appendLineLength(count, lineLengths);
    }

    if (y < height) {
        // The palette is full, yet pixel (x, y) brings a new pair.
        codes.reset();
        if (bMultipal) {
            const std::optional<EncodeResult> result =
                countAndEncodeMultipal(image, output, nColors, failure);
            if (result) return *result;
        }
        // Count on to the end of the image, so that the count reported is
        // the real one; a line too full for the multi-palette encoder is
        // reported as such, unless the image holds too many pairs for it
        // anyway.
        std::vector<std::uint64_t> met((RAW_LIMIT + 63) / 64);
        const auto mark = [&met](std::uint32_t raw) {
            met[raw >> 6] |= std::uint64_t{1} << (raw & 63);
        };
        mark(PixelSource<bAlpha>::TRANSPARENT);
        for (std::size_t k = 1; k < MAX_PALETTE_COUNT; ++k) mark(pal.entryRaws[k]);
        if (!countPairs(source, y * width + x, num_pixels, met, pal.nPaletteCount)) {
            nColors = PAIR_LIMIT;
        } else {
            nColors = bMultipal ? static_cast<std::int32_t>(PALETTE_FULL) : pal.nPaletteCount;
        }
        return EncodeResult::TooManyColors;
    }

    RleHeader header;
    header.flags = bAlpha ? RLE_ALPHA : 0;
    header.width = static_cast<std::uint16_t>(width);
    header.height = static_cast<std::uint16_t>(height);
    header.paletteSize = static_cast<std::uint16_t>(pal.nPaletteCount);
    const auto count = static_cast<std::size_t>(pal.nPaletteCount);
    const std::span<const std::uint8_t> alphaPalette =
        bAlpha ? std::span<const std::uint8_t>(pal.alphas.data(), count)
               : std::span<const std::uint8_t>();
    if (!writeRleFile(output, header, std::span(pal.colors.data(), count), alphaPalette,
                      lineLengths, std::span(codes.get(), nCodes))) {
        return EncodeResult::WriteFailed;
    }
    return EncodeResult::Written;
}

}  // namespace

namespace {

EncodeResult encodeTo(const Image& image, const OutputTarget& output, bool bMultipal,
                      std::int32_t& nColors, CheckFailure* failure) {
    nColors = 0;
    if (!sidesFit(image)) return EncodeResult::TooLarge;
    return catchCheckFailure(failure, [&] {
        if (image.hasAlpha())
            return convertPixels<true>(image, output, bMultipal, nColors, failure);
        return convertPixels<false>(image, output, bMultipal, nColors, failure);
    });
}

}  // namespace

EncodeResult convertToRle(const Image& image, const OutputTarget& output, bool bMultipal,
                          std::int32_t& nColors, CheckFailure* failure) {
    return encodeTo(image, output, bMultipal, nColors, failure);
}

EncodeResult encodeRle(const Image& image, std::vector<std::uint8_t>& bytes, bool bMultipal,
                       std::int32_t& nColors, CheckFailure* failure) {
    bytes.clear();
    const EncodeResult result = encodeTo(image, OutputTarget(bytes), bMultipal, nColors, failure);
    if (result != EncodeResult::Written) bytes.clear();
    return result;
}

}  // namespace rle565
