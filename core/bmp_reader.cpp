#include "bmp_reader.h"

std::unique_ptr<Image> readBmp(std::FILE*, ErrorText& errorText) {
    setError(errorText, "BMP header read error");  // TODO: the reader
    return nullptr;
}
