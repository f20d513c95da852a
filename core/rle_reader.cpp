#include "rle_reader.h"

std::optional<RleFault> indexRleLines(Image&) { return RleFault{"RLE data corrupt", -1}; }
std::unique_ptr<Image> loadRle(std::FILE*, ErrorText& errorText) {
    setError(errorText, "RLE header read error");  // TODO: the reader
    return nullptr;
}
