// RLE files checked where they lie, without holding them: the tables are
// read first, then the lines' codes a window of whole lines at a time. Mode b
// streams large files this way, and the converter answers "already RLE" for
// an RLE file of any size without loading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/rle_reader.h"

namespace rle565::detail {

// Line codes held at once: whole lines, at least one, of at most this many
// bytes together. A line takes at most 65535 bytes.
inline constexpr std::size_t CODES_WINDOW = 256 * 1024;

// Reads exactly size bytes at offset; false on any shortfall.
bool readAt(int fd, std::uint8_t* dst, std::size_t size, std::uint64_t offset);

// The block offset of the end of `line`'s codes, less codesStart.
inline std::uint64_t lineEndOf(const RleTable& table, std::size_t height, std::size_t line) {
    return line + 1 < height ? table.offsets[line + 1] : table.total;
}

// How a check of a file's lines ended.
enum class LinesCheck {
    Sound,    // every line read and sound
    Short,    // a read fell short
    Unsound,  // a line's codes are unsound
};

// Checks every line of the RLE file at fd, whose table has been read, by the
// load-time rules, top line first. `window` holds CODES_WINDOW bytes.
LinesCheck checkFileLines(int fd, const RleShape& shape, const RleTable& table,
                          std::vector<std::uint8_t>& window);

// What loading the regular RLE file of fileSize bytes at fd would say,
// found by reading only its header, tables and lines' codes: nullptr when it
// would load, else the loader's message. The header's fields go to shape.
const char* checkRleFile(int fd, std::uint64_t fileSize, RleShape& shape);

// How many of the first bytes of the regular RLE file at fd, of fileSize
// bytes, its header, tables and lines' codes take: all that loading it looks
// at, the bytes after them changing nothing. fileSize when the tables do not
// lie inside the file or the file is too large to load.
std::uint64_t rleFileExtent(int fd, std::uint64_t fileSize);

}  // namespace rle565::detail
