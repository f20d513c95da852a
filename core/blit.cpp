#include "blit.h"

#include <algorithm>
#include <optional>

#include "bmp_writer.h"
#include "bytes.h"
#include "rle_reader.h"

namespace {

// Spread of an RGB565 value over 32 bits: red and blue stay in the low half,
// green moves to bits 21 to 26. Each channel then has room for its products
// with alpha (at most 31 × 32 or 63 × 32) before the next channel starts.
constexpr std::uint32_t SPREAD_MASK = 0x07E0F81F;

// Size of the BMP header that writeBmp puts before the pixel rows.
constexpr std::uint32_t BMP_HEADER_SIZE = 54;

std::uint8_t clampAlpha(std::uint8_t a) { return std::min(a, ALPHA_OPAQUE); }

// The start of `count` target pixels in row `row` from column x, or nothing
// when they would leave the pixel array, or the alpha array when there is one.
std::optional<std::size_t> targetRow(const Surface& surface, std::int64_t row, std::int32_t x,
                                     std::uint32_t count) {
    const std::int64_t start = row * surface.stride + x;
    if (start < 0) return std::nullopt;
    const auto end = static_cast<std::uint64_t>(start) + count;
    if (end > surface.pixels.size()) return std::nullopt;
    if (!surface.alpha.empty() && end > surface.alpha.size()) return std::nullopt;
    return static_cast<std::size_t>(start);
}

// The palette of an RLE image as the decoder sees it.
struct RlePalette {
    const std::uint8_t* colors;  // 2 bytes per entry, little-endian
    const std::uint8_t* alphas;  // 1 byte per entry; not read without an alpha palette
    std::uint32_t size;          // entries that may be drawn; 0 when the tables leave the block

