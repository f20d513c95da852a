// Fuzz target: arbitrary bytes loaded as an RLE file, and every image that
// loads drawn in each way the program draws it: decoded whole, blitted into
// larger targets with and without an alpha array, and written as a BMP that
// must read back the same. The loader's checks must make all of that safe.
// Mode b's streamed way, with the line codes checked as they are decoded, must
// accept and refuse the same files and write the same bytes, and the drawing
// runtime must open exactly the files that load.
#include <rle565/blit.h>
#include <rle565/bmp_writer.h>
#include <rle565/draw.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <rle565/rle_to_bmp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "formats/rle_reader.h"
#include "fuzz_check.h"

using namespace rle565;

namespace {

// Images up to this many pixels are also blitted and written as BMP; larger
// ones are only decoded, which keeps each run fast.
constexpr std::size_t MAX_DRAWN_PIXELS = std::size_t{1} << 18;

// Where the image lands in the larger targets, and the border around it.
constexpr std::int32_t LEFT = 3;
constexpr std::int32_t TOP = 2;
constexpr std::int32_t RIGHT = 2;
constexpr std::int32_t BOTTOM = 1;

// What the targets hold before drawing. A pixel is drawn exactly when two
// targets with different fills end up holding the same there.
struct Fill {
    std::uint16_t color;
    std::uint8_t alpha;
};
constexpr Fill FILL_A{0x1234, 0x55};
constexpr Fill FILL_B{0xEDCB, 0xAA};

std::unique_ptr<Image> loadFromBytes(const std::uint8_t* data, std::size_t size) {
    // fmemopen takes a writable buffer even for reading, and the fuzzer's
    // bytes are read-only.
    std::vector<std::uint8_t> bytes(data, data + size);
    const FilePtr file(fmemopen(bytes.data(), bytes.size(), "rb"));
    if (!file) return nullptr;
    ErrorText errorText{};
    return loadImageFromStream(file.get(), errorText);
}

// A target larger than the image, with room for the border on every side.
struct Target {
    std::int32_t width;
    std::int32_t height;
    Fill fill;
    std::vector<std::uint16_t> pixels;
    std::vector<std::uint8_t> alpha;

    Target(const Image& image, bool bAlpha, Fill f)
        : width(image.width + LEFT + RIGHT),
          height(image.height + TOP + BOTTOM),
          fill(f),
          pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), f.color),
          alpha(bAlpha ? pixels.size() : 0, f.alpha) {}

    Surface surface() { return Surface{pixels, alpha, width}; }

    std::size_t at(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y + TOP) * static_cast<std::size_t>(width) +
               static_cast<std::size_t>(x + LEFT);
    }

    // Nothing outside the image's rectangle may change.
    void checkBorder(const Image& image) const {
        for (std::int32_t v = 0; v < height; ++v) {
            for (std::int32_t u = 0; u < width; ++u) {
                const bool bInside =
                    u >= LEFT && u < LEFT + image.width && v >= TOP && v < TOP + image.height;
                if (bInside) continue;
                const std::size_t t =
                    static_cast<std::size_t>(v) * static_cast<std::size_t>(width) +
                    static_cast<std::size_t>(u);
                FUZZ_CHECK(pixels[t] == fill.color);
                FUZZ_CHECK(alpha.empty() || alpha[t] == fill.alpha);
            }
        }
    }
};

void checkRecord(const Image& image) {
    FUZZ_CHECK(image.isRle());
    FUZZ_CHECK(image.width >= 0 && image.width <= 65535);
    FUZZ_CHECK(image.height >= 0 && image.height <= 65535);
    FUZZ_CHECK(!image.hasAlpha());
    FUZZ_CHECK(image.lineOffsets.size() == static_cast<std::size_t>(image.height));
    FUZZ_CHECK(image.dataSize <= image.pixels.size() * 2);
    for (const std::uint32_t offset : image.lineOffsets) FUZZ_CHECK(offset <= image.dataSize);
}

// The decoded image: plain, the same size, an alpha plane exactly when the
// file has an alpha palette, undrawn pixels keyed.
void checkDecoded(const Image& image, const Image& decoded) {
    FUZZ_CHECK(!decoded.isRle());
    FUZZ_CHECK(decoded.width == image.width && decoded.height == image.height);
    const std::size_t count =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    FUZZ_CHECK(decoded.pixels.size() == count);
    const bool bAlpha = (image.flags & RLE_ALPHA) != 0;
    FUZZ_CHECK(decoded.alpha.size() == (bAlpha ? count : 0));
}

// Blits the RLE image into two targets with alpha arrays, where colours and
// alphas are copied: each pixel is either untouched in both (a skip, keyed
// in the decoded image) or holds in both exactly what decodeRleImage gave.
// Returns which pixels were drawn.
std::vector<bool> checkCopyBlit(const Image& image, const Image& decoded) {
    Target a(image, true, FILL_A);
    Target b(image, true, FILL_B);
    blitImage(image, LEFT, TOP, a.surface());
    blitImage(image, LEFT, TOP, b.surface());
    a.checkBorder(image);
    b.checkBorder(image);
    const bool bAlpha = decoded.hasAlpha();
    std::vector<bool> drawn(decoded.pixels.size());
    std::size_t i = 0;
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x, ++i) {
            const std::size_t t = a.at(x, y);
            if (a.pixels[t] != b.pixels[t] || a.alpha[t] != b.alpha[t]) {
                FUZZ_CHECK(a.pixels[t] == FILL_A.color && a.alpha[t] == FILL_A.alpha);
                FUZZ_CHECK(b.pixels[t] == FILL_B.color && b.alpha[t] == FILL_B.alpha);
                FUZZ_CHECK(decoded.pixels[i] == COLOR_KEY);
                FUZZ_CHECK(!bAlpha || decoded.alpha[i] == 0);
                continue;
            }
            drawn[i] = true;
            FUZZ_CHECK(a.pixels[t] == decoded.pixels[i]);
            FUZZ_CHECK(a.alpha[t] == (bAlpha ? decoded.alpha[i] : ALPHA_OPAQUE));
        }
    }
    return drawn;
}

