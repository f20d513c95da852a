#include "info_report.h"

#include <rle565/rle_reader.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>

#include "bytes.h"
#include "code_walk.h"

namespace rle565 {

namespace {

// The BMP file and info headers: every field rle565-info reports lies in them.
constexpr std::size_t BMP_HEADER_SIZE = 54;
// Offsets within them.
constexpr std::size_t BMP_HEIGHT = 22;
constexpr std::size_t BMP_BIT_COUNT = 28;
constexpr std::size_t BMP_COLORS_USED = 46;

// Every (colour, alpha) pair: 65536 colours at 32 visible alpha levels.
constexpr std::size_t PAIR_KEYS = std::size_t{1} << 21;

// Up to `count` bytes from the start of a file; fewer when it is shorter.
std::vector<std::uint8_t> readHead(const char* path, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    const FilePtr file(std::fopen(path, "rb"));
    const std::size_t got = file ? std::fread(bytes.data(), 1, count, file.get()) : 0;
    bytes.resize(got);
    return bytes;
}

// The file as an RLE-form image without the structural check, so that the
// check can be run here to name the fault. Nothing when the file cannot be
// read whole or its data block exceeds the record's 32-bit size.
std::optional<Image> readRawRle(const char* path) {
    const FilePtr file(std::fopen(path, "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return std::nullopt;
    const long size = std::ftell(file.get());
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
    const auto fileSize = static_cast<std::uint64_t>(size);
    if (fileSize < RLE_HEADER_SIZE || fileSize - RLE_HEADER_SIZE > UINT32_MAX) return std::nullopt;
    std::array<std::uint8_t, RLE_HEADER_SIZE> head{};
    if (std::fread(head.data(), 1, head.size(), file.get()) != head.size()) return std::nullopt;

    Image image;
    ByteReader in(head);
    in.skip(2);  // the magic
    const std::uint16_t flagsWord = in.le16().value_or(0);
    image.width = in.le16().value_or(0);
    image.height = in.le16().value_or(0);
    image.paletteSize = in.le16().value_or(0);
    image.flags = IMAGE_RLE | flagsWord;
    const auto dataSize = static_cast<std::uint32_t>(fileSize - RLE_HEADER_SIZE);
    image.pixels.resize((std::size_t{dataSize} + 1) / 2);
    if (dataSize > 0 && std::fread(image.pixels.data(), 1, dataSize, file.get()) != dataSize)
        return std::nullopt;
    image.dataSize = dataSize;
    return image;
}

std::uint64_t bmpFileSize(std::int32_t width, std::int32_t height, bool bAlpha) {
    const auto w = static_cast<std::uint64_t>(std::max(width, 0));
    const auto h = static_cast<std::uint64_t>(std::max(height, 0));
    const std::uint64_t rowSize = bAlpha ? w * 4 : (w * 3 + 3) / 4 * 4;
    return BMP_HEADER_SIZE + rowSize * h;
}

void fillRleHeader(const Image& image, FileReport& report) {
    report.bHeaderRead = true;
    report.kind = FileKind::Rle;
    report.width = image.width;
    report.height = image.height;
    report.flagsWord = static_cast<std::uint16_t>(image.flags & 0xFFFF);
    report.bAlpha = (report.flagsWord & RLE_ALPHA) != 0;
    report.nPaletteEntries = image.paletteSize;
    report.bmpDepth = report.bAlpha ? 32 : 24;
    report.bmpSize = bmpFileSize(image.width, image.height, report.bAlpha);
}

// Counts what one line's codes draw, through the one code walker, and notes
// the palette bases the line selects.
struct PixelCounter {
    static constexpr bool NEEDS_LOOK = false;
    static constexpr bool LONE_CODES = false;

    std::vector<std::uint64_t>& drawn;
    std::vector<std::uint32_t>& bases;
    std::uint64_t& nSkipped;
    bool bFirst = true;

    // A line that draws or skips before any switch code uses base 0.
    void first() {
        if (bFirst) bases.push_back(0);
        bFirst = false;
    }
    void shortCodes(const std::uint8_t* codes, std::uint32_t count, std::uint32_t base,
                    std::uint32_t) {
        first();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (codes[i] == CODE_SKIP) {
                ++nSkipped;
            } else {
                ++drawn[base + codes[i]];
            }
        }
    }
    void literal(std::uint32_t e, std::uint32_t) {
        first();
        ++drawn[e];
    }
    void run(std::uint32_t e, std::uint32_t, std::uint32_t count) {
        first();
        drawn[e] += count;
    }
    void skip(std::uint32_t, std::uint32_t count) {
        first();
        nSkipped += count;
    }
    void setBase(std::uint32_t base) {
        bases.push_back(base);
        bFirst = false;
    }
};

// Walks the line codes of a loaded (so structurally sound) RLE image: counts
// skipped pixels and pixels per entry, and collects the palette bases that
// lines select. Every read is still bounded by the data block.
void countRlePixels(const Image& image, FileReport& report) {
    const std::span<const std::uint8_t> data = image.dataBlock();
    const std::uint32_t nEntries = image.paletteSize;
    const auto width = static_cast<std::uint32_t>(image.width);
    std::vector<std::uint64_t> drawn(nEntries, 0);
    std::vector<std::uint32_t> bases;
    std::uint64_t nSkipped = 0;

    for (const std::uint32_t offset : image.lineOffsets) {
        PixelCounter counter{drawn, bases, nSkipped};
        const std::uint8_t* const start = data.data() + std::min<std::size_t>(offset, data.size());
        const std::uint8_t* const end = data.data() + data.size();
        walkLine(start, end, end, width, width, nEntries, counter);
        counter.first();
    }

    const std::size_t alphaStart = std::size_t{nEntries} * 2;
    for (std::uint32_t e = 0; e < nEntries; ++e) {
        const std::uint8_t a = report.bAlpha ? data[alphaStart + e] : ALPHA_OPAQUE;
        if (a == 0) {
            report.nTransparent += drawn[e];
        } else if (a < ALPHA_OPAQUE) {
            report.nPartial += drawn[e];
        }
    }
    report.nTransparent += nSkipped;
    report.nPixels = std::uint64_t{width} * static_cast<std::uint64_t>(image.height);
    report.bCounted = true;
    if ((report.flagsWord & RLE_MULTIPAL) != 0)
        report.palettes = paletteSizes(std::move(bases), nEntries);
}

// Counts the distinct values of `keys` by sorting them in place.
std::uint32_t countDistinct(std::vector<std::uint32_t>& keys) {
    std::sort(keys.begin(), keys.end());
    return static_cast<std::uint32_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

// Transparency and the (colour, alpha) pairs that an encoder would number,
// read by the same rule: alpha 0 is transparent, and without an alpha plane
// the colour key is. A pair's key is colour * 32 + alpha - 1.
void countBmpPixels(const Image& image, FileReport& report) {
    const auto width = static_cast<std::size_t>(image.width);
    std::vector<bool> seen(PAIR_KEYS, false);
    std::vector<std::uint32_t> line;
    line.reserve(width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y) {
        line.clear();
        for (std::size_t i = y * width; i < (y + 1) * width; ++i) {
            const std::uint8_t a = image.hasAlpha()
                                       ? std::min(image.alpha[i], ALPHA_OPAQUE)
                                       : (image.pixels[i] == COLOR_KEY ? 0 : ALPHA_OPAQUE);
            if (a == 0) {
                ++report.nTransparent;
                continue;
            }
            if (a < ALPHA_OPAQUE) ++report.nPartial;
            const std::uint32_t key = std::uint32_t{image.pixels[i]} * 32 + (a - 1u);
            line.push_back(key);
            if (!seen[key]) {
                seen[key] = true;
                ++report.nColors;
            }
        }
        report.nLineColorsMax = std::max(report.nLineColorsMax, countDistinct(line));
    }
    report.nPixels = image.pixels.size();
    report.bCounted = true;
}

void fillBmp(const char* path, FileReport& report) {
    const Image& image = *report.image;
    report.bHeaderRead = true;
    report.kind = FileKind::Bmp;
    report.width = image.width;
    report.height = image.height;
    report.bAlpha = image.hasAlpha();
    // The image loaded, so the file holds the whole header.
    const std::vector<std::uint8_t> head = readHead(path, BMP_HEADER_SIZE);
    ByteReader in(head);
    in.skip(BMP_HEIGHT);
    report.bTopDown = in.le32s().value_or(0) < 0;
    in.skip(BMP_BIT_COUNT - BMP_HEIGHT - 4);
    report.bitDepth = in.le16().value_or(0);
    in.skip(BMP_COLORS_USED - BMP_BIT_COUNT - 2);
    const std::uint32_t nUsed = in.le32().value_or(0);
    if (report.bitDepth <= 8) report.nPaletteEntries = nUsed != 0 ? nUsed : 1u << report.bitDepth;
    report.bmpDepth = report.bAlpha ? 32 : 24;
    report.bmpSize = bmpFileSize(image.width, image.height, report.bAlpha);
    countBmpPixels(image, report);
}

}  // namespace

std::vector<PaletteUse> paletteSizes(std::vector<std::uint32_t> bases, std::uint32_t nEntries) {
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    std::vector<PaletteUse> palettes;
    // Entry N - 1 is the last one; a base at or past it leaves an empty palette.
    const std::uint32_t last = nEntries > 0 ? nEntries - 1 : 0;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        const std::uint32_t end = i + 1 < bases.size() ? bases[i + 1] : last;
        palettes.push_back({bases[i], end > bases[i] ? end - bases[i] : 0});
    }
    return palettes;
}

FileReport inspectFile(const char* path) {
    FileReport report;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) report.fileSize = size;

    ErrorText errorText{};
    report.image = loadImage(path, errorText);
    if (report.image && report.image->isRle()) {
        fillRleHeader(*report.image, report);
        countRlePixels(*report.image, report);
        return report;
    }
    if (report.image) {
        fillBmp(path, report);
        return report;
    }

    report.error = errorText.data();
    const std::vector<std::uint8_t> magic = readHead(path, 2);
    if (magic.size() == 2 && magic[0] == 'R' && magic[1] == 'L') {
        // The loader only says that the structure is broken; the same check
        // run here says where.
        if (std::optional<Image> raw = readRawRle(path)) {
            if (const auto fault = indexRleLines(*raw)) {
                fillRleHeader(*raw, report);
                report.fault = fault->what;
                report.faultLine = fault->line;
            }
        }
    }
    return report;
}

}  // namespace rle565
