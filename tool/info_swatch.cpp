#include "info_swatch.h"

#include <rle565/blit.h>
#include <rle565/inspect.h>
#include <rle565/rle_format.h>

#include <algorithm>
#include <span>

namespace rle565 {

namespace {

// Two greys for the checkerboard under see-through cells, squares of 4 pixels,
// and the colour of cells that hold no entry.
constexpr std::uint16_t CHECK_LIGHT = 0xFFFF;
constexpr std::uint16_t CHECK_DARK = 0xC618;
constexpr std::int32_t CHECK_SQUARE = 4;
constexpr std::uint16_t EMPTY_CELL = 0x4208;

void drawCell(Image& swatch, std::int32_t column, std::int32_t row, std::uint16_t color,
              std::uint8_t a) {
    const auto stride = static_cast<std::size_t>(swatch.width);
    for (std::int32_t v = 0; v < SWATCH_CELL; ++v) {
        const auto y = static_cast<std::size_t>(row * SWATCH_CELL + v);
        for (std::int32_t u = 0; u < SWATCH_CELL; ++u) {
            const auto x = static_cast<std::size_t>(column * SWATCH_CELL + u);
            std::uint16_t pixel = color;
            if (a < ALPHA_OPAQUE) {
                const bool bLight = ((u / CHECK_SQUARE + v / CHECK_SQUARE) & 1) == 0;
                pixel = blendRgb565(color, bLight ? CHECK_LIGHT : CHECK_DARK, a);
            }
            swatch.pixels[y * stride + x] = pixel;
        }
    }
}

}  // namespace

std::optional<Image> drawSwatch(const Image& rle, const std::vector<PaletteUse>& palettes,
                                std::size_t* nRowsLeft) {
    const std::uint32_t nEntries = rle.paletteSize;
    std::vector<std::vector<std::uint32_t>> rows;
    std::size_t nRows = 0;
    if (palettes.empty()) {
        nRows = (std::size_t{nEntries} + SWATCH_COLUMNS - 1) / SWATCH_COLUMNS;
        for (std::uint32_t e = 0; e < nEntries && rows.size() <= SWATCH_MAX_ROWS; ++e) {
            if (e % SWATCH_COLUMNS == 0) rows.emplace_back();
            rows.back().push_back(e);
        }
    } else {
        nRows = palettes.size();
        for (const PaletteUse& pal : palettes) {
            if (rows.size() == SWATCH_MAX_ROWS) break;
            std::vector<std::uint32_t>& row = rows.emplace_back();
            const std::uint32_t size = std::min(pal.size, SWATCH_MAX_LOCAL);
            for (std::uint32_t k = 1; k <= size; ++k) row.push_back(pal.base + k);
        }
    }
    if (rows.size() > SWATCH_MAX_ROWS) rows.resize(SWATCH_MAX_ROWS);
    if (nRowsLeft) *nRowsLeft = nRows - rows.size();
    std::size_t nColumns = 0;
    for (const auto& row : rows) nColumns = std::max(nColumns, row.size());
    if (nColumns == 0) return std::nullopt;

    // At most 255 columns and 64 rows of 16 pixels.
    const std::uint64_t width = std::uint64_t{nColumns} * SWATCH_CELL;
    const std::uint64_t height = std::uint64_t{rows.size()} * SWATCH_CELL;

    Image swatch;
    swatch.width = static_cast<std::int32_t>(width);
    swatch.height = static_cast<std::int32_t>(height);
    swatch.pixels.assign(static_cast<std::size_t>(width * height), EMPTY_CELL);

    const RlePaletteTable table = readRlePalette(rle);
    // A loaded image has its tables inside the data block; this only guards.
    if (table.colors.size() != nEntries) return std::nullopt;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            const std::size_t e = rows[r][c];
            // Palettes end at entry N - 1; this only guards.
            if (e >= nEntries) continue;
            drawCell(swatch, static_cast<std::int32_t>(c), static_cast<std::int32_t>(r),
                     table.colors[e], table.alphas[e]);
        }
    }
    return swatch;
}

}  // namespace rle565
