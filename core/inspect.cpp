// What files say of themselves for inspectors: an RLE image's palette table
// and what its lines draw, read through the one walker, and the first fault
// of an RLE file that does not load. <rle565/inspect.h>
#include <rle565/encode_single.h>
#include <rle565/inspect.h>
#include <rle565/output_target.h>
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
    const RleShape shape{image.width, image.height, image.flags, image.paletteSize};
    RleTable table;
    use.nUsedBytes = readRleTable(data, data.size(), shape, table) ? data.size()
                                                                   : table.codesStart + table.total;
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

FitReport judgeFit(const Image& image) {
    FitReport report;
    if (image.isRle() || image.width <= 0 || image.height <= 0) return report;
    const auto width = static_cast<std::size_t>(image.width);
    // One bit per palette key: 65536 colours at 32 visible alpha levels.
    std::vector<std::uint64_t> seen((std::size_t{1} << 21) / 64);
    std::vector<std::uint32_t> line;
    line.reserve(width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y) {
        line.clear();
        for (std::size_t i = y * width; i < (y + 1) * width; ++i) {
            const std::uint8_t a = image.hasAlpha()
                                       ? std::min(image.alpha[i], ALPHA_OPAQUE)
                                       : (image.pixels[i] == COLOR_KEY ? 0 : ALPHA_OPAQUE);
            if (a == 0) continue;
            const std::uint32_t key = std::uint32_t{image.pixels[i]} * 32 + (a - 1u);
            line.push_back(key);
            std::uint64_t& word = seen[key >> 6];
            report.nPairs += static_cast<std::uint32_t>(~word >> (key & 63) & 1);
            word |= std::uint64_t{1} << (key & 63);
        }
        std::sort(line.begin(), line.end());
        const auto nLine =
            static_cast<std::uint32_t>(std::unique(line.begin(), line.end()) - line.begin());
        if (nLine > report.nLinePairs) {
            report.nLinePairs = nLine;
            report.nFullestLine = static_cast<std::int32_t>(y);
        }
    }
    if (report.nPairs <= RLE_MAX_VISIBLE) return report;
    report.fit = ImageFit::Reduce;
    // The multi-palette encoder codes a line of at most 251 pairs; whether
    // its palettes fit the tables only encoding tells.
    if (report.nLinePairs >= RLE_MAX_VISIBLE) return report;
    std::vector<std::uint8_t> bytes;
    std::int32_t nColors = 0;
    CheckFailure failure;
    if (convertToRle(image, OutputTarget(bytes), true, nColors, &failure) == EncodeResult::Written)
        report.fit = ImageFit::Multipal;
    return report;
}

}  // namespace rle565
