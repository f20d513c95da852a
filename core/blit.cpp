// blitImage: images of either form drawn into 16-bit targets, RLE images
// through the drawing runtime's painters; and the decoding of RLE images into
// plain ones.
#include <rle565/blit.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "rle_to_bmp_rows.h"
#include "runtime/blend.h"
#include "runtime/draw_rows.h"

namespace rle565 {

namespace {

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

// Where decodeRleLines() draws an image's lines: each line whose whole
// width lies inside the Surface's arrays, at its own offset, with the codes
// reaching to the end of the data block at the latest.
struct SurfaceLines {
    const Image& image;
    std::span<const std::uint8_t> data;
    const Surface& surface;
    std::int32_t x;
    std::int32_t y;

    static bool next(void* context, std::uint32_t line, LineRow& row) {
        const auto& lines = *static_cast<const SurfaceLines*>(context);
        const auto start = targetRow(lines.surface, std::int64_t{lines.y} + line, lines.x,
                                     static_cast<std::uint32_t>(lines.image.width));
        if (!start) return false;
        const std::size_t offset =
            std::min<std::size_t>(lines.image.lineOffsets[line], lines.data.size());
        row.codes = lines.data.data() + offset;
        row.end = lines.data.data() + lines.data.size();
        row.pixels = lines.surface.pixels.data() + *start;
        row.alpha = lines.surface.alpha.empty() ? nullptr : lines.surface.alpha.data() + *start;
        return true;
    }
};

// One line of a plain image, by the rule the drawing runtime paints RLE pixels by.
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

// The RLE half of blitImage: walks each line's codes from lineOffsets.
void decodeRleLines(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.width < 0 || image.height < 0) return;
    const std::span<const std::uint8_t> data = heldData(image);
    const RlePalette pal = paletteOf(image, data);
    rle565_sprite sprite{};
    sprite.width = image.width;
    sprite.height = image.height;
    sprite.flags = image.flags;
    sprite.palette_size = pal.size;
    sprite.palette = pal.colors;
    sprite.alphas = (image.flags & RLE_ALPHA) != 0 ? pal.alphas : nullptr;
    SurfaceLines lines{image, data, surface, x, y};
    const auto nLines = std::min(static_cast<std::size_t>(image.height), image.lineOffsets.size());
    drawLineRows(sprite, !surface.alpha.empty(), 0, static_cast<std::uint32_t>(nLines),
                 SurfaceLines::next, &lines);
}

}  // namespace

std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t d, std::uint32_t a) {
    return blendPixel(s, d, a);
}

void blitImage(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.isRle()) {
        decodeRleLines(image, x, y, surface);
    } else {
        blitPlain(image, x, y, surface);
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
    result.bAlpha = (image.flags & RLE_ALPHA) != 0;
    if (result.bAlpha) result.alpha.assign(count, 0);
    const Surface surface{result.pixels, result.alpha, result.width};
    blitImage(image, 0, 0, surface);
    return result;
}

}  // namespace rle565
