// Fuzz target: bytes loaded as a PNG file, the signature put in front when
// they lack it, through both paths that loadImage takes: a stream and the
// whole file in memory. A load may fail, but never crash; both paths give
// the same record or the same refusal, and a record holds what the PNG
// reader promises.
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "formats/png_reader.h"
#include "fuzz_check.h"
#include "fuzz_limits.h"

using namespace rle565;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    if (!isPng(bytes)) bytes.insert(bytes.begin(), PNG_SIGNATURE.begin(), PNG_SIGNATURE.end());
    if (claimsHugeImage(bytes.data(), bytes.size())) return 0;

    ErrorText memoryText{};
    const std::unique_ptr<Image> fromMemory = loadImageFromMemory(bytes, memoryText);
    // fmemopen takes a writable buffer even for reading.
    std::vector<std::uint8_t> copy = bytes;
    const FilePtr file(fmemopen(copy.data(), copy.size(), "rb"));
    if (!file) return 0;
    ErrorText streamText{};
    const std::unique_ptr<Image> fromStream = loadImageFromStream(file.get(), streamText);

    FUZZ_CHECK(std::memchr(memoryText.data(), '\0', memoryText.size()) != nullptr);
    FUZZ_CHECK(!fromMemory == !fromStream);
    if (!fromMemory) {
        FUZZ_CHECK(std::strncmp(memoryText.data(), "PNG read error: ", 16) == 0 ||
                   std::strcmp(memoryText.data(), "image too large") == 0);
        FUZZ_CHECK(std::strcmp(memoryText.data(), streamText.data()) == 0);
        return 0;
    }
    const Image& image = *fromMemory;
    FUZZ_CHECK(image.flags == 0 && image.width > 0 && image.height > 0);
    FUZZ_CHECK(image.pixels.size() ==
               static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height));
    FUZZ_CHECK(image.alpha.empty() || image.alpha.size() == image.pixels.size());
    for (const std::uint8_t a : image.alpha) FUZZ_CHECK(a <= ALPHA_OPAQUE);
    FUZZ_CHECK(fromStream->pixels == image.pixels && fromStream->alpha == image.alpha);
    return 0;
}
