// Lays out the bytes of an RLE file field by field, so that a test can write a
// sound file or damage exactly one field of it, and loads such bytes the way
// a real caller does, through a file and loadImage.
#pragma once

#include <rle565/image.h>
#include <rle565/load.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "read_bytes.h"
#include "temp_dir.h"

namespace rle565 {}
using namespace rle565;

class RleBuilder {
public:
    RleBuilder& flags(std::uint16_t value) {
        flags_ = value;
        return *this;
    }
    RleBuilder& size(std::uint16_t width, std::uint16_t height) {
        width_ = width;
        height_ = height;
        return *this;
    }
    // The second height field; the height again unless set.
    RleBuilder& repeatedHeight(std::uint16_t value) {
        repeatedHeight_ = value;
        return *this;
    }
    // The header's entry count; the palette's size unless set.
    RleBuilder& entryCount(std::uint16_t value) {
        entryCount_ = value;
        return *this;
    }
    RleBuilder& palette(std::vector<std::uint16_t> colors) {
        palette_ = std::move(colors);
        return *this;
    }
    // Written after the colours as given.
    RleBuilder& alphas(Bytes values) {
        alphas_ = std::move(values);
        return *this;
    }
    // Appends a line's codes; its length entry is worked out unless lineLengths is set.
    RleBuilder& line(Bytes codes) {
        lines_.push_back(std::move(codes));
        return *this;
    }
    RleBuilder& lineLengths(Bytes table) {
        lineLengths_ = std::move(table);
        return *this;
    }
    // Every entry in the three-byte form, whatever the count.
    RleBuilder& longLengths() {
        bLongLengths_ = true;
        return *this;
    }
    RleBuilder& trailing(Bytes bytes) {
        trailing_ = std::move(bytes);
        return *this;
    }

    Bytes bytes() const {
        Bytes out = {'R', 'L'};
        appendLe16(out, flags_);
        appendLe16(out, width_);
        appendLe16(out, height_);
        appendLe16(out, entryCount_.value_or(static_cast<std::uint16_t>(palette_.size())));
        appendLe16(out, repeatedHeight_.value_or(height_));
        for (const std::uint16_t color : palette_) appendLe16(out, color);
        out.insert(out.end(), alphas_.begin(), alphas_.end());
        if (lineLengths_) {
            out.insert(out.end(), lineLengths_->begin(), lineLengths_->end());
        } else {
            for (const Bytes& codes : lines_) {
                const std::size_t count = codes.size();
                if (count < 255 && !bLongLengths_) {
                    out.push_back(static_cast<std::uint8_t>(count));
                } else {
                    // The one value of the format stored high byte first.
                    out.push_back(0xFF);
                    out.push_back(static_cast<std::uint8_t>(count >> 8));
                    out.push_back(static_cast<std::uint8_t>(count));
                }
            }
        }
        for (const Bytes& codes : lines_) out.insert(out.end(), codes.begin(), codes.end());
        out.insert(out.end(), trailing_.begin(), trailing_.end());
        return out;
    }

private:
    static void appendLe16(Bytes& out, std::uint16_t value) {
        out.push_back(static_cast<std::uint8_t>(value));
        out.push_back(static_cast<std::uint8_t>(value >> 8));
    }

    std::uint16_t flags_ = 0;
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
    std::optional<std::uint16_t> repeatedHeight_;
    std::optional<std::uint16_t> entryCount_;
    std::vector<std::uint16_t> palette_;
    Bytes alphas_;
    std::vector<Bytes> lines_;
    std::optional<Bytes> lineLengths_;
    bool bLongLengths_ = false;
    Bytes trailing_;
};

// A multi-palette file of one pixel whose one line switches through
// nPalettes palettes (the first 1000 entries wide, the others 31) before it
// draws, over a table of 65535 entries: a few kilobytes that name thousands
// of palettes.
inline Bytes manyPalettesFile(int nPalettes) {
    Bytes line;
    for (int k = 0; k < nPalettes; ++k) {
        const int base = k == 0 ? 0 : 1000 + k * 31;
        line.insert(line.end(), {0xFD, static_cast<std::uint8_t>(base & 0xFF),
                                 static_cast<std::uint8_t>(base >> 8)});
    }
    line.push_back(0x01);  // one pixel of the last palette's entry 1
    return RleBuilder()
        .flags(2)
        .size(1, 1)
        .palette(std::vector<std::uint16_t>(65535, 0x5555))
        .line(line)
        .bytes();
}

// The record loadRle would make of these bytes, made by hand without any of
// its checks and without line offsets, for tests that feed damaged data on.
inline Image recordFromBytes(const Bytes& file) {
    Image image;
    image.flags = IMAGE_RLE | file.at(2) | file.at(3) << 8;
    image.width = file.at(4) | file.at(5) << 8;
    image.height = file.at(6) | file.at(7) << 8;
    image.paletteSize = static_cast<std::uint16_t>(file.at(8) | file.at(9) << 8);
    image.dataSize = static_cast<std::uint32_t>(file.size() - 12);
    image.pixels.resize((image.dataSize + 1) / 2);
    if (image.dataSize > 0) std::memcpy(image.pixels.data(), file.data() + 12, image.dataSize);
    return image;
}

// Writes the bytes to a file of their own and loads it with loadImage.
inline std::unique_ptr<Image> loadFileBytes(const Bytes& file, ErrorText& errorText) {
    const TempDir dir;
    const std::string path = dir.file("image.rle");
    writeFile(path, file);
    return loadImage(path.c_str(), errorText);
}

// The message a load of these bytes fails with, or "" when it loads.
inline std::string loadError(const Bytes& file) {
    ErrorText errorText{};
    const auto image = loadFileBytes(file, errorText);
    return image ? std::string() : std::string(errorText.data());
}
