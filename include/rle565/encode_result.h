// What an encoder did with an image; the driver turns each into its one line.
#pragma once

namespace rle565 {

enum class EncodeResult {
    Written,        // the RLE file has been written
    TooManyColors,  // refused; the count to report is in nColors
    TooLarge,       // refused; a dimension or a line exceeds the format's 16-bit fields
    WriteFailed,    // the output file could not be created or written
    CheckFailed,    // a consistency check failed: a defect of the encoder, not of the
                    // image; no file is written and the check is in the CheckFailure
};

// Where a consistency check failed: the source file as the build records it,
// the line and the text of the condition. The strings are static.
struct CheckFailure {
    const char* file = "";
    int line = 0;
    const char* text = "";
};

}  // namespace rle565
