#include "image.h"

#include <algorithm>
#include <cstring>

#include "bmp_reader.h"
#include "rle_reader.h"

namespace {

constexpr const char* ERROR_OPEN = "failed to open file";
constexpr const char* ERROR_UNKNOWN_FORMAT = "unknown format";

}  // namespace

void setError(ErrorText& errorText, const char* text) {
    const std::size_t length = std::min(std::strlen(text), errorText.size() - 1);
    std::memcpy(errorText.data(), text, length);
    errorText[length] = '\0';
}

std::unique_ptr<Image> loadImageFromStream(std::FILE* file, ErrorText& errorText) {
    unsigned char magic[2] = {0, 0};
    if (std::fread(magic, 1, 2, file) == 2) {
        if (magic[0] == 'R' && magic[1] == 'L') return loadRle(file, errorText);
        if (magic[0] == 'B' && magic[1] == 'M') return readBmp(file, errorText);
    }
    setError(errorText, ERROR_UNKNOWN_FORMAT);
    return nullptr;
}

std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText) {
    const FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        setError(errorText, ERROR_OPEN);
        return nullptr;
    }
    return loadImageFromStream(file.get(), errorText);
}
