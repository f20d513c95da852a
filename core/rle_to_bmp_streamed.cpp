// Mode b for large RLE files, without holding the whole file: the tables are
// read first, then the lines' codes a window at a time, all of them checked
// before the first byte is written, then again to decode them.
#include <fcntl.h>
#include <rle565/rle_to_bmp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/rle_reader.h"
#include "output_file.h"
#include "rle_file_check.h"
#include "rle_to_bmp_rows.h"
#include "runtime/layout.h"

namespace rle565 {

namespace {

using detail::CODES_WINDOW;
using detail::lineEndOf;
using detail::readAt;

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// How a pass over a streamed file's rows ended.
enum class Pass {
    Done,     // every row written
    Short,    // a read fell short, or a line checked before is unsound now
    Unsound,  // a line's codes are unsound
    Refused,  // a write was refused
};

// The rows of a streamed RLE file, bottom line first: the lines' codes are
// read from the end of the file backwards, a window of whole lines at a time.
// The lines were checked before; a line found unsound now, like a read that
// falls short, means the file changed under us.
template <std::size_t BPP>
Pass writeStreamedRows(int fd, const RleShape& shape, const RleTable& table, const RlePalette& pal,
                       const BmpLayout& layout, std::vector<std::uint8_t>& codesWindow,
                       OutputFile& out) {
    const auto height = static_cast<std::size_t>(shape.height);
    const BmpRowCoder<BPP> coder(pal, (shape.flags & RLE_ALPHA) != 0,
                                 static_cast<std::uint32_t>(shape.width));
    const auto lineEnd = [&table, height](std::size_t line) -> std::uint64_t {
        return line + 1 < height ? table.offsets[line + 1] : table.total;
    };
    const std::size_t rowsPerChunk =
        std::clamp<std::size_t>(CHUNK_SIZE / layout.rowSize, 1, height);
    std::vector<std::uint8_t> chunk(rowsPerChunk * layout.rowSize + BmpRowCoder<BPP>::SLACK);
    std::vector<std::uint8_t>& window = codesWindow;
    std::size_t first = height;  // the window holds lines first to last
    std::uint64_t base = 0;      // the block offset of line `first`'s codes, less codesStart
    for (std::size_t r = 0; r < height;) {
        const std::size_t nRows = std::min(rowsPerChunk, height - r);
        for (std::size_t k = 0; k < nRows; ++k, ++r) {
            const std::size_t line = height - 1 - r;
            if (line < first) {
                const std::uint64_t end = lineEnd(line);
                std::size_t lo = line;
                while (lo > 0 && end - table.offsets[lo - 1] <= CODES_WINDOW) --lo;
                base = table.offsets[lo];
                const auto size = static_cast<std::size_t>(end - base);
                if (size > window.size()) return Pass::Short;
                if (!readAt(fd, window.data(), size, RLE_HEADER_SIZE + table.codesStart + base))
                    return Pass::Short;
                first = lo;
            }
            const std::uint8_t* const codes = window.data() + (table.offsets[line] - base);
            const std::uint8_t* const codesEnd = window.data() + (lineEnd(line) - base);
            if (!coder.code(codes, codesEnd, window.data() + window.size(), true,
                            chunk.data() + k * layout.rowSize, layout.rowSize))
                return Pass::Short;
        }
        if (!out.write(chunk.data(), nRows * layout.rowSize)) return Pass::Refused;
    }
    return Pass::Done;
}

}  // namespace

StreamedBmp streamRleFileToBmp(const char* inputPath, const OutputTarget& output,
                               std::uint64_t smallest) {
    // Small files, the usual case, are left at once to the loaded way: one
    // look at the size, without opening them twice.
    struct stat info;
    if (::stat(inputPath, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) < smallest)
        return StreamedBmp::NotTaken;
    const FileDescriptor in{::open(inputPath, O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
        return StreamedBmp::NotTaken;
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    if (fileSize < std::max<std::uint64_t>(smallest, RLE_HEADER_SIZE) ||
        fileSize - RLE_HEADER_SIZE > UINT32_MAX)
        return StreamedBmp::NotTaken;
    std::array<std::uint8_t, RLE_HEADER_SIZE> head;
    if (!readAt(in.fd, head.data(), head.size(), 0) || !hasRleMagic(head.data(), head.size()))
        return StreamedBmp::NotTaken;
    const BlockShape header = readRleHeader(head.data());
    const RleShape shape{static_cast<std::int32_t>(header.width),
                         static_cast<std::int32_t>(header.height), IMAGE_RLE | header.flags,
                         static_cast<std::uint16_t>(header.nEntries)};
    const std::uint64_t blockSize = fileSize - RLE_HEADER_SIZE;

    // The palette tables and the line-length table, which is at most three
    // bytes a line.
    const bool bSourceAlpha = (shape.flags & RLE_ALPHA) != 0;
    const std::uint64_t tableStart = rleLengthTableOffset(shape.paletteSize, shape.flags);
    const auto headSize = static_cast<std::size_t>(
        std::min(blockSize, tableStart + 3 * static_cast<std::uint64_t>(shape.height)));
    std::vector<std::uint8_t> tables(headSize);
    if (!readAt(in.fd, tables.data(), headSize, RLE_HEADER_SIZE)) return StreamedBmp::NotTaken;
    RleTable table;
    if (readRleTable(tables, blockSize, shape, table)) return StreamedBmp::Corrupt;
    const auto height = static_cast<std::size_t>(shape.height);
    for (std::size_t line = 0; line < height; ++line) {
        if (table.codesStart + lineEndOf(table, height, line) > blockSize)
            return StreamedBmp::Corrupt;
    }
    // Every line is checked before the first byte is written, so that a
    // damaged file writes nothing at all, however large its BMP would be.
    std::vector<std::uint8_t> window(CODES_WINDOW);
    switch (detail::checkFileLines(in.fd, shape, table, window)) {
        case detail::LinesCheck::Sound:
            break;
        case detail::LinesCheck::Unsound:
            return StreamedBmp::Corrupt;
        case detail::LinesCheck::Short:
            return StreamedBmp::NotTaken;
    }

    if (!fitsBmp(shape.width, shape.height, shape.flags)) return StreamedBmp::Failed;
    const bool bAlpha = bSourceAlpha;
    const auto layout = layoutBmp(shape.width, shape.height, bAlpha);
    if (!layout) return StreamedBmp::Failed;
    const RlePalette pal{tables.data(), tables.data() + rleAlphaTableOffset(shape.paletteSize),
                         shape.paletteSize};
    OutputFile out(output);
    if (!out.isOpen()) return StreamedBmp::Failed;
    out.reserve(layout->header.size() + std::uint64_t{layout->rowsSize});
    if (!out.write(layout->header.data(), layout->header.size())) return StreamedBmp::Failed;
    if (layout->rowSize > 0) {
        const Pass pass =
            bAlpha ? writeStreamedRows<4>(in.fd, shape, table, pal, *layout, window, out)
                   : writeStreamedRows<3>(in.fd, shape, table, pal, *layout, window, out);
        // A file that changed under us is left to the loaded way, which
        // reads it whole; the temporary file goes.
        if (pass == Pass::Short || pass == Pass::Unsound) return StreamedBmp::NotTaken;
        if (pass == Pass::Refused) return StreamedBmp::Failed;
    }
    return out.commit() ? StreamedBmp::Written : StreamedBmp::Failed;
}

}  // namespace rle565
