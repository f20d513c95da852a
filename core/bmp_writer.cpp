#include "bmp_writer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "check.h"
#include "output_file.h"

namespace {

constexpr std::size_t HEADER_SIZE = 54;
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

struct Layout {
    bool bAlpha = false;
    std::size_t rowSize = 0;  // bytes per row in the file, fill included
    std::uint32_t rowsSize = 0;
};

// The file's shape, or nothing when its size does not fit the 32-bit fields.
std::optional<Layout> layoutOf(const Image& image) {
    RLE_CHECK(image.width >= 0 && image.height >= 0, "image.width >= 0 && image.height >= 0");
    const auto width = static_cast<std::uint64_t>(image.width);
    const auto height = static_cast<std::uint64_t>(image.height);
    RLE_CHECK(image.pixels.size() == width * height, "image.pixels.size() == width * height");
    RLE_CHECK(!image.hasAlpha() || image.alpha.size() == image.pixels.size(),
              "!image.hasAlpha() || image.alpha.size() == image.pixels.size()");
    Layout layout;
    layout.bAlpha = image.hasAlpha();
    const std::uint64_t rowSize = layout.bAlpha ? width * 4 : (width * 3 + 3) / 4 * 4;
    // bfSize, 54 + the rows, is a 32-bit field.
    if (height != 0 && rowSize > (UINT32_MAX - HEADER_SIZE) / height) return std::nullopt;
    const std::uint64_t rowsSize = rowSize * height;
    // A row longer than the whole file only occurs with no rows at all.
    layout.rowSize = rowsSize == 0 ? 0 : static_cast<std::size_t>(rowSize);
    layout.rowsSize = static_cast<std::uint32_t>(rowsSize);
    return layout;
}

std::array<std::uint8_t, HEADER_SIZE> headerOf(const Image& image, const Layout& layout) {
    std::array<std::uint8_t, HEADER_SIZE> h{};
    h[0] = 'B';
    h[1] = 'M';
    storeLe32(&h[2], static_cast<std::uint32_t>(HEADER_SIZE) + layout.rowsSize);
    storeLe32(&h[10], static_cast<std::uint32_t>(HEADER_SIZE));
    storeLe32(&h[14], INFO_HEADER_SIZE);
    storeLe32(&h[18], static_cast<std::uint32_t>(image.width));
    storeLe32(&h[22], static_cast<std::uint32_t>(image.height));  // positive: bottom line first
    storeLe16(&h[26], 1);
    storeLe16(&h[28], layout.bAlpha ? 32 : 24);
    storeLe32(&h[34], layout.rowsSize);
    storeLe32(&h[38], PELS_PER_METER);
    storeLe32(&h[42], PELS_PER_METER);
    return h;
}

// Fills `row` with line y: blue, green, red (and alpha) per pixel, then the
// zero fill, which the row buffer already holds.
void buildRow(const Image& image, std::size_t y, bool bAlpha, std::span<std::uint8_t> row) {
    const auto width = static_cast<std::size_t>(image.width);
    const std::uint16_t* src = image.pixels.data() + y * width;
    std::uint8_t* out = row.data();
    if (bAlpha) {
        const std::uint8_t* alpha = image.alpha.data() + y * width;
        for (std::size_t x = 0; x < width; ++x, out += 4) {
            const std::uint16_t p = src[x];
            out[0] = WIDEN_5[p & 0x1F];
            out[1] = WIDEN_6[(p >> 5) & 0x3F];
            out[2] = WIDEN_5[p >> 11];
            out[3] = widenAlpha(alpha[x]);
        }
    } else {
        for (std::size_t x = 0; x < width; ++x, out += 3) {
            const std::uint16_t p = src[x];
            out[0] = WIDEN_5[p & 0x1F];
            out[1] = WIDEN_6[(p >> 5) & 0x3F];
            out[2] = WIDEN_5[p >> 11];
        }
    }
}

// Hands the header and then every row, bottom line first, to `sink`, stopping
// at the first refusal.
template <class Sink>
bool emitBmp(const Image& image, const Layout& layout, Sink&& sink) {
    const auto header = headerOf(image, layout);
    if (!sink(std::span<const std::uint8_t>(header))) return false;
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

bool writeBmp(const Image& image, const char* path) {
    const auto layout = layoutOf(image);
    if (!layout) return false;
    OutputFile out(path);
    if (!out.isOpen()) return false;
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
    bytes.reserve(HEADER_SIZE + layout->rowsSize);
    emitBmp(image, *layout, [&bytes](std::span<const std::uint8_t> chunk) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
        return true;
    });
    return bytes;
}
