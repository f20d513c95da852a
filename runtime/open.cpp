// rle565_sprite_open(), which checks an RLE file's bytes by the converter's
// load-time rules and sets up the view that rle565_draw() reads, and the
// texts of its faults.
//
// Freestanding, as the rest of the runtime.
// The runtime's own source, as paint_compact.h tells apart.
#define RLE565_RUNTIME_SOURCE 1

#include <rle565/draw.h>
#include <rle565/rle_format.h>
#include <stddef.h>
#include <stdint.h>

#include "layout.h"
#include "paint.h"

#ifdef RLE565_DRAW_COMPACT
namespace rle565 {
template LineWalk walkLine<CompactPainter>(const uint8_t*, const uint8_t*, const uint8_t*, uint32_t,
                                           uint32_t, uint32_t, CompactPainter&);
}  // namespace rle565
#endif

extern "C" {

int rle565_sprite_open(rle565_sprite* sprite, const void* bytes, size_t size) {
    using namespace rle565;
    if (sprite == nullptr) return RLE565_ERR_ARGUMENT;
    // Field by field: a whole-struct store would be a call to memset, which
    // freestanding builds need not have.
    sprite->width = 0;
    sprite->height = 0;
    sprite->flags = 0;
    sprite->palette_size = 0;
    sprite->palette = nullptr;
    sprite->alphas = nullptr;
    sprite->lengths = nullptr;
    sprite->codes = nullptr;
    sprite->end = nullptr;
    sprite->fault_line = -1;
    if (bytes == nullptr && size > 0) return RLE565_ERR_ARGUMENT;
    const auto* const file = static_cast<const uint8_t*>(bytes);
    if (size < RLE_HEADER_SIZE || !hasRleMagic(file, size)) return RLE565_ERR_HEADER;
    // The converter keeps the data block's size in 32 bits.
    if (size - RLE_HEADER_SIZE > UINT32_MAX) return RLE565_ERR_TOO_LARGE;
    const BlockShape shape = readRleHeader(file);
    const uint32_t flagsWord = shape.flags;
    const uint8_t* const data = file + RLE_HEADER_SIZE;
    const size_t dataSize = size - RLE_HEADER_SIZE;
    const uint8_t* codes = nullptr;
    const auto onLine = [&codes, data](uint32_t line, size_t offset) {
        if (line == 0) codes = data + offset;
    };
#ifdef RLE565_DRAW_COMPACT
    // The walk that draws, told to paint no column: one compiled walk less.
    const BlockFault fault =
        checkBlock(data, dataSize, shape, onLine, CompactPainter(nullptr, nullptr, false));
#else
    const BlockFault fault = checkBlock(data, dataSize, shape, onLine);
#endif
    if (fault.fault != RLE565_OK) {
        sprite->fault_line = fault.line;
        return fault.fault;
    }
    const size_t tableStart = lengthTableStart(shape);
    sprite->width = static_cast<int32_t>(shape.width);
    sprite->height = static_cast<int32_t>(shape.height);
    sprite->flags = flagsWord;
    sprite->palette_size = shape.nEntries;
    sprite->palette = data;
    sprite->alphas =
        (flagsWord & RLE_ALPHA) != 0 ? data + rleAlphaTableOffset(shape.nEntries) : nullptr;
    sprite->lengths = data + tableStart;
    // Without lines the codes would start where the table ends, which is
    // where it starts.
    sprite->codes = codes != nullptr ? codes : sprite->lengths;
    sprite->end = file + size;
    return RLE565_OK;
}

const char* rle565_error_text(int error) {
    switch (error) {
        case RLE565_OK:
            return "sound";
        case RLE565_ERR_ARGUMENT:
            return "no sprite, or no bytes";
        case RLE565_ERR_HEADER:
            return "no RLE header";
        case RLE565_ERR_PALETTE:
            return "palette tables reach past the data block";
        case RLE565_ERR_LENGTH_TABLE:
            return "line-length table reaches past the data block";
        case RLE565_ERR_LINE_BLOCK:
            return "line codes reach past the data block";
        case RLE565_ERR_LINE_LENGTH:
            return "code reaches past the line's length";
        case RLE565_ERR_OVERSHOOT:
            return "run passes the end of the line";
        case RLE565_ERR_ENTRY:
            return "code names an entry beyond the palette";
        case RLE565_ERR_TOO_FEW:
            return "line covers fewer pixels than the width";
        case RLE565_ERR_TOO_LARGE:
            return "data block larger than 4 GiB";
        default:
            return "unknown error";
    }
}

}  // extern "C"
