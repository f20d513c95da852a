// The palette swatch of rle565-info: an RLE file's palette table drawn as a
// grid of colour cells.
#pragma once

#include <rle565/image.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "info_report.h"

namespace rle565 {

// Pixels per side of one cell, and cells per row of a single-palette grid.
inline constexpr std::int32_t SWATCH_CELL = 16;
inline constexpr std::int32_t SWATCH_COLUMNS = 16;

// Rows drawn at most, so that a swatch stays small whatever the file: 64
// rows of up to 255 cells, 4080 x 1024 pixels.
inline constexpr std::size_t SWATCH_MAX_ROWS = 64;

// The highest local number a palette's codes reach: a literal names up to
// 252, a run's index byte up to 255.
inline constexpr std::uint32_t SWATCH_MAX_LOCAL = 255;

// Draws the palette table of a loaded RLE image as a plain image. With
// `palettes` empty the table is drawn, SWATCH_COLUMNS entries per row
// (row r, column c: entry r * SWATCH_COLUMNS + c). Otherwise each palette gets
// a row of its own, column c holding its local number c + 1 (up to
// SWATCH_MAX_LOCAL). Cells of partial or no alpha are laid over
// a checkerboard; cells past a short row stay dark grey. At most
// SWATCH_MAX_ROWS rows are drawn; *nRowsLeft (when given) gets the number of
// rows left out. Nothing when there is no entry to draw.
std::optional<Image> drawSwatch(const Image& rle, const std::vector<PaletteUse>& palettes,
                                std::size_t* nRowsLeft = nullptr);

}  // namespace rle565