    std::uint16_t color(std::uint32_t e) const { return loadLe16(colors + 2 * std::size_t{e}); }
};

// One target row; `alpha` is null when the target keeps no alpha.
struct TargetRow {
    std::uint16_t* pixels;
    std::uint8_t* alpha;
};

// Draws entry e at column n. With a target alpha array colour and alpha are
// copied; without one, partial alpha is blended and alpha 0 leaves the target
// as it is.
template <bool bTargetAlpha, bool bSourceAlpha>
void drawPixel(const RlePalette& pal, std::uint32_t e, const TargetRow& row, std::uint32_t n) {
    const std::uint16_t color = pal.color(e);
    if constexpr (bTargetAlpha) {
        row.pixels[n] = color;
        row.alpha[n] = bSourceAlpha ? clampAlpha(pal.alphas[e]) : ALPHA_OPAQUE;
    } else if constexpr (bSourceAlpha) {
        const std::uint8_t a = pal.alphas[e];
        if (a >= ALPHA_OPAQUE) {
            row.pixels[n] = color;
        } else if (a > 0) {
            row.pixels[n] = blendRgb565(color, row.pixels[n], a);
        }
    } else {
        row.pixels[n] = color;
    }
}

// The same for `count` pixels from column n.
template <bool bTargetAlpha, bool bSourceAlpha>
void drawRun(const RlePalette& pal, std::uint32_t e, const TargetRow& row, std::uint32_t n,
             std::uint32_t count) {
    const std::uint16_t color = pal.color(e);
    std::uint16_t* const dst = row.pixels + n;
    if constexpr (bTargetAlpha) {
        std::fill_n(dst, count, color);
        std::fill_n(row.alpha + n, count, bSourceAlpha ? clampAlpha(pal.alphas[e]) : ALPHA_OPAQUE);
    } else if constexpr (bSourceAlpha) {
        const std::uint8_t a = pal.alphas[e];
        if (a >= ALPHA_OPAQUE) {
            std::fill_n(dst, count, color);
        } else if (a > 0) {
            for (std::uint32_t i = 0; i < count; ++i) dst[i] = blendRgb565(color, dst[i], a);
        }
    } else {
        std::fill_n(dst, count, color);
    }
}

// Decodes one line's codes from p into the target row. Each code is checked
// once against the end of the data block and the palette, and runs are cut at
// the width, so damaged codes stop the line instead of reaching outside the
// block, the tables or the target row.
template <bool bTargetAlpha, bool bSourceAlpha>
void decodeLine(const std::uint8_t* p, const std::uint8_t* end, const RlePalette& pal,
                std::uint32_t width, const TargetRow& row) {
    std::uint32_t base = 0;
    std::uint32_t n = 0;
    while (n < width) {
        if (p == end) return;
        const std::uint8_t c = *p++;
        if (c == CODE_SKIP) {
            ++n;
        } else if (c <= CODE_LITERAL_MAX) {
            const std::uint32_t e = base + c;
            if (e >= pal.size) return;
            drawPixel<bTargetAlpha, bSourceAlpha>(pal, e, row, n);
            ++n;
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return;
            n += std::min<std::uint32_t>(*p++, width - n);
        } else {
            if (end - p < 2) return;
            if (c == CODE_SWITCH) {
                base = loadLe16(p);
            } else {
                const std::uint32_t e = base + p[0];
                const std::uint32_t count = std::min<std::uint32_t>(p[1], width - n);
                if (count > 0) {
                    if (e >= pal.size) return;
                    drawRun<bTargetAlpha, bSourceAlpha>(pal, e, row, n, count);
                    n += count;
                }
            }
            p += 2;
        }
    }
}

template <bool bTargetAlpha, bool bSourceAlpha>
void decodeLines(const Image& image, std::span<const std::uint8_t> data, const RlePalette& pal,
                 std::int32_t x, std::int32_t y, const Surface& surface) {
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto nLines = std::min(static_cast<std::size_t>(image.height), image.lineOffsets.size());
    const std::uint8_t* const end = data.data() + data.size();
    for (std::size_t i = 0; i < nLines; ++i) {
        const auto start =
            targetRow(surface, std::int64_t{y} + static_cast<std::int64_t>(i), x, width);
        if (!start) continue;
        const std::size_t offset = std::min<std::size_t>(image.lineOffsets[i], data.size());
        const TargetRow row{surface.pixels.data() + *start,
                            bTargetAlpha ? surface.alpha.data() + *start : nullptr};
        decodeLine<bTargetAlpha, bSourceAlpha>(data.data() + offset, end, pal, width, row);
    }
}

// One line of a plain image, by the same rule as drawPixel.
void blitPlainLine(const std::uint16_t* src, const std::uint8_t* srcAlpha, std::uint32_t width,
                   std::uint16_t* dst, std::uint8_t* dstAlpha) {
    if (dstAlpha) {
        std::copy_n(src, width, dst);
        if (srcAlpha) {
            std::transform(srcAlpha, srcAlpha + width, dstAlpha, clampAlpha);
        } else {
            std::fill_n(dstAlpha, width, ALPHA_OPAQUE);
        }
    } else if (srcAlpha) {
        for (std::uint32_t j = 0; j < width; ++j) {
            const std::uint8_t a = srcAlpha[j];
            if (a >= ALPHA_OPAQUE) {
                dst[j] = src[j];
            } else if (a > 0) {
                dst[j] = blendRgb565(src[j], dst[j], a);
            }
        }
    } else {
        std::copy_n(src, width, dst);
    }
}

void blitPlain(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.width < 0 || image.height < 0) return;
    const auto width = static_cast<std::uint32_t>(image.width);
    const bool bSourceAlpha = image.hasAlpha();
    for (std::size_t i = 0; i < static_cast<std::size_t>(image.height); ++i) {
        // A hand-made record may hold fewer pixels than its size says.
        const std::size_t srcStart = i * width;
        if (srcStart + width > image.pixels.size()) return;
        if (bSourceAlpha && srcStart + width > image.alpha.size()) return;
        const auto start =
            targetRow(surface, std::int64_t{y} + static_cast<std::int64_t>(i), x, width);
        if (!start) continue;
        blitPlainLine(image.pixels.data() + srcStart,
                      bSourceAlpha ? image.alpha.data() + srcStart : nullptr, width,
                      surface.pixels.data() + *start,
                      surface.alpha.empty() ? nullptr : surface.alpha.data() + *start);
    }
}

