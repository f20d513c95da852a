#include "formats/rle_writer.h"

#include <rle565/rle_format.h>

#include <array>
#include <vector>

#include "bytes.h"
#include "output_file.h"

namespace rle565 {

bool writeRleFile(const OutputTarget& target, const RleHeader& header,
                  std::span<const std::uint16_t> palette,
                  std::span<const std::uint8_t> alphaPalette,
                  std::span<const std::uint8_t> lineLengths,
                  std::span<const std::uint8_t> lineCodes) {
    std::array<std::uint8_t, RLE_HEADER_SIZE> head{};
    storeLe16(&head[RLE_HEAD_MAGIC], RLE_MAGIC);
    storeLe16(&head[RLE_HEAD_FLAGS], header.flags);
    storeLe16(&head[RLE_HEAD_WIDTH], header.width);
    storeLe16(&head[RLE_HEAD_HEIGHT], header.height);
    storeLe16(&head[RLE_HEAD_PALETTE_SIZE], header.paletteSize);
    storeLe16(&head[RLE_HEAD_HEIGHT_AGAIN], header.height);

    // Each colour follows the colours of the entries before it, and the last
    // ends where the alpha table starts.
    const auto nEntries = static_cast<std::uint32_t>(palette.size());
    std::vector<std::uint8_t> table(rleAlphaTableOffset(nEntries));
    for (std::uint32_t i = 0; i < nEntries; ++i) {
        storeLe16(&table[rleAlphaTableOffset(i)], palette[i]);
    }

    OutputFile out(target);
    if (!out.isOpen()) return false;
    out.write(head.data(), head.size());
    out.write(table.data(), table.size());
    if (!alphaPalette.empty()) out.write(alphaPalette.data(), alphaPalette.size());
    out.write(lineLengths.data(), lineLengths.size());
    out.write(lineCodes.data(), lineCodes.size());
    return out.commit();
}

}  // namespace rle565
