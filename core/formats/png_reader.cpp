#include "formats/png_reader.h"

#include <spng.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "bytes.h"
#include "error_text.h"
#include "formats/bmp_pixels.h"
#include "formats/image_limits.h"

namespace rle565 {

namespace {

constexpr const char* ERROR_TOO_LARGE = "image too large";
// Followed by libspng's short text of the fault.
constexpr const char* ERROR_PNG_PREFIX = "PNG read error: ";

// The dimensions that BMP input allows: signed 32-bit widths and heights.
constexpr std::uint32_t MAX_DIMENSION = INT32_MAX;
// The widest row: libspng keeps a few rows of up to 8 bytes a pixel before
// any data arrive, so the width alone is bounded: the RLE format's own
// 16-bit width field.
constexpr std::uint32_t MAX_ROW_PIXELS = 65535;
// PNG's own limit of a chunk's length, image data included, which also
// bounds what the decoder keeps of the chunks it stores (text, profiles): a
// 32-bit size, as for BMP input. libspng needs the second to be at least the
// first.
constexpr std::size_t MAX_CHUNK = INT32_MAX;
constexpr std::size_t MAX_CHUNK_CACHE = INT32_MAX;

// Adam7: the first column and the column step of each pass.
constexpr std::array<std::uint8_t, 7> PASS_FIRST_COLUMN = {0, 4, 0, 2, 0, 1, 0};
constexpr std::array<std::uint8_t, 7> PASS_COLUMN_STEP = {8, 8, 4, 4, 2, 2, 1};

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using ContextPtr = std::unique_ptr<spng_ctx, ContextFree>;

std::unique_ptr<Image> fail(ErrorText& errorText, const char* text) {
    setError(errorText, text);
    return nullptr;
}

std::unique_ptr<Image> failPng(ErrorText& errorText, int err) {
    std::snprintf(errorText.data(), errorText.size(), "%s%s", ERROR_PNG_PREFIX, spng_strerror(err));
    return nullptr;
}

// Where the PNG bytes come from: a stream after its signature (which
// libspng reads and checks itself, so it is given back first) or bytes in
// memory.
class PngSource {
public:
    explicit PngSource(std::FILE* file) : file_(file), signatureLeft_(PNG_SIGNATURE.size()) {}
    explicit PngSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // Fills dst whole, or returns false at the end of the bytes.
    bool read(std::uint8_t* dst, std::size_t length) {
        const std::size_t nSignature = std::min(length, signatureLeft_);
        std::memcpy(dst, PNG_SIGNATURE.data() + (PNG_SIGNATURE.size() - signatureLeft_),
                    nSignature);
        signatureLeft_ -= nSignature;
        dst += nSignature;
        length -= nSignature;
        if (file_) return length == 0 || std::fread(dst, 1, length, file_) == length;
        if (bytes_.size() - at_ < length) return false;
        if (length > 0) std::memcpy(dst, bytes_.data() + at_, length);
        at_ += length;
        return true;
    }
    bool skip(std::uint64_t length) {
        if (!file_) {
            if (bytes_.size() - at_ < length) return false;
            at_ += static_cast<std::size_t>(length);
            return true;
        }
        std::array<std::uint8_t, 4096> sink;
        while (length > 0) {
            const auto step =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, sink.size()));
            if (std::fread(sink.data(), 1, step, file_) != step) return false;
            length -= step;
        }
        return true;
    }

private:
    std::FILE* file_ = nullptr;
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    std::size_t signatureLeft_ = 0;
};

// Hands libspng the chunks the reader uses and leaves the others out unread:
// ancillary chunks other than tRNS (gamma, profiles, text) are ignored, so
// they are never inflated, however far a compressed one would grow. The
// first chunk, critical chunks and chunks whose length PNG does not allow
// pass through, so libspng judges them as before.
class ChunkFilter {
public:
    explicit ChunkFilter(PngSource& source) : source_(source) {}

    static int read(spng_ctx*, void* user, void* dst, std::size_t length) {
        return static_cast<ChunkFilter*>(user)->give(static_cast<std::uint8_t*>(dst), length)
                   ? 0
                   : SPNG_IO_EOF;
    }

private:
    static constexpr std::size_t CHUNK_HEAD = 8;  // length and type
    static constexpr std::size_t CHUNK_CRC = 4;
    static constexpr std::uint32_t CHUNK_LENGTH_MAX = INT32_MAX;