// The bytes a BMP of this image would take fit the format's 32-bit sizes.
bool fitsBmp(const Image& image) {
    if (image.width < 0 || image.height < 0) return false;
    const auto width = static_cast<std::uint32_t>(image.width);
    const bool bAlpha = (image.flags & RLE_ALPHA) != 0;
    // 24-bit rows are padded to whole 32-bit words.
    const auto rowBytes = bAlpha ? checkedMul(width, 4) : checkedMul(width, 3);
    if (!rowBytes) return false;
    const auto padded = bAlpha ? rowBytes : checkedAdd(*rowBytes, 3);
    if (!padded) return false;
    const auto rows = checkedMul(static_cast<std::uint32_t>(image.height), *padded & ~3u);
    return rows && checkedAdd(BMP_HEADER_SIZE, *rows);
}

}  // namespace

std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t d, std::uint32_t a) {
    a = std::min<std::uint32_t>(a, ALPHA_OPAQUE);
    const std::uint32_t sw = (s | std::uint32_t{s} << 16) & SPREAD_MASK;
    const std::uint32_t dw = (d | std::uint32_t{d} << 16) & SPREAD_MASK;
    // The shift drops each channel's remainder into bits the mask clears.
    const std::uint32_t mixed = ((sw * a + dw * (ALPHA_OPAQUE - a)) >> 5) & SPREAD_MASK;
    return static_cast<std::uint16_t>(mixed | mixed >> 16);
}

void blitImage(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.isRle()) {
        decodeRleLines(image, x, y, surface);
    } else {
        blitPlain(image, x, y, surface);
    }
}

void decodeRleLines(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.width < 0 || image.height < 0) return;
    // Only the bytes the buffer really holds, whatever dataSize claims.
    const std::span<const std::uint8_t> data(
        reinterpret_cast<const std::uint8_t*>(image.pixels.data()),
        std::min<std::size_t>(image.dataSize, image.pixels.size() * 2));
    const bool bSourceAlpha = (image.flags & RLE_ALPHA) != 0;
    const std::uint32_t nEntries = image.paletteSize;
    const std::uint64_t tables = std::uint64_t{nEntries} * (bSourceAlpha ? 3 : 2);
    RlePalette pal{data.data(), data.data(), 0};
    if (tables <= data.size()) {
        pal.size = nEntries;
        if (bSourceAlpha) pal.alphas = data.data() + 2 * std::size_t{nEntries};
    }
    if (!surface.alpha.empty()) {
        if (bSourceAlpha) {
            decodeLines<true, true>(image, data, pal, x, y, surface);
        } else {
            decodeLines<true, false>(image, data, pal, x, y, surface);
        }
    } else if (bSourceAlpha) {
        decodeLines<false, true>(image, data, pal, x, y, surface);
    } else {
        decodeLines<false, false>(image, data, pal, x, y, surface);
    }
}

Image decodeRleImage(const Image& image) {
    Image result;
    result.clear();
    result.width = std::max(image.width, 0);
    result.height = std::max(image.height, 0);
    const std::size_t count =
        static_cast<std::size_t>(result.width) * static_cast<std::size_t>(result.height);
    result.pixels.assign(count, COLOR_KEY);
    if ((image.flags & RLE_ALPHA) != 0) result.alpha.assign(count, 0);
    const Surface surface{result.pixels, result.alpha, result.width};
    blitImage(image, 0, 0, surface);
    return result;
}

bool convertRleToBmp(const Image& image, const char* outputPath) {
    if (!fitsBmp(image)) return false;
    Image decoded = decodeRleImage(image);
    const bool written = writeBmp(decoded, outputPath);
    decoded.release();
    return written;
}
