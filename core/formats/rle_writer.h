// The writing step shared by both encoders: header, palette tables, the
// line-length table and the line codes, in one safely replaced file.
#pragma once

#include <cstdint>
#include <span>

#include "output_file.h"

namespace rle565 {

struct RleHeader {
    std::uint16_t flags = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t paletteSize = 0;
};

// Writes one RLE file. `palette` and, when not empty, `alphaPalette` hold
// header.paletteSize entries each. False when the file cannot be created or a
// write fails; an existing file of that name is then left as it was. A target
// in memory is appended to.
[[nodiscard]] bool writeRleFile(const OutputTarget& target, const RleHeader& header,
                                std::span<const std::uint16_t> palette,
                                std::span<const std::uint8_t> alphaPalette,
                                std::span<const std::uint8_t> lineLengths,
                                std::span<const std::uint8_t> lineCodes);

}  // namespace rle565