// Blits into a target without alpha array, where partial alpha is blended
// over what the target holds.
void checkBlendBlit(const Image& image, const Image& decoded, const std::vector<bool>& drawn) {
    Target target(image, false, FILL_A);
    blitImage(image, LEFT, TOP, target.surface());
    target.checkBorder(image);
    std::size_t i = 0;
    for (std::int32_t y = 0; y < image.height; ++y) {
        for (std::int32_t x = 0; x < image.width; ++x, ++i) {
            const std::uint16_t p = target.pixels[target.at(x, y)];
            if (!drawn[i]) {
                FUZZ_CHECK(p == FILL_A.color);
                continue;
            }
            const std::uint32_t a = decoded.hasAlpha() ? decoded.alpha[i] : ALPHA_OPAQUE;
            if (a == ALPHA_OPAQUE) FUZZ_CHECK(p == decoded.pixels[i]);
            if (a == 0) FUZZ_CHECK(p == FILL_A.color);
        }
    }
}

// The plain path of blitImage: the decoded image copied into a target with
// an alpha array gives back its own planes.
void checkPlainBlit(const Image& decoded) {
    Target target(decoded, true, FILL_A);
    blitImage(decoded, LEFT, TOP, target.surface());
    target.checkBorder(decoded);
    std::size_t i = 0;
    for (std::int32_t y = 0; y < decoded.height; ++y) {
        for (std::int32_t x = 0; x < decoded.width; ++x, ++i) {
            const std::size_t t = target.at(x, y);
            FUZZ_CHECK(target.pixels[t] == decoded.pixels[i]);
            FUZZ_CHECK(target.alpha[t] == (decoded.hasAlpha() ? decoded.alpha[i] : ALPHA_OPAQUE));
        }
    }
}

// The BMP bytes of the decoded image read back as the same pixels; alphas
// above 32, which a damaged alpha palette can hold, come back opaque.
void checkBmp(const Image& decoded) {
    const std::vector<std::uint8_t> bmp = encodeBmp(decoded);
    FUZZ_CHECK(bmp.size() >= 54 && bmp[0] == 'B' && bmp[1] == 'M');
    const std::unique_ptr<Image> back = loadFromBytes(bmp.data(), bmp.size());
    FUZZ_CHECK(back != nullptr);
    FUZZ_CHECK(back->width == decoded.width && back->height == decoded.height);
    FUZZ_CHECK(back->pixels == decoded.pixels);
    FUZZ_CHECK(back->alpha.size() == decoded.alpha.size());
    for (std::size_t i = 0; i < decoded.alpha.size(); ++i) {
        FUZZ_CHECK(back->alpha[i] == std::min(decoded.alpha[i], ALPHA_OPAQUE));
    }
}

// A folder of this process's own for the BMP files of mode b.
const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = "/tmp/rle565-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return folder;
}

std::vector<std::uint8_t> readWhole(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return bytes;
    for (int c = std::fgetc(file.get()); c != EOF; c = std::fgetc(file.get()))
        bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
}

// The streamed way of mode b, forced for a file of any size: it writes the
// bytes of the loaded way, or nothing when the loaded way fails.
void checkStreamed(const std::uint8_t* data, std::size_t size, const Image* checked) {
    const std::string input = scratchFolder() + "/in.rle";
    const std::string output = scratchFolder() + "/streamed.bmp";
    const std::string expected = scratchFolder() + "/expected.bmp";
    {
        const FilePtr file(std::fopen(input.c_str(), "wb"));
        FUZZ_CHECK(file && std::fwrite(data, 1, size, file.get()) == size);
    }
    std::remove(output.c_str());
    std::remove(expected.c_str());
    const bool bStreamed =
        (streamRleFileToBmp(input.c_str(), output.c_str(), 0) == StreamedBmp::Written);
    const bool bLoaded = checked && convertRleToBmp(*checked, expected.c_str());
    FUZZ_CHECK(bStreamed == bLoaded);
    if (bStreamed) {
        FUZZ_CHECK(readWhole(output) == readWhole(expected));
    } else {
        FUZZ_CHECK(readWhole(output).empty());
    }
    // Mode b paints BMP rows its own way: they hold the bytes of the decoded
    // image written by the BMP writer.
    if (bLoaded) FUZZ_CHECK(readWhole(expected) == encodeBmp(decodeRleImage(*checked)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Inputs of the other format belong to read_bmp.
    if (size < 2 || data[0] != 'R' || data[1] != 'L') return 0;
    const std::unique_ptr<Image> image = loadFromBytes(data, size);
    // The drawing runtime accepts exactly what the loader accepts.
    rle565_sprite sprite;
    FUZZ_CHECK((rle565_sprite_open(&sprite, data, size) == RLE565_OK) == (image != nullptr));
    // Images small enough to draw quickly also go through mode b.
    if (!image ||
        static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height) <=
            MAX_DRAWN_PIXELS) {
        checkStreamed(data, size, image.get());
    }
    if (!image) return 0;
    checkRecord(*image);

    const Image decoded = decodeRleImage(*image);
    checkDecoded(*image, decoded);
    if (decoded.pixels.size() > MAX_DRAWN_PIXELS) return 0;

    const std::vector<bool> drawn = checkCopyBlit(*image, decoded);
    checkBlendBlit(*image, decoded, drawn);
    checkPlainBlit(decoded);
    checkBmp(decoded);
    return 0;
}
