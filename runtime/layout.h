// The RLE format's layout as a reader meets it: the header's fields, the
// palette and line-length tables, and the checks that the tables and every
// line lie inside the data block, with each line's codes walked by
// walkLine(). The one parse of the format: the loader, mode b, the inspector
// and rle565_sprite_open() all read files through it.
//
// Freestanding, as the rest of the runtime.
#pragma once

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "walk.h"

namespace rle565 {

// Reads the line-length entry at p, before end: its byte count into `count`.
// Returns the bytes the entry takes, 1 or 3, or 0 when it reaches past end.
inline size_t readLineLength(const uint8_t* p, const uint8_t* end, uint32_t& count) {
    if (p == end) return 0;
    if (*p != RLE_LONG_LENGTH) {
        count = *p;
        return 1;
    }
    if (end - p < 3) return 0;
    count = static_cast<uint32_t>(p[1]) << 8 | p[2];
    return 3;
}

// What the header tells of a data block (the file after its 12-byte header).
struct BlockShape {
    uint32_t width;
    uint32_t height;
    uint32_t flags;
    uint32_t nEntries;
};

// A fault of a data block and its line, or -1 for the palette tables.
struct BlockFault {
    int fault;
    int32_t line;
};

// Where the palette tables end and the line-length table starts.
inline size_t lengthTableStart(const BlockShape& shape) {
    return rleLengthTableOffset(shape.nEntries, shape.flags);
}

// Whether the bytes start with the magic.
inline bool hasRleMagic(const uint8_t* bytes, size_t size) {
    return size >= 2 && bytes[RLE_HEAD_MAGIC] == RLE_MAGIC_0 &&
           bytes[RLE_HEAD_MAGIC + 1] == RLE_MAGIC_1;
}

// The header of a file whose first RLE_HEADER_SIZE bytes are at `head`: the
// one reading of its fields, for the loader, mode b, the inspector and the
// drawing runtime. The magic is not looked at; the flags word comes whole,
// unknown bits included.
inline BlockShape readRleHeader(const uint8_t* head) {
    const auto field = [head](size_t offset) {
        return static_cast<uint32_t>(head[offset] | head[offset + 1] << 8);
    };
    return {field(RLE_HEAD_WIDTH), field(RLE_HEAD_HEIGHT), field(RLE_HEAD_FLAGS),
            field(RLE_HEAD_PALETTE_SIZE)};
}

// Reads the line-length table of a data block of blockSize bytes, of which the
// first headSize are at `head` (all of them, or at least the palette tables
// and three bytes a line after them), and checks that the tables and every
// line's codes lie inside the block, counting from the block's start. Calls
// onLine(line, offset, count) with each line's offset from the first line's
// codes and its byte count;
// codesStart becomes the block offset of those.
template <class OnLine>
BlockFault readLengthTable(const uint8_t* head, size_t headSize, size_t blockSize,
                           const BlockShape& shape, size_t& codesStart, OnLine onLine) {
    const size_t tableStart = lengthTableStart(shape);
    if (tableStart > blockSize) return {RLE565_ERR_PALETTE, -1};
    const uint8_t* entry = head + (tableStart < headSize ? tableStart : headSize);
    const uint8_t* const headEnd = head + headSize;
    size_t total = 0;
    for (uint32_t i = 0; i < shape.height; ++i) {
        const auto line = static_cast<int32_t>(i);
        uint32_t count = 0;
        const size_t taken = readLineLength(entry, headEnd, count);
        if (taken == 0) return {RLE565_ERR_LENGTH_TABLE, line};
        entry += taken;
        if (count > blockSize - total) return {RLE565_ERR_LINE_BLOCK, line};
        onLine(i, total, count);
        total += count;
    }
    codesStart = static_cast<size_t>(entry - head);
    return {RLE565_OK, -1};
}

// Checks a whole data block of `size` bytes by the load-time rules: the
// tables inside the block, each line's codes inside it and sound for its own
// length. Calls onLine(line, offset) with each sound line's block offset.
// The first fault, or RLE565_OK. Each line is walked with `v`, told every
// code: a visitor that draws nothing lets a size-optimised build check with
// the same compiled walk as it draws with.
template <class OnLine, class Visitor = CheckVisitor>
BlockFault checkBlock(const uint8_t* data, size_t size, const BlockShape& shape, OnLine onLine,
                      Visitor v = Visitor{}) {
    size_t codesStart = 0;
    const BlockFault tableFault =
        readLengthTable(data, size, size, shape, codesStart, [](uint32_t, size_t, uint32_t) {});
    if (tableFault.fault != RLE565_OK) return {tableFault.fault, tableFault.line};
    const uint8_t* entry = data + lengthTableStart(shape);
    size_t start = codesStart;
    for (uint32_t i = 0; i < shape.height; ++i) {
        const auto line = static_cast<int32_t>(i);
        uint32_t count = 0;
        entry += readLineLength(entry, data + size, count);
        if (count > size - start) return {RLE565_ERR_LINE_BLOCK, line};
        const int fault = walkLine(data + start, data + start + count, data + size, shape.width,
                                   shape.width, shape.nEntries, v)
                              .fault;
        if (fault != RLE565_OK) return {fault, line};
        onLine(i, start);
        start += count;
    }
    return {RLE565_OK, -1};
}

}  // namespace rle565
