#include <cstdint>

#include "formats/bmp_pixels.h"

namespace rle565::detail {

namespace {

// The second byte of a code whose first byte is 0.
constexpr std::uint8_t ESCAPE_END_OF_LINE = 0;
constexpr std::uint8_t ESCAPE_END_OF_BITMAP = 1;
constexpr std::uint8_t ESCAPE_DELTA = 2;

// The drawing position. Lines count from the first line of the file; moves
// add at most 255 per code, so the counters never wrap.
class Pen {
public:
    Pen(Image& image, bool bTopDown)
        : image_(image),
          width_(static_cast<std::uint64_t>(image.width)),
          height_(static_cast<std::uint64_t>(image.height)),
          bTopDown_(bTopDown) {}

    // The place of the next `count` pixels, or nullptr when they do not fit
    // in the current line.
    std::uint16_t* draw(std::uint64_t count) {
        if (line_ >= height_ || x_ + count > width_) return nullptr;
        const std::uint64_t y = bTopDown_ ? line_ : height_ - 1 - line_;
        std::uint16_t* out = image_.pixels.data() + static_cast<std::size_t>(y * width_ + x_);
        x_ += count;
        return out;
    }
    void endLine() {
        x_ = 0;
        ++line_;
    }
    void move(std::uint8_t dx, std::uint8_t dy) {
        x_ += dx;
        line_ += dy;
    }

private:
    Image& image_;
    std::uint64_t width_;
    std::uint64_t height_;
    bool bTopDown_;
    std::uint64_t x_ = 0;
    std::uint64_t line_ = 0;
};

// Index i of a run of values packed as the depth packs them: whole bytes, or
// two four-bit values a byte, the high one first.
std::uint8_t indexAt(std::span<const std::uint8_t> bytes, std::size_t i, bool bFour) {
    if (!bFour) return bytes[i];
    const std::uint8_t b = bytes[i / 2];
    return (i & 1) != 0 ? b & 0x0F : b >> 4;
}

}  // namespace

bool decodeBmpRle(CodeBytes& in, std::uint16_t bitCount, const std::array<std::uint16_t, 256>& lut,
                  bool bTopDown, Image& image) {
    const bool bFour = bitCount == 4;
    Pen pen(image, bTopDown);
    for (;;) {
        const auto code = in.take(2);
        if (in.missing()) return false;
        const std::uint8_t count = code[0];
        const std::uint8_t value = code[1];
        if (count > 0) {
            // A run: the value's index, or for four bits two indices in turn.
            std::uint16_t* out = pen.draw(count);
            if (!out) return false;
            const std::uint16_t first = lut[bFour ? value >> 4 : value];
            const std::uint16_t second = lut[bFour ? value & 0x0F : value];
            for (std::size_t i = 0; i < count; ++i) out[i] = (i & 1) != 0 ? second : first;
            continue;
        }
        switch (value) {
            case ESCAPE_END_OF_LINE:
                pen.endLine();
                break;
            case ESCAPE_END_OF_BITMAP:
                return true;
            case ESCAPE_DELTA: {
                const auto step = in.take(2);
                if (in.missing()) return false;
                pen.move(step[0], step[1]);
                break;
            }
            default: {
                // A literal stretch of `value` indices, padded to a 16-bit boundary.
                const std::size_t nBytes = bFour ? (value + 1u) / 2 : value;
                const auto literal = in.take((nBytes + 1) / 2 * 2);
                if (in.missing()) return false;
                std::uint16_t* out = pen.draw(value);
                if (!out) return false;
                for (std::size_t i = 0; i < value; ++i) out[i] = lut[indexAt(literal, i, bFour)];
                break;
            }
        }
    }
}

}  // namespace rle565::detail