    bool give(std::uint8_t* dst, std::size_t length) {
        while (length > 0) {
            if (!bSignatureDone_) {
                // The signature passes whole, then the chunks begin.
                const std::size_t n = std::min(length, PNG_SIGNATURE.size() - nSignature_);
                if (!source_.read(dst, n)) return false;
                nSignature_ += n;
                bSignatureDone_ = nSignature_ == PNG_SIGNATURE.size();
                dst += n;
                length -= n;
                continue;
            }
            if (passLeft_ == 0 && headLeft_ == 0 && !nextChunk()) return false;
            if (headLeft_ > 0) {
                const std::size_t n = std::min(length, headLeft_);
                std::memcpy(dst, head_.data() + (CHUNK_HEAD - headLeft_), n);
                headLeft_ -= n;
                dst += n;
                length -= n;
                continue;
            }
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, passLeft_));
            if (!source_.read(dst, n)) return false;
            passLeft_ -= n;
            dst += n;
            length -= n;
        }
        return true;
    }

    // Reads chunk heads, skipping the chunks left out, up to one that passes.
    bool nextChunk() {
        for (;;) {
            if (!source_.read(head_.data(), CHUNK_HEAD)) return false;
            const std::uint32_t size = loadBe32(head_.data());
            const bool bAncillary = (head_[4] & 0x20) != 0;
            const bool bTrns = std::memcmp(head_.data() + 4, "tRNS", 4) == 0;
            const bool bPass = bFirst_ || !bAncillary || bTrns || size > CHUNK_LENGTH_MAX;
            bFirst_ = false;
            if (bPass) {
                headLeft_ = CHUNK_HEAD;
                passLeft_ = std::uint64_t{size} + CHUNK_CRC;
                return true;
            }
            if (!source_.skip(std::uint64_t{size} + CHUNK_CRC)) return false;
        }
    }

    static std::uint32_t loadBe32(const std::uint8_t* p) {
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
               p[3];
    }

    PngSource& source_;
    bool bSignatureDone_ = false;
    std::size_t nSignature_ = 0;
    bool bFirst_ = true;
    std::array<std::uint8_t, CHUNK_HEAD> head_{};
    std::size_t headLeft_ = 0;
    std::uint64_t passLeft_ = 0;
};

int setLimits(spng_ctx* ctx) {
    if (const int err = spng_set_image_limits(ctx, MAX_DIMENSION, MAX_DIMENSION)) return err;
    return spng_set_chunk_limits(ctx, MAX_CHUNK, MAX_CHUNK_CACHE);
}

// One decoded row of RGBA8 or host-endian RGBA16 values, converted at the
// columns given; 16-bit channels take their high byte.
void convertRow(const std::uint8_t* row, bool bSixteen, std::size_t first, std::size_t step,
                std::size_t width, std::uint16_t* out, std::uint8_t* alpha) {
    for (std::size_t x = first; x < width; x += step) {
        std::array<std::uint8_t, 4> c;
        if (bSixteen) {
            std::array<std::uint16_t, 4> wide;
            std::memcpy(wide.data(), row + x * 8, 8);
            for (std::size_t i = 0; i < 4; ++i) c[i] = static_cast<std::uint8_t>(wide[i] >> 8);
        } else {
            std::memcpy(c.data(), row + x * 4, 4);
        }
        out[x] = detail::reduceRgb(c[0], c[1], c[2]);
        if (alpha) alpha[x] = detail::reduceAlpha(c[3]);
    }
}

