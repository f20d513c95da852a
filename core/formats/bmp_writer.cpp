#include <rle565/bmp_writer.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "check.h"
#include "formats/bmp_layout.h"
#include "output_file.h"

namespace rle565 {

namespace {

constexpr std::uint32_t INFO_HEADER_SIZE = 40;
// 200 dots per inch, in dots per metre.
constexpr std::uint32_t PELS_PER_METER = 7874;

// A channel of `bits` bits widened to a byte: the largest value becomes 255,
// the rest round down, so the reader's shift gives the value back.
template <std::size_t N>
constexpr std::array<std::uint8_t, N> widenTable() {
    std::array<std::uint8_t, N> table{};
    for (std::size_t v = 0; v < N; ++v) table[v] = static_cast<std::uint8_t>(v * 255 / (N - 1));
    return table;
}
constexpr auto WIDEN_5 = widenTable<32>();
constexpr auto WIDEN_6 = widenTable<64>();

// Alpha 0 to 31 as steps of 8 and opaque as 255: the reader maps 251 and up
// back to 32 and the rest by >> 3. Values above 32 count as opaque.
std::uint8_t widenAlpha(std::uint8_t a) {
    return a >= ALPHA_OPAQUE ? 255 : static_cast<std::uint8_t>(a * 8);
}

// The file's shape for this image, or nothing when its size does not fit the
// 32-bit fields.
std::optional<BmpLayout> layoutOf(const Image& image) {
    // A record whose buffers do not match its size cannot be written; the
    // writer refuses it rather than read past them.
    if (image.width < 0 || image.height < 0) return std::nullopt;
    const auto width = static_cast<std::uint64_t>(image.width);
    const auto height = static_cast<std::uint64_t>(image.height);
    if (image.pixels.size() != width * height) return std::nullopt;
    if (image.hasAlpha() && image.alpha.size() != image.pixels.size()) return std::nullopt;
    return layoutBmp(image.width, image.height, image.hasAlpha());
}

// Blue, green and red of an RGB565 colour, widened, at out.
void widenColor(std::uint16_t p, std::uint8_t* out) {
    out[0] = WIDEN_5[p & 0x1F];
    out[1] = WIDEN_6[(p >> 5) & 0x3F];
    out[2] = WIDEN_5[p >> 11];
}

// Fills `row` with line y: blue, green, red (and alpha) per pixel, then the
// zero fill, which the row buffer already holds.
void buildRow(const Image& image, std::size_t y, bool bAlpha, std::span<std::uint8_t> row) {
    const auto width = static_cast<std::size_t>(image.width);
    const std::uint16_t* src = image.pixels.data() + y * width;
    std::uint8_t* out = row.data();
    if (bAlpha) {
        const std::uint8_t* alpha = image.alpha.data() + y * width;
        for (std::size_t x = 0; x < width; ++x, out += 4) widenPixel(src[x], alpha[x], out);
    } else {
        for (std::size_t x = 0; x < width; ++x, out += 3) widenColor(src[x], out);
    }
}

// Hands the header and then every row, bottom line first, to `sink`, stopping
// at the first refusal.
template <class Sink>
bool emitBmp(const Image& image, const BmpLayout& layout, Sink&& sink) {
    if (!sink(std::span<const std::uint8_t>(layout.header))) return false;
    // Rows of width 0 are empty, however many there are.
    if (layout.rowSize == 0) return true;
    std::vector<std::uint8_t> row(layout.rowSize, 0);
    for (std::size_t y = static_cast<std::size_t>(image.height); y-- > 0;) {
        buildRow(image, y, layout.bAlpha, row);
        if (!sink(std::span<const std::uint8_t>(row))) return false;
    }
    return true;
}

}  // namespace

bool writeBmp(const Image& image, const OutputTarget& output) {
    const auto layout = layoutOf(image);
    if (!layout) return false;
    OutputFile out(output);
    if (!out.isOpen()) return false;
    out.reserve(BMP_HEADER_SIZE + std::uint64_t{layout->rowsSize});
    const bool bWritten = emitBmp(image, *layout, [&out](std::span<const std::uint8_t> bytes) {
        return out.write(bytes.data(), bytes.size());
    });
    // Without commit the temporary file goes and the target stays as it was.
    return bWritten && out.commit();
}

std::vector<std::uint8_t> encodeBmp(const Image& image) {
    const auto layout = layoutOf(image);
    if (!layout) return {};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(BMP_HEADER_SIZE + layout->rowsSize);
    emitBmp(image, *layout, [&bytes](std::span<const std::uint8_t> chunk) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
        return true;
    });
    return bytes;
}

std::uint64_t bmpRowSize(std::uint64_t width, bool bAlpha) {
    // 24-bit rows are padded to whole 32-bit words.
    return bAlpha ? width * 4 : (width * 3 + 3) / 4 * 4;
}

std::uint64_t bmpFileSize(std::int32_t width, std::int32_t height, bool bAlpha) {
    const auto w = static_cast<std::uint64_t>(width < 0 ? 0 : width);
    const auto h = static_cast<std::uint64_t>(height < 0 ? 0 : height);
    return BMP_HEADER_SIZE + bmpRowSize(w, bAlpha) * h;
}

std::optional<BmpLayout> layoutBmp(std::int32_t width, std::int32_t height, bool bAlpha) {
    if (width < 0 || height < 0) return std::nullopt;
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    BmpLayout layout;
    layout.bAlpha = bAlpha;
    const std::uint64_t rowSize = bmpRowSize(w, bAlpha);
    // bfSize, 54 + the rows, is a 32-bit field.
    if (h != 0 && rowSize > (UINT32_MAX - BMP_HEADER_SIZE) / h) return std::nullopt;
    const std::uint64_t rowsSize = rowSize * h;
    // A row longer than the whole file only occurs with no rows at all.
    layout.rowSize = rowsSize == 0 ? 0 : static_cast<std::size_t>(rowSize);
    layout.rowsSize = static_cast<std::uint32_t>(rowsSize);

    std::array<std::uint8_t, BMP_HEADER_SIZE>& head = layout.header;
    head[0] = 'B';
    head[1] = 'M';
    storeLe32(&head[2], static_cast<std::uint32_t>(BMP_HEADER_SIZE) + layout.rowsSize);
    storeLe32(&head[10], static_cast<std::uint32_t>(BMP_HEADER_SIZE));
    storeLe32(&head[14], INFO_HEADER_SIZE);
    storeLe32(&head[18], static_cast<std::uint32_t>(width));
    storeLe32(&head[22], static_cast<std::uint32_t>(height));  // positive: bottom line first
    storeLe16(&head[26], 1);
    storeLe16(&head[28], bAlpha ? 32 : 24);
    storeLe32(&head[34], layout.rowsSize);
    storeLe32(&head[38], PELS_PER_METER);
    storeLe32(&head[42], PELS_PER_METER);
    return layout;
}

void widenPixel(std::uint16_t color, std::uint8_t alpha, std::uint8_t* out) {
    widenColor(color, out);
    out[3] = widenAlpha(alpha);
}

}  // namespace rle565
