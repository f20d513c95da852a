// Lays out GIF files for tests: a screen, a global colour table of 256
// entries and frames with their control blocks, the pixel indices coded by
// a plain LZW coder that only ever sends literal codes (a clear code every
// 128 of them keeps the code width at 9 bits).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct GifFrame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> indices;  // width × height, top row first
    int transparent = -1;               // -1: no transparent index
    int disposal = 0;                   // 0 unspecified, 1 keep, 2 background, 3 previous
    bool bInterlaced = false;
};

class GifBuilder {
public:
    using Bytes = std::vector<std::uint8_t>;

    GifBuilder(int width, int height) : width_(width), height_(height) {}

    // Colour table entry i, as red, green, blue.
    GifBuilder& color(std::size_t i, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        colors_[i] = {r, g, b};
        return *this;
    }
    GifBuilder& frame(GifFrame frame) {
        frames_.push_back(std::move(frame));
        return *this;
    }
    // Leaves the closing byte out.
    GifBuilder& withoutTrailer() {
        bTrailer_ = false;
        return *this;
    }

    Bytes build() const {
        Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
        put16(out, width_);
        put16(out, height_);
        out.push_back(0xF7);  // global table of 256 entries, 8 bits per colour
        out.push_back(0);     // background
        out.push_back(0);     // aspect
        for (const auto& c : colors_) out.insert(out.end(), c.begin(), c.end());
        for (const GifFrame& f : frames_) {
            if (f.transparent >= 0 || f.disposal != 0) {
                out.insert(out.end(), {0x21, 0xF9, 4});
                out.push_back(static_cast<std::uint8_t>(f.disposal << 2 | (f.transparent >= 0)));
                out.insert(out.end(), {0, 0});  // delay
                out.push_back(static_cast<std::uint8_t>(f.transparent >= 0 ? f.transparent : 0));
                out.push_back(0);
            }
            out.push_back(0x2C);
            put16(out, f.left);
            put16(out, f.top);
            put16(out, f.width);
            put16(out, f.height);
            out.push_back(f.bInterlaced ? 0x40 : 0);
            out.push_back(8);  // LZW minimum code size
            appendBlocks(out, lzw(sendOrder(f)));
        }
        if (bTrailer_) out.push_back(0x3B);
        return out;
    }

private:
    static void put16(Bytes& out, int value) {
        out.push_back(static_cast<std::uint8_t>(value & 0xFF));
        out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
    }

    // The rows in the order the file sends them: passes from rows 0, 4, 2
    // and 1, every 8th, 8th, 4th and 2nd, when interlaced.
    static Bytes sendOrder(const GifFrame& f) {
        if (!f.bInterlaced) return f.indices;
        Bytes sent;
        const int first[] = {0, 4, 2, 1};
        const int step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int y = first[pass]; y < f.height; y += step[pass]) {
                const auto at = f.indices.begin() + y * f.width;
                sent.insert(sent.end(), at, at + f.width);
            }
        }
        return sent;
    }

    static Bytes lzw(const Bytes& indices) {
        constexpr unsigned CLEAR = 256, END = 257;
        Bytes out;
        std::uint32_t bits = 0;
        int nBits = 0;
        const auto code = [&](unsigned c) {
            bits |= c << nBits;
            nBits += 9;
            while (nBits >= 8) {
                out.push_back(static_cast<std::uint8_t>(bits & 0xFF));
                bits >>= 8;
                nBits -= 8;
            }
        };
        for (std::size_t i = 0; i < indices.size(); ++i) {
            if (i % 128 == 0) code(CLEAR);
            code(indices[i]);
        }
        code(END);
        if (nBits > 0) out.push_back(static_cast<std::uint8_t>(bits & 0xFF));
        return out;
    }

    static void appendBlocks(Bytes& out, const Bytes& data) {
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            out.push_back(static_cast<std::uint8_t>(n));
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        out.push_back(0);
    }

    int width_;
    int height_;
    std::array<std::array<std::uint8_t, 3>, 256> colors_{};
    std::vector<GifFrame> frames_;
    bool bTrailer_ = true;
};
