// Little-endian loads and stores, a bounded forward reader over bytes, and
// overflow-checked size arithmetic. Every multi-byte value of both file
// formats is assembled or split here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rle565 {

inline std::uint16_t loadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t loadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The one big-endian value of the RLE format: the count of a long line-length entry.
inline std::uint16_t loadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline void storeLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void storeLe32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

// Walks forward through bytes it does not own. A read past the end returns
// nothing and leaves the position alone, so parsers test each field once
// instead of doing offset arithmetic.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }

    std::optional<std::uint8_t> u8() {
        if (remaining() < 1) return std::nullopt;
        return bytes_[pos_++];
    }
    std::optional<std::uint16_t> le16() {
        if (remaining() < 2) return std::nullopt;
        const std::uint16_t value = loadLe16(&bytes_[pos_]);
        pos_ += 2;
        return value;
    }
    std::optional<std::uint16_t> be16() {
        if (remaining() < 2) return std::nullopt;
        const std::uint16_t value = loadBe16(&bytes_[pos_]);
        pos_ += 2;
        return value;
    }
    std::optional<std::uint32_t> le32() {
        if (remaining() < 4) return std::nullopt;
        const std::uint32_t value = loadLe32(&bytes_[pos_]);
        pos_ += 4;
        return value;
    }
    std::optional<std::int32_t> le32s() {
        const auto value = le32();
        if (!value) return std::nullopt;
        return static_cast<std::int32_t>(*value);
    }
    bool skip(std::size_t count) {
        if (remaining() < count) return false;
        pos_ += count;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// a × b as a 32-bit size, or nothing when the product does not fit.
inline std::optional<std::uint32_t> checkedMul(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t product = std::uint64_t{a} * b;  // two 32-bit factors never wrap 64 bits
    if (product > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(product);
}

// a + b as a 32-bit size, or nothing when the sum does not fit.
inline std::optional<std::uint32_t> checkedAdd(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t sum = std::uint64_t{a} + b;
    if (sum > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(sum);
}

}  // namespace rle565
