#include <algorithm>
#include <cstdint>
#include <utility>

#include "formats/bmp_pixels.h"
#include "formats/image_limits.h"

namespace rle565::detail {

namespace {

// The second byte of a code whose first byte is 0.
constexpr std::uint8_t ESCAPE_END_OF_LINE = 0;
constexpr std::uint8_t ESCAPE_END_OF_BITMAP = 1;
constexpr std::uint8_t ESCAPE_DELTA = 2;

// The drawing position. Lines count from the first line of the file; moves
// add at most 255 per code, so the counters never wrap. The plane holds the
// lines in file order and grows with the lines the codes reach, so a header
// that claims a large picture costs nothing until codes fill it.
class Pen {
public:
    Pen(Image& image, bool bTopDown, const CodeBytes& in)
        : in_(in),
          image_(image),
          width_(static_cast<std::uint64_t>(image.width)),
          height_(static_cast<std::uint64_t>(image.height)),
          bTopDown_(bTopDown) {
        image_.pixels.clear();
    }

    // The place of the next `count` pixels and how many of them fall inside
    // the line; pixels past its end or below the last line are dropped, as
    // encoders code a row's padding as pixels.
    std::pair<std::uint16_t*, std::size_t> draw(std::uint64_t count) {
        const std::uint64_t x = x_;
        x_ += count;
        if (line_ >= height_ || x >= width_) return {nullptr, 0};
        if (!reach(line_ + 1)) return {nullptr, 0};
        std::uint16_t* out = image_.pixels.data() + static_cast<std::size_t>(line_ * width_ + x);
        return {out, static_cast<std::size_t>(std::min(count, width_ - x))};
    }
    void endLine() {
        x_ = 0;
        ++line_;
    }
    void move(std::uint8_t dx, std::uint8_t dy) {
        x_ += dx;
        line_ += dy;
    }
    // The end of the bitmap: lines no code reached are transparent; lines
    // go to their places, top line first.
    [[nodiscard]] bool finish() {
        if (!reach(height_)) return false;
        if (!bTopDown_)
            turnOver(image_.pixels, static_cast<std::size_t>(width_),
                     static_cast<std::size_t>(height_));
        return true;
    }
    bool tooLarge() const { return bTooLarge_; }

private:
    // Grows the plane to its first `lines` lines; false when the bytes read
    // so far may not stand for that many pixels.
    bool reach(std::uint64_t lines) {
        lines = std::min(lines, height_);
        const auto size = static_cast<std::size_t>(lines * width_);
        if (image_.pixels.size() >= size) return true;
        if (!withinFileShare(size, in_.bytesRead())) {
            bTooLarge_ = true;
            return false;
        }
        // Grown by doubling, so each line is copied a few times at most.
        image_.pixels.reserve(std::max(size, image_.pixels.size() * 2));
        image_.pixels.resize(size, COLOR_KEY);
        return true;
    }

    const CodeBytes& in_;
    Image& image_;
    std::uint64_t width_;
    std::uint64_t height_;
    bool bTopDown_;
    std::uint64_t x_ = 0;
    std::uint64_t line_ = 0;
    bool bTooLarge_ = false;
};

// Index i of a run of values packed as the depth packs them: whole bytes, or
// two four-bit values a byte, the high one first.
std::uint8_t indexAt(std::span<const std::uint8_t> bytes, std::size_t i, bool bFour) {
    if (!bFour) return bytes[i];
    const std::uint8_t b = bytes[i / 2];
    return (i & 1) != 0 ? b & 0x0F : b >> 4;
}

}  // namespace

RleDecode decodeBmpRle(CodeBytes& in, std::uint16_t bitCount,
                       const std::array<std::uint16_t, 256>& lut, bool bTopDown, Image& image) {
    const bool bFour = bitCount == 4;
    Pen pen(image, bTopDown, in);
    for (;;) {
        if (pen.tooLarge()) return RleDecode::TooLarge;
        const auto code = in.take(2);
        if (in.missing()) return RleDecode::Corrupt;
        const std::uint8_t count = code[0];
        const std::uint8_t value = code[1];
        if (count > 0) {
            // A run: the value's index, or for four bits two indices in turn.
            const auto [out, n] = pen.draw(count);
            const std::uint16_t first = lut[bFour ? value >> 4 : value];
            const std::uint16_t second = lut[bFour ? value & 0x0F : value];
            for (std::size_t i = 0; i < n; ++i) out[i] = (i & 1) != 0 ? second : first;
            continue;
        }
        switch (value) {
            case ESCAPE_END_OF_LINE:
                pen.endLine();
                break;
            case ESCAPE_END_OF_BITMAP:
                return pen.finish() ? RleDecode::Done : RleDecode::TooLarge;
            case ESCAPE_DELTA: {
                const auto step = in.take(2);
                if (in.missing()) return RleDecode::Corrupt;
                pen.move(step[0], step[1]);
                break;
            }
            default: {
                // A literal stretch of `value` indices, padded to a 16-bit boundary.
                const std::size_t nBytes = bFour ? (value + 1u) / 2 : value;
                const auto literal = in.take((nBytes + 1) / 2 * 2);
                if (in.missing()) return RleDecode::Corrupt;
                const auto [out, n] = pen.draw(value);
                for (std::size_t i = 0; i < n; ++i) out[i] = lut[indexAt(literal, i, bFour)];
                break;
            }
        }
    }
}

}  // namespace rle565::detail
