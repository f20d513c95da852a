// What an encoder did with an image; the driver turns each into its one line.
#pragma once

namespace rle565 {

enum class EncodeResult {
    Written,        // the RLE file has been written
    TooManyColors,  // refused; the count to report is in nColors
    TooLarge,       // refused; a dimension or a line exceeds the format's 16-bit fields
    WriteFailed,    // the output file could not be created or written
};

}  // namespace rle565
