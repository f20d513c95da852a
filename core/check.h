// The consistency check: conditions that hold for every input. A failure is a
// defect of the program, reported on standard output before the process ends.
#pragma once

namespace rle565 {

[[noreturn]] void checkFailed(const char* file, int line, const char* text);

// The text is printed as written, so it is a literal rather than #cond:
// reformatting the condition must not change the program's output.
#define RLE_CHECK(cond, text)                                 \
    do {                                                      \
        if (!(cond)) checkFailed(__FILE__, __LINE__, (text)); \
    } while (0)

}  // namespace rle565
