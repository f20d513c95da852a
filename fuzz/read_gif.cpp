// Fuzz target: bytes loaded as a GIF file, the signature put in front when
// they lack it, through both paths that loadImage takes (a stream and the
// whole file in memory) and frame by frame as rle565-pack reads them. A load
// may fail, but never crash; both paths give the same record or the same
// refusal, the first of the frames is the image loaded, and every frame
// holds what the GIF reader promises.
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "formats/gif_reader.h"
#include "fuzz_check.h"
#include "fuzz_limits.h"

using namespace rle565;

namespace {

void checkFrame(const Image& image) {
    FUZZ_CHECK(image.flags == 0 && image.width >= 0 && image.height >= 0);
    FUZZ_CHECK(image.pixels.size() ==
               static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height));
    FUZZ_CHECK(image.alpha.empty() || image.alpha.size() == image.pixels.size());
    for (const std::uint8_t a : image.alpha) FUZZ_CHECK(a == 0 || a == ALPHA_OPAQUE);
}

bool isGifRefusal(const char* text) {
    return std::strncmp(text, "GIF read error: ", 16) == 0 ||
           std::strcmp(text, "image too large") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    if (!isGif(bytes)) {
        static constexpr std::uint8_t SIGNATURE[] = {'G', 'I', 'F', '8', '9', 'a'};
        bytes.insert(bytes.begin(), std::begin(SIGNATURE), std::end(SIGNATURE));
    }
    if (claimsHugeImage(bytes.data(), bytes.size())) return 0;

    ErrorText memoryText{};
    const std::unique_ptr<Image> fromMemory = loadImageFromMemory(bytes, memoryText);
    std::vector<std::uint8_t> copy = bytes;
    const FilePtr file(fmemopen(copy.data(), copy.size(), "rb"));
    if (!file) return 0;
    ErrorText streamText{};
    const std::unique_ptr<Image> fromStream = loadImageFromStream(file.get(), streamText);

    FUZZ_CHECK(std::memchr(memoryText.data(), '\0', memoryText.size()) != nullptr);
    FUZZ_CHECK(!fromMemory == !fromStream);

    ErrorText framesText{};
    std::size_t nFrames = 0;
    std::vector<std::uint16_t> firstPixels;
    const bool bFrames = loadImageFrames(bytes, framesText, [&](Image& frame) {
        checkFrame(frame);
        if (nFrames == 0) firstPixels = frame.pixels;
        ++nFrames;
    });
    if (!bFrames) FUZZ_CHECK(isGifRefusal(framesText.data()));

    if (!fromMemory) {
        FUZZ_CHECK(isGifRefusal(memoryText.data()));
        FUZZ_CHECK(std::strcmp(memoryText.data(), streamText.data()) == 0);
        // No frame can be read where the first one cannot.
        FUZZ_CHECK(nFrames == 0);
        return 0;
    }
    checkFrame(*fromMemory);
    FUZZ_CHECK(fromStream->pixels == fromMemory->pixels && fromStream->alpha == fromMemory->alpha);
    FUZZ_CHECK(nFrames >= 1 && firstPixels == fromMemory->pixels);
    return 0;
}
