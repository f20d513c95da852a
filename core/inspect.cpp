// What files say of themselves for inspectors: an RLE image's palette table
// and what its lines draw, read through the one walker, and the first fault
// of an RLE file that does not load. <rle565/inspect.h>
#include <rle565/inspect.h>
#include <rle565/rle_format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "bytes.h"
#include "formats/rle_reader.h"
#include "runtime/walk.h"

namespace rle565 {

namespace {

// Counts what one line's codes draw, through the one code walker, and notes
// the palette bases the line selects.
struct PixelCounter {
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;

    std::vector<std::uint64_t>& drawn;
    std::vector<std::uint32_t>& bases;
    std::uint64_t& nSkipped;
    bool bFirst = true;

    // A line that draws or skips before any switch code uses base 0.
    void first() {
        if (bFirst) bases.push_back(0);
        bFirst = false;
    }
    void shortCodes(const std::uint8_t* codes, std::uint32_t count, std::uint32_t base,
                    std::uint32_t) {
        first();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (codes[i] == CODE_SKIP) {
                ++nSkipped;
            } else {
                ++drawn[base + codes[i]];
            }
        }
    }
    void literal(std::uint32_t e, std::uint32_t) {
        first();
        ++drawn[e];
    }
    void run(std::uint32_t e, std::uint32_t, std::uint32_t count) {
        first();
        drawn[e] += count;
    }
    void skip(std::uint32_t, std::uint32_t count) {
        first();
        nSkipped += count;
    }
    void setBase(std::uint32_t base) {
        bases.push_back(base);
        bFirst = false;
    }
};

}  // namespace

RlePaletteTable readRlePalette(const Image& image) {
    RlePaletteTable table;
    const std::span<const std::uint8_t> data = image.dataBlock();
    const std::uint32_t nEntries = image.paletteSize;
    if (!image.isRle() || rleLengthTableOffset(nEntries, image.flags) > data.size()) return table;
    const bool bAlpha = (image.flags & RLE_ALPHA) != 0;
    const std::size_t alphaStart = rleAlphaTableOffset(nEntries);
    table.colors.reserve(nEntries);
    table.alphas.reserve(nEntries);
    for (std::uint32_t e = 0; e < nEntries; ++e) {
        table.colors.push_back(loadLe16(&data[rleAlphaTableOffset(e)]));
        table.alphas.push_back(bAlpha ? data[alphaStart + e] : ALPHA_OPAQUE);
    }
    return table;
}

RleUse measureRleUse(const Image& image) {
    RleUse use;
    if (!image.isRle() || image.width < 0) return use;
    const std::span<const std::uint8_t> data = image.dataBlock();
    const std::uint32_t nEntries = image.paletteSize;
    const auto width = static_cast<std::uint32_t>(image.width);
    use.drawn.assign(nEntries, 0);
    // Every read stays in the data block, even for a hand-made record.
    for (const std::uint32_t offset : image.lineOffsets) {
        PixelCounter counter{use.drawn, use.bases, use.nSkipped};
        const std::uint8_t* const start = data.data() + std::min<std::size_t>(offset, data.size());
        const std::uint8_t* const end = data.data() + data.size();
        walkLine(start, end, end, width, width, nEntries, counter);
        counter.first();
    }
    return use;
}

std::optional<RleDamage> findRleDamage(std::span<const std::uint8_t> file) {
    std::optional<Image> raw = readRleUnchecked(file);
    if (!raw) return std::nullopt;
    const std::optional<RleFault> fault = indexRleLines(*raw);
    if (!fault) return std::nullopt;
    RleDamage damage;
    damage.header = std::move(*raw);
    damage.header.release();
    damage.what = fault->what;
    damage.line = fault->line;
    return damage;
}

}  // namespace rle565
