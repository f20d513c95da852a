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

namespace rle565 {

namespace {

constexpr const char* ERROR_TOO_LARGE = "image too large";
// Followed by libspng's short text of the fault.
constexpr const char* ERROR_PNG_PREFIX = "PNG read error: ";

// The dimensions that BMP input allows: signed 32-bit widths and heights.
constexpr std::uint32_t MAX_DIMENSION = INT32_MAX;
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

// A stream after its signature, with the signature given back first, since
// libspng reads and checks it itself.
struct StreamState {
    std::FILE* file = nullptr;
    std::size_t nSignatureGiven = 0;
};

int readStream(spng_ctx*, void* user, void* dst, std::size_t length) {
    auto* state = static_cast<StreamState*>(user);
    auto* out = static_cast<std::uint8_t*>(dst);
    const std::size_t nFromSignature =
        std::min(length, PNG_SIGNATURE.size() - state->nSignatureGiven);
    std::memcpy(out, PNG_SIGNATURE.data() + state->nSignatureGiven, nFromSignature);
    state->nSignatureGiven += nFromSignature;
    const std::size_t rest = length - nFromSignature;
    if (rest > 0 && std::fread(out + nFromSignature, 1, rest, state->file) != rest)
        return SPNG_IO_EOF;
    return 0;
}

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
        ihdr.height > MAX_DIMENSION)
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
    image->pixels.resize(*nPixels);
    image->bAlpha = bAlpha;
    if (bAlpha) image->alpha.resize(*nPixels);

    // Interlaced rows come once per pass, each with the pass's columns
    // filled; only those are converted, so one row's buffer does.
    const bool bInterlaced = ihdr.interlace_method == SPNG_INTERLACE_ADAM7;
    std::vector<std::uint8_t> row(*rowBytes);
    const std::size_t width = ihdr.width;
    for (;;) {
        spng_row_info info{};
        if (const int err = spng_get_row_info(ctx, &info)) return failPng(errorText, err);
        // SPNG_EOI comes with the last row.
        const int err = spng_decode_row(ctx, row.data(), row.size());
        if (err != 0 && err != SPNG_EOI) return failPng(errorText, err);
        if (info.row_num >= ihdr.height || info.pass < 0 || info.pass >= 7)
            return failPng(errorText, SPNG_EINTERNAL);
        const auto pass = static_cast<std::size_t>(info.pass);
        const std::size_t first = std::size_t{info.row_num} * width;
        convertRow(row.data(), bSixteen, bInterlaced ? PASS_FIRST_COLUMN[pass] : 0,
                   bInterlaced ? PASS_COLUMN_STEP[pass] : 1, width, image->pixels.data() + first,
                   bAlpha ? image->alpha.data() + first : nullptr);
        if (err == SPNG_EOI) break;
    }
    return image;
}

}  // namespace

bool isPng(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= PNG_SIGNATURE.size() &&
           std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), bytes.begin());
}

std::unique_ptr<Image> readPng(std::FILE* file, ErrorText& errorText) {
    const ContextPtr ctx(spng_ctx_new(0));
    if (!ctx) throw std::bad_alloc();
    StreamState state{file, 0};
    if (const int err = spng_set_png_stream(ctx.get(), readStream, &state))
        return failPng(errorText, err);
    return decodePng(ctx.get(), errorText);
}

std::unique_ptr<Image> readPngBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText) {
    const ContextPtr ctx(spng_ctx_new(0));
    if (!ctx) throw std::bad_alloc();
    if (const int err = spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size()))
        return failPng(errorText, err);
    return decodePng(ctx.get(), errorText);
}

std::optional<PngDescription> describePng(std::span<const std::uint8_t> bytes) {
    const ContextPtr ctx(spng_ctx_new(0));
    if (!ctx || spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size()) != 0 ||
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
