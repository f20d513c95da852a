// Mode b for a loaded RLE image: its lines decoded straight into BMP rows,
// a chunk of rows before each write.
#include <rle565/rle_to_bmp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "output_file.h"
#include "rle_to_bmp_rows.h"

namespace rle565 {

namespace {

// Decodes the lines of a loaded image straight into BMP rows.
template <std::size_t BPP>
class BmpLineDecoder {
public:
    static constexpr std::size_t SLACK = BmpRowCoder<BPP>::SLACK;

    explicit BmpLineDecoder(const Image& image)
        : image_(image),
          data_(heldData(image)),
          coder_(paletteOf(image, data_), (image.flags & RLE_ALPHA) != 0,
                 static_cast<std::uint32_t>(image.width)),
          nLines_(std::min(static_cast<std::size_t>(image.height), image.lineOffsets.size())) {}

    // Writes the row of `line` (see BmpRowCoder::code); the load has checked
    // the codes, and the decoder stays inside the data block regardless.
    void decode(std::size_t line, std::uint8_t* row, std::size_t rowSize) const {
        if (line >= nLines_) {
            coder_.blank(row, rowSize);
            return;
        }
        const std::size_t offset = std::min<std::size_t>(image_.lineOffsets[line], data_.size());
        const std::uint8_t* const end = data_.data() + data_.size();
        coder_.code(data_.data() + offset, end, end, false, row, rowSize);
    }

private:
    const Image& image_;
    std::span<const std::uint8_t> data_;
    BmpRowCoder<BPP> coder_;
    std::size_t nLines_;
};

// Writes the rows bottom line first, decoding a chunk of rows before each
// write; false at the first write refused.
template <std::size_t BPP>
bool writeBmpRows(const Image& image, const BmpLayout& layout, OutputFile& out) {
    const BmpLineDecoder<BPP> decoder(image);
    const auto height = static_cast<std::size_t>(image.height);
    const std::size_t rowsPerChunk =
        std::clamp<std::size_t>(CHUNK_SIZE / layout.rowSize, 1, height);
    std::vector<std::uint8_t> chunk(rowsPerChunk * layout.rowSize + BmpLineDecoder<BPP>::SLACK);
    for (std::size_t r = 0; r < height;) {
        // Rows are filled in file order, so what one row's stores leave in
        // the next is overwritten when that row is decoded.
        const std::size_t nRows = std::min(rowsPerChunk, height - r);
        for (std::size_t k = 0; k < nRows; ++k, ++r)
            decoder.decode(height - 1 - r, chunk.data() + k * layout.rowSize, layout.rowSize);
        if (!out.write(chunk.data(), nRows * layout.rowSize)) return false;
    }
    return true;
}

}  // namespace

bool convertRleToBmp(const Image& image, const OutputTarget& output) {
    if (!fitsBmp(image.width, image.height, image.flags)) return false;
    const bool bAlpha = (image.flags & RLE_ALPHA) != 0;
    const auto layout = layoutBmp(image.width, image.height, bAlpha);
    if (!layout) return false;
    OutputFile out(output);
    if (!out.isOpen()) return false;
    out.reserve(layout->header.size() + std::uint64_t{layout->rowsSize});
    if (!out.write(layout->header.data(), layout->header.size())) return false;
    if (layout->rowSize > 0) {
        const bool bWritten =
            bAlpha ? writeBmpRows<4>(image, *layout, out) : writeBmpRows<3>(image, *layout, out);
        if (!bWritten) return false;
    }
    // Without commit the temporary file goes and the target stays as it was.
    return out.commit();
}

}  // namespace rle565
