// Filling the caller's error text, the one way every loader reports.
#pragma once

#include <rle565/image.h>

#include <algorithm>
#include <cstring>

namespace rle565 {

// Copies a fixed message into the error text, cut to fit and NUL-terminated.
inline void setError(ErrorText& errorText, const char* text) {
    const std::size_t length = std::min(std::strlen(text), errorText.size() - 1);
    std::memcpy(errorText.data(), text, length);
    errorText[length] = '\0';
}

}  // namespace rle565
