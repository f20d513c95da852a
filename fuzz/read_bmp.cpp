// Fuzz target: arbitrary bytes loaded as an image file through the same
// stream path that loadImage takes for a file on disk. A load may fail, but
// never crash, and what it returns must be a consistent record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "image.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen takes a writable buffer even for reading, and the fuzzer's
    // bytes are read-only.
    std::vector<std::uint8_t> bytes(data, data + size);
    const FilePtr file(fmemopen(bytes.data(), bytes.size(), "rb"));
    if (!file) return 0;

    ErrorText errorText{};
    const std::unique_ptr<Image> image = loadImageFromStream(file.get(), errorText);
    // The text is always terminated; a refusal always says why.
    FUZZ_CHECK(std::memchr(errorText.data(), '\0', errorText.size()) != nullptr);
    if (!image) {
        FUZZ_CHECK(errorText[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(errorText[0] == '\0');
    checkImage(*image);
    return 0;
}
