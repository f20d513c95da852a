#include "rle_reader.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "bytes.h"

namespace {

constexpr const char* ERROR_HEADER = "RLE header read error";
constexpr const char* ERROR_READ = "RLE read error";
constexpr const char* ERROR_CORRUPT = "RLE data corrupt";

// What indexRleLines reports; an inspector prints these beside the line number.
constexpr const char* FAULT_NEGATIVE_SIZE = "negative width or height";
constexpr const char* FAULT_BUFFER = "data size exceeds its buffer";
constexpr const char* FAULT_PALETTE = "palette tables reach past the data block";
constexpr const char* FAULT_LENGTH_TABLE = "line-length table reaches past the data block";
constexpr const char* FAULT_LINE_BLOCK = "line codes reach past the data block";
constexpr const char* FAULT_LINE_LENGTH = "code reaches past the line's length";
constexpr const char* FAULT_OVERSHOOT = "run passes the end of the line";
constexpr const char* FAULT_ENTRY = "code names an entry beyond the palette";
constexpr const char* FAULT_TOO_FEW = "line covers fewer pixels than the width";

// Offsets of the header fields read after the magic.
constexpr std::size_t HEAD_FLAGS = 0;
constexpr std::size_t HEAD_WIDTH = 2;
constexpr std::size_t HEAD_HEIGHT = 4;
constexpr std::size_t HEAD_PALETTE_SIZE = 6;

// The first byte of a long line-length entry; its count follows high byte first.
constexpr std::uint8_t LONG_LENGTH = 0xFF;

// Walks one line's codes, which the caller has placed inside the data block,
// and returns the first fault or nullptr. Bytes left after the line has
// covered its width are never read, so they may hold anything.
const char* checkLineCodes(std::span<const std::uint8_t> codes, std::uint32_t width,
                           std::uint32_t nEntries) {
    const std::uint8_t* p = codes.data();
    const std::uint8_t* const end = p + codes.size();
    std::uint32_t base = 0;
    std::uint32_t n = 0;
    while (n < width) {
        if (p == end) return FAULT_TOO_FEW;
        const std::uint8_t c = *p++;
        if (c == CODE_SKIP) {
            ++n;
        } else if (c <= CODE_LITERAL_MAX) {
            if (base + c >= nEntries) return FAULT_ENTRY;
            ++n;
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return FAULT_LINE_LENGTH;
            const std::uint32_t count = *p++;
            if (count > width - n) return FAULT_OVERSHOOT;
            n += count;
        } else {
            if (end - p < 2) return FAULT_LINE_LENGTH;
            if (c == CODE_SWITCH) {
                base = loadLe16(p);
            } else {
                const std::uint32_t count = p[1];
                if (count > width - n) return FAULT_OVERSHOOT;
                // A run of nothing draws nothing, so its index needs no entry.
                if (count > 0 && base + p[0] >= nEntries) return FAULT_ENTRY;
                n += count;
            }
            p += 2;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<RleFault> indexRleLines(Image& image) {
    freeBuffer(image.lineOffsets);
    if (image.width < 0 || image.height < 0) return RleFault{FAULT_NEGATIVE_SIZE, -1};
    if (image.dataSize > image.pixels.size() * 2) return RleFault{FAULT_BUFFER, -1};

    const std::span<const std::uint8_t> data = image.dataBlock();
    const std::uint32_t nEntries = image.paletteSize;
    const std::uint64_t tableStart =
        std::uint64_t{nEntries} * ((image.flags & RLE_ALPHA) != 0 ? 3 : 2);
    if (tableStart > data.size()) return RleFault{FAULT_PALETTE, -1};

    // First the table: each line's start relative to the first line's codes,
    // which follow the table and so are only placed once it has been read.
    const auto nLines = static_cast<std::size_t>(image.height);
    ByteReader table(data.subspan(static_cast<std::size_t>(tableStart)));
    // Every entry takes a byte, so a height beyond the table's bytes fails
    // before the reservation would run out.
    std::vector<std::uint32_t> offsets;
    offsets.reserve(std::min(nLines, table.remaining()));
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < nLines; ++i) {
        const auto line = static_cast<std::int32_t>(i);
        const auto first = table.u8();
        if (!first) return RleFault{FAULT_LENGTH_TABLE, line};
        std::uint32_t count = *first;
        if (count == LONG_LENGTH) {
            const auto value = table.be16();
            if (!value) return RleFault{FAULT_LENGTH_TABLE, line};
            count = *value;
        }
        // Stays below the block size, so the offsets fit their 32 bits.
        if (total + count > data.size()) return RleFault{FAULT_LINE_BLOCK, line};
        offsets.push_back(static_cast<std::uint32_t>(total));
        total += count;
    }

    const std::uint64_t codesStart = tableStart + table.position();
    const auto width = static_cast<std::uint32_t>(image.width);
    for (std::size_t i = 0; i < nLines; ++i) {
        const auto line = static_cast<std::int32_t>(i);
        const std::uint64_t lineEnd = i + 1 < nLines ? offsets[i + 1] : total;
        if (codesStart + lineEnd > data.size()) return RleFault{FAULT_LINE_BLOCK, line};
        const auto start = static_cast<std::size_t>(codesStart + offsets[i]);
        const auto count = static_cast<std::size_t>(lineEnd - offsets[i]);
        if (const char* fault = checkLineCodes(data.subspan(start, count), width, nEntries))
            return RleFault{fault, line};
        offsets[i] = static_cast<std::uint32_t>(start);
    }
    image.lineOffsets = std::move(offsets);
    return std::nullopt;
}

std::unique_ptr<Image> loadRle(std::FILE* file, ErrorText& errorText) {
    const auto fail = [&errorText](const char* text) {
        setError(errorText, text);
        return std::unique_ptr<Image>();
    };
    auto image = std::make_unique<Image>();
    image->clear();

    if (std::fseek(file, 0, SEEK_END) != 0) return fail(ERROR_READ);
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 2, SEEK_SET) != 0) return fail(ERROR_READ);

    std::array<std::uint8_t, RLE_HEADER_SIZE - 2> head{};
    if (std::fread(head.data(), 1, head.size(), file) != head.size()) return fail(ERROR_HEADER);
    // A file that shrank below its header after the size was taken, or a
    // block too large for the record's 32-bit size, cannot be read whole.
    const auto fileSize = static_cast<std::uint64_t>(size);
    if (fileSize < RLE_HEADER_SIZE || fileSize - RLE_HEADER_SIZE > UINT32_MAX)
        return fail(ERROR_READ);
    const auto dataSize = static_cast<std::uint32_t>(fileSize - RLE_HEADER_SIZE);

    const std::uint16_t flagsWord = loadLe16(&head[HEAD_FLAGS]);
    image->width = loadLe16(&head[HEAD_WIDTH]);
    image->height = loadLe16(&head[HEAD_HEIGHT]);
    image->flags = IMAGE_RLE | flagsWord;
    image->paletteSize = loadLe16(&head[HEAD_PALETTE_SIZE]);

    // Whole words, so an odd last byte has a zero beside it.
    image->pixels.resize((std::size_t{dataSize} + 1) / 2);
    if (dataSize > 0 && std::fread(image->pixels.data(), 1, dataSize, file) != dataSize)
        return fail(ERROR_READ);
    image->dataSize = dataSize;

    if (indexRleLines(*image)) return fail(ERROR_CORRUPT);
    return image;
}
