// Fuzz target: arbitrary bytes shaped into a small plain image, which must
// survive encoding, loading and decoding with every visible pixel intact.
//
// Input layout (bytes past the end of the input count as generated values,
// so short inputs still make full images):
//   0       width, modulo 41
//   1       height, modulo 41
//   2       bit 0: alpha plane; bit 1: multipal conversion allowed;
//           bit 2: every line shifts its colours, for many distinct pairs
//   3       colours in the image's palette, minus one (1 to 256)
//   4..     the palette: per colour, RGB565 low byte, high byte, alpha (modulo 33)
//   then    one byte per pixel, top line first: a position in that palette
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>

#include "formats/rle_reader.h"
#include "fuzz_check.h"

using namespace rle565;

namespace {

constexpr std::uint8_t MAX_SIDE = 40;
constexpr std::uint8_t MODE_ALPHA = 1;
constexpr std::uint8_t MODE_MULTIPAL = 2;
constexpr std::uint8_t MODE_LINE_SHIFT = 4;

// Distinct visible pairs that one palette can hold.
constexpr std::size_t MAX_SINGLE_PAIRS = 252;

// Hands out the input's bytes, then a fixed pseudo-random sequence.
class ByteSource {
public:
    explicit ByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t next() {
        if (pos_ < bytes_.size()) return bytes_[pos_++];
        state_ = state_ * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(state_ >> 16);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    std::uint32_t state_ = 1;
};

struct Shape {
    Image image;
    bool bMultipal = false;
};

Shape makeImage(std::span<const std::uint8_t> bytes) {
    ByteSource source(bytes);
    Shape shape;
    Image& image = shape.image;
    image.width = source.next() % (MAX_SIDE + 1);
    image.height = source.next() % (MAX_SIDE + 1);
    const std::uint8_t mode = source.next();
    shape.bMultipal = (mode & MODE_MULTIPAL) != 0;
    const std::size_t nPal = std::size_t{source.next()} + 1;

    std::vector<std::uint16_t> colors(nPal);
    std::vector<std::uint8_t> alphas(nPal);
    for (std::size_t k = 0; k < nPal; ++k) {
        const std::uint8_t lo = source.next();
        const std::uint8_t hi = source.next();
        colors[k] = static_cast<std::uint16_t>(lo | hi << 8);
        alphas[k] = static_cast<std::uint8_t>(source.next() % (ALPHA_OPAQUE + 1));
    }

    const auto width = static_cast<std::size_t>(image.width);
    const std::size_t count = width * static_cast<std::size_t>(image.height);
    image.pixels.resize(count);
    if ((mode & MODE_ALPHA) != 0) image.alpha.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = source.next() % nPal;
        std::uint16_t color = colors[k];
        if ((mode & MODE_LINE_SHIFT) != 0) {
            // One step in each channel per line.
            color = static_cast<std::uint16_t>(color ^ (i / width) * 0x0821);
        }
        image.pixels[i] = color;
        if (image.hasAlpha()) image.alpha[i] = alphas[k];
    }
    return shape;
}

bool isVisible(const Image& image, std::size_t i) {
    return image.hasAlpha() ? image.alpha[i] > 0 : image.pixels[i] != COLOR_KEY;
}

std::size_t countPairs(const Image& image) {
    std::unordered_set<std::uint32_t> keys;
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        if (!isVisible(image, i)) continue;
        const std::uint32_t alpha = image.hasAlpha() ? image.alpha[i] : ALPHA_OPAQUE;
        keys.insert(std::uint32_t{image.pixels[i]} * 32 + (alpha - 1));
    }
    return keys.size();
}

// One file per process, in memory where the system offers it.
const std::string& outputPath() {
    static const std::string path = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/rle565-round-trip-" + std::to_string(getpid()) + ".rle";
    }();
    return path;
}

bool fileExists(const char* path) { return access(path, F_OK) == 0; }

// The file as the encoders write it: the image's size and flags, and no line
// longer than its pixels (plus a switch code in multipal files).
void checkLoaded(const Image& image, const Image& loaded, bool bAlpha, bool bMultipalFile,
                 std::size_t pairs) {
    FUZZ_CHECK(loaded.isRle());
    FUZZ_CHECK(loaded.width == image.width && loaded.height == image.height);
    FUZZ_CHECK(((loaded.flags & RLE_ALPHA) != 0) == bAlpha);
    FUZZ_CHECK(((loaded.flags & RLE_MULTIPAL) != 0) == bMultipalFile);
    if (!bMultipalFile) FUZZ_CHECK(loaded.paletteSize == pairs + 1);
    const std::size_t maxLine = static_cast<std::size_t>(image.width) + (bMultipalFile ? 3 : 0);
    for (std::size_t y = 0; y < loaded.lineOffsets.size(); ++y) {
        const std::size_t end =
            y + 1 < loaded.lineOffsets.size() ? loaded.lineOffsets[y + 1] : loaded.dataSize;
        FUZZ_CHECK(end >= loaded.lineOffsets[y] && end - loaded.lineOffsets[y] <= maxLine);
    }
}

// Every visible pixel keeps its colour and alpha; every transparent one
// comes back as the colour key, with alpha 0 where there is an alpha plane.
void checkDecoded(const Image& image, const Image& decoded) {
    FUZZ_CHECK(!decoded.isRle());
    FUZZ_CHECK(decoded.width == image.width && decoded.height == image.height);
    FUZZ_CHECK(decoded.pixels.size() == image.pixels.size());
    FUZZ_CHECK(decoded.alpha.size() == image.alpha.size());
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        if (isVisible(image, i)) {
            FUZZ_CHECK(decoded.pixels[i] == image.pixels[i]);
            if (image.hasAlpha()) FUZZ_CHECK(decoded.alpha[i] == image.alpha[i]);
        } else {
            FUZZ_CHECK(decoded.pixels[i] == COLOR_KEY);
            if (image.hasAlpha()) FUZZ_CHECK(decoded.alpha[i] == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Shape shape = makeImage(std::span<const std::uint8_t>(data, size));
    const Image& image = shape.image;
    const std::size_t pairs = countPairs(image);
    const char* path = outputPath().c_str();
    std::remove(path);

    std::int32_t nColors = -1;
    const EncodeResult result = convertToRle(image, path, shape.bMultipal, nColors);
    // A line of at most 40 pixels always fits one multipal palette, so only a
    // single palette can run out of room.
    if (pairs > MAX_SINGLE_PAIRS && !shape.bMultipal) {
        FUZZ_CHECK(result == EncodeResult::TooManyColors);
        FUZZ_CHECK(nColors == static_cast<std::int32_t>(pairs + 1));
        FUZZ_CHECK(!fileExists(path));
        return 0;
    }
    FUZZ_CHECK(result == EncodeResult::Written);

    ErrorText errorText{};
    const std::unique_ptr<Image> loaded = loadImage(path, errorText);
    std::remove(path);
    if (!loaded) std::fprintf(stderr, "load failed: %s\n", errorText.data());
    FUZZ_CHECK(loaded != nullptr);
    checkLoaded(image, *loaded, image.hasAlpha(), pairs > MAX_SINGLE_PAIRS, pairs);
    checkDecoded(image, decodeRleImage(*loaded));
    return 0;
}
