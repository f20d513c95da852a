// RLE to BMP (mode b): the BMP file that writeBmp would make of the decoded
// image, from a loaded RLE image, or straight from a large RLE file without
// holding it whole.
#pragma once

#include <rle565/image.h>
#include <rle565/output_target.h>

#include <cstdint>

namespace rle565 {

// Writes the file writeBmp would make of decodeRleImage(image), decoding a
// chunk of rows at a time instead of the whole image. False when the BMP
// file cannot be written.
[[nodiscard]] bool convertRleToBmp(const Image& image, const OutputTarget& output);

// What streamRleFileToBmp() did.
enum class StreamedBmp {
    NotTaken,  // nothing written: the file is smaller, not an RLE file, or a
               // read fell short; the loaded way says what is wrong
    Written,   // the BMP file is written, with the bytes convertRleToBmp
               // writes for the loaded file
    Corrupt,   // nothing written, not even a temporary file: the tables or a
               // line's codes are unsound, which the load calls "RLE data corrupt"
    Failed,    // the BMP file cannot be written (too large for the format, or
               // the output refused); nothing is left behind
};

// Mode b for RLE files of `smallest` bytes and more, without holding the
// whole file: the tables are read first, then the lines' codes a window at a
// time, all of them checked before the first byte is written, then again to
// decode them. Only a file that the loaded way must read to judge comes back
// NotTaken, so a caller that goes the loaded way for those alone tries each
// file once.
[[nodiscard]] StreamedBmp streamRleFileToBmp(const char* inputPath, const OutputTarget& output,
                                             std::uint64_t smallest = std::uint64_t{1} << 20);

}  // namespace rle565
