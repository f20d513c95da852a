// What mode b's two ways share: the palette of an RLE image as the decoders
// see it, and the coder that turns one line's codes straight into a BMP row,
// the bytes that decodeRleImage and writeBmp would give without the plain
// image in between.
#pragma once

#include <rle565/image.h>
#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "bytes.h"
#include "formats/bmp_layout.h"
#include "runtime/walk.h"

namespace rle565 {

// Mode b decodes this many bytes of BMP rows, at least one row, before each
// write: few writes, and a buffer that stays in the cache.
inline constexpr std::size_t CHUNK_SIZE = 256 * 1024;

// The palette of an RLE image as the decoder sees it.
struct RlePalette {
    const std::uint8_t* colors;  // 2 bytes per entry, little-endian
    const std::uint8_t* alphas;  // 1 byte per entry; not read without an alpha palette
    std::uint32_t size;          // entries that may be drawn; 0 when the tables leave the block

    std::uint16_t color(std::uint32_t e) const { return loadLe16(colors + rleAlphaTableOffset(e)); }
};

// The bytes an image's data block really holds, whatever dataSize claims.
inline std::span<const std::uint8_t> heldData(const Image& image) {
    return {reinterpret_cast<const std::uint8_t*>(image.pixels.data()),
            std::min<std::size_t>(image.dataSize, image.pixels.size() * 2)};
}

// The palette as the decoder sees it: no entries when the tables leave the block.
inline RlePalette paletteOf(const Image& image, std::span<const std::uint8_t> data) {
    const bool bSourceAlpha = (image.flags & RLE_ALPHA) != 0;
    const std::uint32_t nEntries = image.paletteSize;
    RlePalette pal{data.data(), data.data(), 0};
    if (rleLengthTableOffset(nEntries, image.flags) <= data.size()) {
        pal.size = nEntries;
        if (bSourceAlpha) pal.alphas = data.data() + rleAlphaTableOffset(nEntries);
    }
    return pal;
}

// A pixel's BMP bytes, blue first, repeated over eight bytes: one store of
// them writes the pixel and the start of the same pixel again behind it.
using PixelPattern = std::array<std::uint8_t, 8>;

template <std::size_t BPP>
PixelPattern patternOf(std::uint16_t color, std::uint8_t alpha) {
    std::array<std::uint8_t, 4> bytes;
    widenPixel(color, alpha, bytes.data());
    PixelPattern pattern;
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = bytes[i % BPP];
    return pattern;
}

// Writes decoded pixels as BMP bytes into one row: each entry's widened bytes,
// and the colour key with alpha 0 for skipped pixels. Every store is a whole
// pattern, so it may write up to STORE_SPAN bytes past the pixels it covers;
// those land on pixels that later codes write, or past the row's pixels,
// which the caller restores.
template <std::size_t BPP>
struct BmpRowPainter {
    // Whole pixels per pattern store.
    static constexpr std::size_t STEP = sizeof(PixelPattern) / BPP * BPP;
    // Runs always make RUN_STORES stores, without a loop whose end the
    // processor has to guess; most runs are that short.
    static constexpr std::size_t RUN_STORES = 6;
    // Literal stretches are painted this many pixels at a time.
    static constexpr std::uint32_t LITERAL_BLOCK = 8;
    static constexpr std::size_t LITERAL_SPAN = std::size_t{LITERAL_BLOCK} * BPP;
    static constexpr std::size_t STORE_SPAN =
        std::max(RUN_STORES * STEP, LITERAL_SPAN) + sizeof(PixelPattern);
    // Patterns needed behind the palette's: literal blocks read one for every
    // code byte from the base.
    static constexpr std::size_t PADDING = 256;

    const PixelPattern* patterns;  // per palette entry
    PixelPattern key;
    std::uint8_t* row;

    // The walker hands over stretches of short codes only with 16 code
    // bytes to look at.
    static constexpr bool NEEDS_LOOK = true;
    static constexpr bool LONE_CODES = false;

    void literal(std::uint32_t e, std::uint32_t n) const {
        std::memcpy(row + n * BPP, patterns[e].data(), sizeof(PixelPattern));
    }
    void setBase(std::uint32_t) const {}
    // Whether one of the first `count` codes at `codes`, of which there are
    // at least 16, is a skip.
    static bool hasSkip(const std::uint8_t* codes, std::uint32_t count) {
#ifdef __SSE2__
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
        const auto zero = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
        return (zero & ((std::uint32_t{1} << count) - 1)) != 0;
#else
        return std::find(codes, codes + count, CODE_SKIP) != codes + count;
#endif
    }

