#include "rle_file_check.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "runtime/layout.h"

namespace rle565::detail {

bool readAt(int fd, std::uint8_t* dst, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, dst, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        dst += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

LinesCheck checkFileLines(int fd, const RleShape& shape, const RleTable& table,
                          std::vector<std::uint8_t>& window) {
    const auto height = static_cast<std::size_t>(shape.height);
    const auto width = static_cast<std::uint32_t>(shape.width);
    for (std::size_t first = 0; first < height;) {
        const std::uint64_t base = table.offsets[first];
        std::size_t last = first + 1;  // the window holds lines first to last - 1
        while (last < height && lineEndOf(table, height, last) - base <= CODES_WINDOW) ++last;
        const auto size = static_cast<std::size_t>(lineEndOf(table, height, last - 1) - base);
        if (size > window.size()) return LinesCheck::Short;
        if (!readAt(fd, window.data(), size, RLE_HEADER_SIZE + table.codesStart + base))
            return LinesCheck::Short;
        const auto scan = [&](std::size_t line) {
            return LineScan(window.data() + (table.offsets[line] - base),
                            window.data() + (lineEndOf(table, height, line) - base),
                            window.data() + size, width, shape.paletteSize);
        };
        // Two lines side by side, which the processor follows at once (four
        // gain nothing more).
        std::size_t line = first;
        for (; line + 2 <= last; line += 2) {
            LineScan scans[2] = {scan(line), scan(line + 1)};
            if (!areLinesSound(scans)) return LinesCheck::Unsound;
        }
        for (; line < last; ++line) {
            LineScan scans[1] = {scan(line)};
            if (!areLinesSound(scans)) return LinesCheck::Unsound;
        }
        first = last;
    }
    return LinesCheck::Sound;
}

namespace {

// The header and tables of the regular RLE file at fd, read as the loader
// reads them: nullptr, or the loader's message for a file whose header is
// cut short, whose data block is too large or whose tables are unsound.
const char* readTables(int fd, std::uint64_t fileSize, RleShape& shape, RleTable& table) {
    // The loader's reads, in its order: the header, then the whole data
    // block, which must fit the record's 32-bit size.
    std::array<std::uint8_t, RLE_HEADER_SIZE> head;
    if (fileSize < RLE_HEADER_SIZE || !readAt(fd, head.data(), head.size(), 0))
        return RLE_ERROR_HEADER;
    const BlockShape header = readRleHeader(head.data());
    shape = {static_cast<std::int32_t>(header.width), static_cast<std::int32_t>(header.height),
             IMAGE_RLE | header.flags, static_cast<std::uint16_t>(header.nEntries)};
    const std::uint64_t blockSize = fileSize - RLE_HEADER_SIZE;
    if (blockSize > UINT32_MAX) return RLE_ERROR_READ;

    // The palette tables and the line-length table, which is at most three
    // bytes a line.
    const std::uint64_t tableStart = rleLengthTableOffset(shape.paletteSize, shape.flags);
    const auto headSize = static_cast<std::size_t>(
        std::min(blockSize, tableStart + 3 * static_cast<std::uint64_t>(shape.height)));
    std::vector<std::uint8_t> tables(headSize);
    if (!readAt(fd, tables.data(), headSize, RLE_HEADER_SIZE)) return RLE_ERROR_READ;
    if (readRleTable(tables, blockSize, shape, table)) return RLE_ERROR_CORRUPT;
    const auto height = static_cast<std::size_t>(shape.height);
    for (std::size_t line = 0; line < height; ++line) {
        if (table.codesStart + lineEndOf(table, height, line) > blockSize) return RLE_ERROR_CORRUPT;
    }
    return nullptr;
}

}  // namespace

std::uint64_t rleFileExtent(int fd, std::uint64_t fileSize) {
    RleShape shape;
    RleTable table;
    if (readTables(fd, fileSize, shape, table)) return fileSize;
    return RLE_HEADER_SIZE + table.codesStart + table.total;
}

const char* checkRleFile(int fd, std::uint64_t fileSize, RleShape& shape) {
    RleTable table;
    if (const char* fault = readTables(fd, fileSize, shape, table)) return fault;
    // Every line's codes; bytes after the last line's change nothing and
    // are not read.
    std::vector<std::uint8_t> window(
        static_cast<std::size_t>(std::min<std::uint64_t>(CODES_WINDOW, table.total)));
    switch (checkFileLines(fd, shape, table, window)) {
        case LinesCheck::Sound:
            return nullptr;
        case LinesCheck::Unsound:
            return RLE_ERROR_CORRUPT;
        case LinesCheck::Short:
            break;
    }
    return RLE_ERROR_READ;
}

}  // namespace rle565::detail
