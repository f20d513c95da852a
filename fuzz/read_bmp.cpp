// Fuzz target: arbitrary bytes loaded as an image file (BMP of every
// layout, PNG, RLE) through both paths
// that loadImage takes for a file on disk: a stream, and the whole file in
// memory. A load may fail, but never crash; what it returns must be a
// consistent record, and both paths must give the same record or the same
// refusal.
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_limits.h"

using namespace rle565;

namespace {

void checkImage(const Image& image) {
    FUZZ_CHECK(image.width >= 0 && image.height >= 0);
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    if (image.isRle()) {
        FUZZ_CHECK(!image.hasAlpha());
        FUZZ_CHECK(image.lineOffsets.size() == height);
        FUZZ_CHECK(image.dataSize <= image.pixels.size() * 2);
        return;
    }
    FUZZ_CHECK(image.flags == 0);
    FUZZ_CHECK(image.pixels.size() == width * height);
    FUZZ_CHECK(image.alpha.empty() || image.alpha.size() == image.pixels.size());
    for (const std::uint8_t a : image.alpha) FUZZ_CHECK(a <= ALPHA_OPAQUE);
}

bool sameRecord(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height && a.flags == b.flags &&
           a.paletteSize == b.paletteSize && a.dataSize == b.dataSize &&
           a.lineOffsets == b.lineOffsets && a.alpha == b.alpha && a.pixels == b.pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (claimsHugeImage(data, size)) return 0;
    // fmemopen takes a writable buffer even for reading, and the fuzzer's
    // bytes are read-only.
    std::vector<std::uint8_t> bytes(data, data + size);
    const FilePtr file(fmemopen(bytes.data(), bytes.size(), "rb"));
    if (!file) return 0;

    ErrorText errorText{};
    const std::unique_ptr<Image> image = loadImageFromStream(file.get(), errorText);
    ErrorText memoryText{};
    const std::unique_ptr<Image> fromMemory =
        loadImageFromMemory(std::span(data, size), memoryText);
    // The text is always terminated; a refusal always says why.
    FUZZ_CHECK(std::memchr(errorText.data(), '\0', errorText.size()) != nullptr);
    FUZZ_CHECK(std::memchr(memoryText.data(), '\0', memoryText.size()) != nullptr);
    FUZZ_CHECK(!image == !fromMemory);
    if (!image) {
        FUZZ_CHECK(errorText[0] != '\0');
        FUZZ_CHECK(std::strcmp(errorText.data(), memoryText.data()) == 0);
        return 0;
    }
    FUZZ_CHECK(errorText[0] == '\0');
    FUZZ_CHECK(memoryText[0] == '\0');
    checkImage(*image);
    FUZZ_CHECK(sameRecord(*image, *fromMemory));
    return 0;
}
