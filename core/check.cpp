#include "check.h"

namespace rle565 {

void checkFailed(const char* file, int line, const char* text) {
    throw CheckFailure{file, line, text};
}

}  // namespace rle565