// readPng() and readPngBytes(), once the context has its source.
std::unique_ptr<Image> decodePng(spng_ctx* ctx, ErrorText& errorText) {
    if (const int err = setLimits(ctx)) return failPng(errorText, err);
    spng_ihdr ihdr{};
    if (const int err = spng_get_ihdr(ctx, &ihdr)) return failPng(errorText, err);
    // The BMP reader's limits: the pixel plane fits a 32-bit size.
    const auto nPixels = checkedMul(ihdr.width, ihdr.height);
    if (!nPixels || !checkedMul(*nPixels, 2) || ihdr.width > MAX_DIMENSION ||
        ihdr.height > MAX_DIMENSION || !withinPixelLimit(ihdr.width, ihdr.height) ||
        ihdr.width > MAX_ROW_PIXELS)
        return fail(errorText, ERROR_TOO_LARGE);
    const bool bSixteen = ihdr.bit_depth == 16;
    const std::size_t nPixelBytes = bSixteen ? 8 : 4;
    const auto rowBytes = checkedMul(ihdr.width, static_cast<std::uint32_t>(nPixelBytes));
    if (!rowBytes) return fail(errorText, ERROR_TOO_LARGE);

    spng_trns trns{};
    const int trnsResult = spng_get_trns(ctx, &trns);
    if (trnsResult != 0 && trnsResult != SPNG_ECHUNKAVAIL) return failPng(errorText, trnsResult);
    const bool bAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                        ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || trnsResult == 0;
    const int format = bSixteen ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    if (const int err =
            spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE))
        return failPng(errorText, err);

    auto image = std::make_unique<Image>();
    image->clear();
    image->width = static_cast<std::int32_t>(ihdr.width);
    image->height = static_cast<std::int32_t>(ihdr.height);
    image->bAlpha = bAlpha;

    // The planes grow with the rows decoded, so a header that claims a large
    // picture costs nothing until its data fill it. Interlaced rows come once
    // per pass with only the pass's columns filled: each pass's pixels are
    // kept packed in decoding order and put in place at the end.
    const bool bInterlaced = ihdr.interlace_method == SPNG_INTERLACE_ADAM7;
    std::vector<std::uint8_t> row(*rowBytes);
    const std::size_t width = ihdr.width;
    std::vector<std::uint16_t> packedPixels;
    std::vector<std::uint8_t> packedAlpha;
    struct PassRow {
        std::uint32_t rowNum;
        std::uint8_t pass;
    };
    std::vector<PassRow> passRows;
    std::vector<std::uint16_t> scratch;
    std::vector<std::uint8_t> scratchAlpha;
    for (;;) {
        spng_row_info info{};
        if (const int err = spng_get_row_info(ctx, &info)) {
            // libspng says the end one call late when the last Adam7 pass is
            // empty (an image one line high).
            if (err == SPNG_EOI) break;
            return failPng(errorText, err);
        }
        // SPNG_EOI comes with the last row.
        const int err = spng_decode_row(ctx, row.data(), row.size());
        if (err != 0 && err != SPNG_EOI) return failPng(errorText, err);
        if (info.row_num >= ihdr.height || info.pass < 0 || info.pass >= 7)
            return failPng(errorText, SPNG_EINTERNAL);
        const auto pass = static_cast<std::size_t>(info.pass);
        if (!bInterlaced) {
            const std::size_t first = std::size_t{info.row_num} * width;
            if (image->pixels.size() < first + width) {
                image->pixels.resize(first + width);
                if (bAlpha) image->alpha.resize(first + width);
            }
            convertRow(row.data(), bSixteen, 0, 1, width, image->pixels.data() + first,
                       bAlpha ? image->alpha.data() + first : nullptr);
        } else {
            scratch.resize(width);
            if (bAlpha) scratchAlpha.resize(width);
            const std::size_t firstColumn = PASS_FIRST_COLUMN[pass];
            const std::size_t step = PASS_COLUMN_STEP[pass];
            convertRow(row.data(), bSixteen, firstColumn, step, width, scratch.data(),
                       bAlpha ? scratchAlpha.data() : nullptr);
            for (std::size_t x = firstColumn; x < width; x += step) {
                packedPixels.push_back(scratch[x]);
                if (bAlpha) packedAlpha.push_back(scratchAlpha[x]);
            }
            passRows.push_back({info.row_num, static_cast<std::uint8_t>(pass)});
        }
        if (err == SPNG_EOI) break;
    }
    if (!bInterlaced) {
        // A decoder that ends early leaves no row unset.
        image->pixels.resize(*nPixels);
        if (bAlpha) image->alpha.resize(*nPixels);
        return image;
    }
    image->pixels.resize(*nPixels);
    if (bAlpha) image->alpha.resize(*nPixels);
    std::size_t at = 0;
    for (const PassRow& r : passRows) {
        const std::size_t first = std::size_t{r.rowNum} * width;
        for (std::size_t x = PASS_FIRST_COLUMN[r.pass]; x < width; x += PASS_COLUMN_STEP[r.pass]) {
            image->pixels[first + x] = packedPixels[at];
            if (bAlpha) image->alpha[first + x] = packedAlpha[at];
            ++at;
        }
    }
    return image;
}

std::unique_ptr<Image> readPngFrom(PngSource& source, ErrorText& errorText) {
    const ContextPtr ctx(spng_ctx_new(0));
    if (!ctx) throw std::bad_alloc();
    ChunkFilter filter(source);
    if (const int err = spng_set_png_stream(ctx.get(), ChunkFilter::read, &filter))
        return failPng(errorText, err);
    return decodePng(ctx.get(), errorText);
}

}  // namespace

bool isPng(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= PNG_SIGNATURE.size() &&
           std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), bytes.begin());
}

std::unique_ptr<Image> readPng(std::FILE* file, ErrorText& errorText) {
    PngSource source(file);
    return readPngFrom(source, errorText);
}

std::unique_ptr<Image> readPngBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText) {
    PngSource source(bytes);
    return readPngFrom(source, errorText);
}

std::optional<PngDescription> describePng(std::span<const std::uint8_t> bytes) {
    const ContextPtr ctx(spng_ctx_new(0));
    PngSource source(bytes);
    ChunkFilter filter(source);
    if (!ctx || spng_set_png_stream(ctx.get(), ChunkFilter::read, &filter) != 0 ||
        setLimits(ctx.get()) != 0)
        return std::nullopt;
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return std::nullopt;
    PngDescription layout{ihdr.width, ihdr.height, ihdr.bit_depth, ihdr.color_type,
                          ihdr.interlace_method == SPNG_INTERLACE_ADAM7};
    spng_trns trns{};
    layout.bTransparency = spng_get_trns(ctx.get(), &trns) == 0;
    spng_plte plte{};
    if (spng_get_plte(ctx.get(), &plte) == 0) layout.nPaletteEntries = plte.n_entries;
    return layout;
}

}  // namespace rle565
