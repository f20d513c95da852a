// Drawing images into 16-bit targets, RLE decoding, and RLE-to-BMP conversion.
#pragma once

#include <rle565/image.h>

#include <cstdint>
#include <span>

namespace rle565 {

// The target of a blit; it points at the caller's arrays and owns nothing.
// The pixel in column u of row v is at v * stride + u in both arrays.
struct Surface {
    std::span<std::uint16_t> pixels;
    std::span<std::uint8_t> alpha;  // empty: the target keeps no alpha
    std::int32_t stride = 0;
};

// s laid over d with coverage a / 32, each channel at its own width, rounding down.
std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t d, std::uint32_t a);

// Draws an image of either form with its top-left pixel at (x, y). Targets
// with an alpha array get colours and alphas copied; others get partial alpha
// blended. Nothing outside the target's arrays or the image's data is touched:
// a line that would leave them is not drawn, or stops where it would.
void blitImage(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface);

// The RLE half of blitImage: walks each line's codes from lineOffsets.
void decodeRleLines(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface);

// Decodes an RLE-form image into a plain one: undrawn pixels hold the colour
// key and, when the file carries alpha, alpha 0.
Image decodeRleImage(const Image& image);

// Mode b: writes the file writeBmp would make of decodeRleImage(image),
// decoding a chunk of rows at a time instead of the whole image. False when
// the BMP file cannot be written.
[[nodiscard]] bool convertRleToBmp(const Image& image, const char* outputPath);

// Mode b for RLE files of `smallest` bytes and more, without holding the whole
// file: the tables are read first, then the lines' codes a window at a time,
// all of them checked before the first byte is written, then again to decode
// them. True when the BMP file was written, with the bytes convertRleToBmp
// writes for the loaded file. False, with nothing written, when the file is
// smaller, not an RLE file, unreadable, unsound anywhere, too large for a
// BMP, or the output fails.
[[nodiscard]] bool convertLargeRleFileToBmp(const char* inputPath, const char* outputPath,
                                            std::uint64_t smallest = std::uint64_t{1} << 20);

// What streamRleFileToBmp() did.
enum class StreamedBmp {
    NotTaken,  // nothing written: the file is smaller, not an RLE file, or a
               // read fell short; the loaded way says what is wrong
    Written,   // the BMP file is written
    Corrupt,   // nothing written, not even a temporary file: the tables or a
               // line's codes are unsound, which the load calls "RLE data corrupt"
    Failed,    // the BMP file cannot be written (too large for the format, or
               // the output refused); nothing is left behind
};

// convertLargeRleFileToBmp with the reason when it writes nothing. Every
// line is checked before the first byte is written, and only a file that the
// loaded way must read to judge comes back NotTaken, so a caller that goes
// the loaded way for those alone tries each file once.
[[nodiscard]] StreamedBmp streamRleFileToBmp(const char* inputPath, const char* outputPath,
                                             std::uint64_t smallest = std::uint64_t{1} << 20);

}  // namespace rle565
