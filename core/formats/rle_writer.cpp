#include "formats/rle_writer.h"

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
    std::array<std::uint8_t, 12> head{};
    storeLe16(&head[0], 0x4C52);
    storeLe16(&head[2], header.flags);
    storeLe16(&head[4], header.width);
    storeLe16(&head[6], header.height);
    storeLe16(&head[8], header.paletteSize);
    storeLe16(&head[10], header.height);

    std::vector<std::uint8_t> table(palette.size() * 2);
    for (std::size_t i = 0; i < palette.size(); ++i) storeLe16(&table[2 * i], palette[i]);

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