    // One store per pixel: the bytes a store writes past its pixel are
    // overwritten by the next pixel's. A stretch of literals alone, the usual
    // case, goes two pixels a turn without choosing; with skips among them
    // each pattern is picked without a branch. At least 16 code bytes lie at
    // `codes`, as walkLine() hands over a stretch only from such a look.
    void shortCodes(const std::uint8_t* codes, std::uint32_t count, std::uint32_t base,
                    std::uint32_t n) const {
        std::uint8_t* dst = row + std::size_t{n} * BPP;
        if (!hasSkip(codes, count)) {
            // Every code is a literal from 1, so base names an entry. Eight
            // pixels at a time, whatever the count: the codes after the
            // stretch paint patterns of their own, from the padding behind the
            // palette's, over pixels that later codes write. A loop to the
            // count would leave the processor guessing where it ends.
            const PixelPattern* const entries = patterns + base;
            for (std::uint32_t i = 0; i < count; i += LITERAL_BLOCK, dst += LITERAL_BLOCK * BPP) {
                for (std::size_t k = 0; k < LITERAL_BLOCK; ++k)
                    std::memcpy(dst + k * BPP, entries[codes[i + k]].data(), sizeof(PixelPattern));
            }
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i, dst += BPP) {
            const std::uint8_t c = codes[i];
            const PixelPattern* pattern = c != CODE_SKIP ? &patterns[base + c] : &key;
            std::memcpy(dst, pattern->data(), sizeof(PixelPattern));
        }
    }
    void run(std::uint32_t e, std::uint32_t n, std::uint32_t count) const {
        fill(row + n * BPP, patterns[e], count);
    }
    void skip(std::uint32_t n, std::uint32_t count) const { fill(row + n * BPP, key, count); }

    static void fill(std::uint8_t* dst, const PixelPattern& pattern, std::uint32_t count) {
        for (std::size_t i = 0; i < RUN_STORES; ++i)
            std::memcpy(dst + i * STEP, pattern.data(), sizeof(PixelPattern));
        const std::size_t nBytes = std::size_t{count} * BPP;
        for (std::size_t i = RUN_STORES * STEP; i < nBytes; i += STEP)
            std::memcpy(dst + i, pattern.data(), sizeof(PixelPattern));
    }
};

// Turns one line's codes into a BMP row, given the palette as the decoder
// sees it: the bytes decodeRleImage and writeBmp would give, without the plain
// image in between.
template <std::size_t BPP>
class BmpRowCoder {
public:
    // Row buffers need this many bytes behind the last row for the stores
    // that pass a row's end.
    static constexpr std::size_t SLACK = BmpRowPainter<BPP>::STORE_SPAN;

    BmpRowCoder(const RlePalette& pal, bool bSourceAlpha, std::uint32_t width)
        : pal_(pal),
          patterns_(std::size_t{pal.size} + BmpRowPainter<BPP>::PADDING),
          key_(patternOf<BPP>(COLOR_KEY, 0)),
          width_(width) {
        for (std::uint32_t e = 0; e < pal_.size; ++e)
            patterns_[e] =
                patternOf<BPP>(pal_.color(e), bSourceAlpha ? pal_.alphas[e] : ALPHA_OPAQUE);
    }

    // Writes the pixels that the codes from p to end give at row, the colour
    // key after them, then rowSize - width × BPP zero bytes; bytes up to SLACK
    // past the row may change. With bCheck, false when the codes are unsound
    // by the rules of the check at load (with end at the line's own end).
    bool code(const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* readEnd,
              bool bCheck, std::uint8_t* row, std::size_t rowSize) const {
        BmpRowPainter<BPP> painter{patterns_.data(), key_, row};
        const LineWalk walk = walkLine(p, end, readEnd, width_, width_, pal_.size, painter);
        finish(walk.n, row, rowSize);
        return !bCheck || walk.fault == RLE565_OK;
    }

    // A row that has no line: the colour key throughout.
    void blank(std::uint8_t* row, std::size_t rowSize) const { finish(0, row, rowSize); }

private:
    void finish(std::uint32_t n, std::uint8_t* row, std::size_t rowSize) const {
        BmpRowPainter<BPP>::fill(row + std::size_t{n} * BPP, key_, width_ - n);
        std::fill(row + std::size_t{width_} * BPP, row + rowSize, std::uint8_t{0});
    }

    RlePalette pal_;
    std::vector<PixelPattern> patterns_;  // per palette entry
    PixelPattern key_;
    std::uint32_t width_;
};

// The bytes a BMP of an RLE image with these sizes and flags would take fit
// the format's 32-bit sizes, the row's bytes before their padding included.
inline bool fitsBmp(std::int32_t signedWidth, std::int32_t signedHeight, std::uint32_t flags) {
    if (signedWidth < 0 || signedHeight < 0) return false;
    const auto width = static_cast<std::uint64_t>(signedWidth);
    const auto height = static_cast<std::uint64_t>(signedHeight);
    const bool bAlpha = (flags & RLE_ALPHA) != 0;
    if ((bAlpha ? width * 4 : width * 3 + 3) > UINT32_MAX) return false;
    return bmpRowSize(width, bAlpha) * height <= UINT32_MAX - BMP_HEADER_SIZE;
}

}  // namespace rle565
