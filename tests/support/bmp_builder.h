// Lays out BMP files field by field for tests: any header length, depth,
// colour table, data offset and raw pixel rows, consistent or not.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "bytes.h"

namespace rle565 {}
using namespace rle565;

class BmpBuilder {
public:
    using Bytes = std::vector<std::uint8_t>;

    // A negative height makes a top-down file.
    BmpBuilder(std::int32_t width, std::int32_t height, std::uint16_t bitCount)
        : width_(width), height_(height), bitCount_(bitCount) {}

    // biSize; the bytes past the first 40 are written as zeros. Below 40 the
    // fields still take their 40-byte places, as a reader that refuses such a
    // header would see them, and the colour table follows them.
    BmpBuilder& headerSize(std::uint32_t biSize) {
        headerSize_ = biSize;
        return *this;
    }
    // bfOffBits; the gap between the colour table and this offset is filled
    // with 0xEE. Default: right after the colour table.
    BmpBuilder& dataOffset(std::uint32_t bfOffBits) {
        dataOffset_ = bfOffBits;
        return *this;
    }
    BmpBuilder& compression(std::uint32_t biCompression) {
        compression_ = biCompression;
        return *this;
    }
    BmpBuilder& colorsUsed(std::uint32_t biClrUsed) {
        colorsUsed_ = biClrUsed;
        return *this;
    }
    // Appends one colour table entry (stored blue, green, red, 0).
    BmpBuilder& color(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        // One byte at a time: GCC 12 takes an initializer-list insert here for
        // an overflow in optimised builds.
        for (const std::uint8_t byte : {b, g, r, std::uint8_t{0}}) table_.push_back(byte);
        return *this;
    }
    // Appends 32-bit values where a colour table would go: the bit masks
    // that follow an info header shorter than 52 bytes.
    BmpBuilder& masks(std::initializer_list<std::uint32_t> values) {
        for (const std::uint32_t v : values) {
            const std::size_t at = table_.size();
            table_.resize(at + 4);
            storeLe32(&table_[at], v);
        }
        return *this;
    }
    // Stores 32-bit values in the info header from file offset 54 on, where
    // headers of 52 bytes and more keep their masks.
    BmpBuilder& headerMasks(std::initializer_list<std::uint32_t> values) {
        headerMasks_.assign(values.begin(), values.end());
        return *this;
    }
    // Appends a row's pixel bytes and zero fill up to a multiple of four.
    BmpBuilder& row(const Bytes& bytes) {
        rows_.insert(rows_.end(), bytes.begin(), bytes.end());
        rows_.resize(rows_.size() + (4 - bytes.size() % 4) % 4, 0);
        return *this;
    }
    // Appends bytes exactly as given.
    BmpBuilder& raw(const Bytes& bytes) {
        rows_.insert(rows_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    Bytes build() const {
        const std::size_t tableStart = 14 + std::max<std::size_t>(headerSize_, 40);
        const std::size_t tableEnd = tableStart + table_.size();
        const std::size_t rowsStart =
            dataOffset_ && *dataOffset_ > tableEnd ? *dataOffset_ : tableEnd;
        Bytes file(rowsStart, 0xEE);
        std::fill(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(tableStart), 0);
        file[0] = 'B';
        file[1] = 'M';
        storeLe32(&file[2], static_cast<std::uint32_t>(rowsStart + rows_.size()));
        storeLe32(&file[10], dataOffset_.value_or(static_cast<std::uint32_t>(tableEnd)));
        storeLe32(&file[14], headerSize_);
        storeLe32(&file[18], static_cast<std::uint32_t>(width_));
        storeLe32(&file[22], static_cast<std::uint32_t>(height_));
        storeLe16(&file[26], 1);
        storeLe16(&file[28], bitCount_);
        storeLe32(&file[30], compression_);
        storeLe32(&file[34], static_cast<std::uint32_t>(rows_.size()));
        storeLe32(&file[46], colorsUsed_);
        for (std::size_t i = 0; i < headerMasks_.size() && 58 + 4 * i <= tableStart; ++i)
            storeLe32(&file[54 + 4 * i], headerMasks_[i]);
        std::copy(table_.begin(), table_.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(tableStart));
        file.insert(file.end(), rows_.begin(), rows_.end());
        return file;
    }

private:
    std::int32_t width_;
    std::int32_t height_;
    std::uint16_t bitCount_;
    std::uint32_t headerSize_ = 40;
    std::optional<std::uint32_t> dataOffset_;
    std::uint32_t compression_ = 0;
    std::uint32_t colorsUsed_ = 0;
    Bytes table_;
    std::vector<std::uint32_t> headerMasks_;
    Bytes rows_;
};
