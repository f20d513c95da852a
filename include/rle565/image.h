// The in-memory image record in its two forms, and the error text that
// loaders fill (<rle565/load.h>).
#pragma once

#include <rle565/rle_format.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

namespace rle565 {

inline constexpr std::uint32_t IMAGE_RLE = 0x40000000;

// RGB565 magenta: marks transparent pixels in images without an alpha plane.
inline constexpr std::uint16_t COLOR_KEY = 0xF81F;

// The caller's buffer for a loader's failure message, always NUL-terminated.
using ErrorText = std::array<char, 200>;

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Frees the storage now; clear() alone would keep the capacity.
template <class T>
void freeBuffer(std::vector<T>& buffer) {
    std::vector<T>().swap(buffer);
}

struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t flags = 0;
    // Plain form: width × height RGB565 values, top line first.
    // RLE form: the data block (every file byte after the 12-byte header),
    // read into the words and viewed as bytes through dataBlock().
    std::vector<std::uint16_t> pixels;
    std::vector<std::uint8_t> alpha;  // plain form only: the alpha plane, if any
    // Plain form: the image has an alpha plane, even one of no pixels (an
    // image of width or height 0 from a 32-bit file). A filled `alpha`
    // counts as one too.
    bool bAlpha = false;
    std::uint16_t paletteSize = 0;
    std::vector<std::uint32_t> lineOffsets;  // RLE form: each line's first code
    std::uint32_t dataSize = 0;              // RLE form: bytes of the data block

    bool isRle() const { return (flags & IMAGE_RLE) != 0; }
    bool hasAlpha() const { return bAlpha || !alpha.empty(); }

    std::span<const std::uint8_t> dataBlock() const {
        return {reinterpret_cast<const std::uint8_t*>(pixels.data()), dataSize};
    }

    // Empties the record for reuse; width and height are the maker's to set next.
    void clear() {
        release();
        flags = 0;
    }

    // The destructor frees the buffers too; list mode calls this to drop each
    // image before the next line is loaded, so only one image is ever held.
    void release() {
        freeBuffer(pixels);
        freeBuffer(alpha);
        bAlpha = false;
        freeBuffer(lineOffsets);
        dataSize = 0;
    }
};

}  // namespace rle565
