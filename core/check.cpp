#include "check.h"

namespace rle565 {

void checkFailed(const char* file, int line, const char* text) {
    throw CheckFailure{file, line, text};
}

#ifdef RLE565_FAULT_INJECTION
namespace {

// Checks still to run up to the one made to fail; 0: none is.
int checksToFailure = 0;

}  // namespace

void failCheckAt(int n) { checksToFailure = n; }

bool isCheckMadeToFail() { return checksToFailure > 0 && --checksToFailure == 0; }
#endif

}  // namespace rle565
