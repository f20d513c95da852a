#include <rle565/rle_reader.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "bytes.h"
#include "code_scan.h"
#include "memory.h"

namespace rle565 {

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

// Blocks from this size up that would be read at an unlucky offset go
// through a buffer of this size.
constexpr std::size_t BOUNCE_SIZE = 64 * 1024;

// The first byte of a long line-length entry; its count follows high byte first.
constexpr std::uint8_t LONG_LENGTH = 0xFF;

// Walks one line's codes from p, with `n` pixels covered so far under palette
// base `base`, and returns the first fault or nullptr. The caller has placed
// [p, end) inside the data block. Bytes left after the line has covered its
// width are never read, so they may hold anything.
const char* walkLineCodes(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t width,
                          std::uint32_t nEntries, std::uint32_t base, std::uint32_t n) {
    std::uint32_t nLiterals = literalsBelow(nEntries, base);
    while (n < width) {
        if (p == end) return FAULT_TOO_FEW;
        const std::uint8_t c = *p++;
        // The most frequent code first, tested with one comparison.
        if (c - 1u < nLiterals) {
            ++n;
        } else if (c == CODE_SKIP) {
            ++n;
        } else if (c <= CODE_LITERAL_MAX) {
            return FAULT_ENTRY;
        } else if (c == CODE_SKIP_RUN) {
            if (p == end) return FAULT_LINE_LENGTH;
            const std::uint32_t count = *p++;
            if (count > width - n) return FAULT_OVERSHOOT;
            n += count;
        } else {
            if (end - p < 2) return FAULT_LINE_LENGTH;
            if (c == CODE_SWITCH) {
                base = loadLe16(p);
                nLiterals = literalsBelow(nEntries, base);
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

// The same walk with one answer, sound or not, quicker for lines of many
// one-byte codes: sixteen bytes at a time, it finds where the next code of
// three or two bytes starts and checks every literal before it at once,
// instead of guessing code by code which kind comes next.
bool isLineSound(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t width,
                 std::uint32_t nEntries) {
    std::uint32_t base = 0;
    std::uint32_t n = 0;
#ifdef __SSE2__
    const __m128i longLimit = byteLimit(CODE_LITERAL_MAX);
    __m128i literalLimit = byteLimit(literalsBelow(nEntries, base));
    while (n < width && end - p >= 16) {
        // Skips and literals, up to the first longer code or the line's width.
        const std::uint32_t longCodes = bytesAbove(p, longLimit);
        const auto nShort = std::min<std::uint32_t>(
            static_cast<std::uint32_t>(std::countr_zero(longCodes | 0x10000)), width - n);
        if ((bytesAbove(p, literalLimit) & ((1u << nShort) - 1)) != 0) return false;
        p += nShort;
        n += nShort;
        if (nShort == 16 || n == width) continue;
        // A code of three or two bytes, checked as walkLineCodes checks it.
        const std::uint8_t c = *p++;
        if (c == CODE_SKIP_RUN) {
            if (p == end) return false;
            const std::uint32_t count = *p++;
            if (count > width - n) return false;
            n += count;
        } else {
            if (end - p < 2) return false;
            if (c == CODE_SWITCH) {
                base = loadLe16(p);
                literalLimit = byteLimit(literalsBelow(nEntries, base));
            } else {
                const std::uint32_t count = p[1];
                if (count > width - n) return false;
                if (count > 0 && base + p[0] >= nEntries) return false;
                n += count;
            }
            p += 2;
        }
    }
#endif
    return walkLineCodes(p, end, width, nEntries, base, n) == nullptr;
}

// The first fault of one line's codes, or nullptr.
const char* checkLineCodes(std::span<const std::uint8_t> codes, std::uint32_t width,
                           std::uint32_t nEntries) {
    const std::uint8_t* const p = codes.data();
    const std::uint8_t* const end = p + codes.size();
    // Most lines are sound; only a faulty one is walked again for its fault.
    if (isLineSound(p, end, width, nEntries)) return nullptr;
    return walkLineCodes(p, end, width, nEntries, 0, 0);
}

// Reads `size` bytes into dst. On some processors the kernel's copy into a
// buffer runs three times slower when the buffer's address is 1 to 31 bytes
// ahead of the file offset, counted within a 4096-byte page, and a large
// block is just that: the allocator puts it 16 bytes into a page, the file
// has it at offset 12. Such reads go through a small buffer placed 32 bytes
// ahead instead, which keeps both copies out of that range.
bool readBlock(std::FILE* file, std::uint8_t* dst, std::size_t size) {
    const long here = std::ftell(file);
    if (here < 0 || size < BOUNCE_SIZE) return std::fread(dst, 1, size, file) == size;
    const auto ahead =
        (reinterpret_cast<std::uintptr_t>(dst) - static_cast<std::uintptr_t>(here)) % 4096;
    if (ahead == 0 || ahead >= 32) return std::fread(dst, 1, size, file) == size;
    std::vector<std::uint8_t> bounce(BOUNCE_SIZE + 64);
    // Whole BOUNCE_SIZE steps, a multiple of 64, keep the offset as it is.
    const auto shift =
        (static_cast<std::uintptr_t>(here) + 32 - reinterpret_cast<std::uintptr_t>(bounce.data())) %
        64;
    std::uint8_t* const buffer = bounce.data() + shift;
    while (size > 0) {
        const std::size_t count = std::min(size, BOUNCE_SIZE);
        if (std::fread(buffer, 1, count, file) != count) return false;
        std::memcpy(dst, buffer, count);
        dst += count;
        size -= count;
    }
    return true;
}

}  // namespace

std::optional<RleFault> readRleTable(std::span<const std::uint8_t> head, std::uint64_t blockSize,
                                     const RleShape& shape, RleTable& table) {
    table.offsets.clear();
    if (shape.width < 0 || shape.height < 0) return RleFault{FAULT_NEGATIVE_SIZE, -1};
    const std::uint32_t nEntries = shape.paletteSize;
    const std::uint64_t tableStart =
        std::uint64_t{nEntries} * ((shape.flags & RLE_ALPHA) != 0 ? 3 : 2);
    if (tableStart > blockSize) return RleFault{FAULT_PALETTE, -1};

    // Each line's start relative to the first line's codes, which follow the
    // table and so are only placed once it has been read. The table takes at
    // most three bytes a line, all of them in `head`.
    const auto nLines = static_cast<std::size_t>(shape.height);
    ByteReader entries(
        head.subspan(static_cast<std::size_t>(std::min<std::uint64_t>(tableStart, head.size()))));
    // Every entry takes a byte, so a height beyond the table's bytes fails
    // before the reservation would run out.
    table.offsets.reserve(std::min(nLines, entries.remaining()));
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < nLines; ++i) {
        const auto line = static_cast<std::int32_t>(i);
        const auto first = entries.u8();
        if (!first) return RleFault{FAULT_LENGTH_TABLE, line};
        std::uint32_t count = *first;
        if (count == LONG_LENGTH) {
            const auto value = entries.be16();
            if (!value) return RleFault{FAULT_LENGTH_TABLE, line};
            count = *value;
        }
        // Stays below the block size, so the offsets fit their 32 bits.
        if (total + count > blockSize) return RleFault{FAULT_LINE_BLOCK, line};
        table.offsets.push_back(static_cast<std::uint32_t>(total));
        total += count;
    }
    table.total = total;
    table.codesStart = tableStart + entries.position();
    return std::nullopt;
}

std::optional<RleFault> indexRleLines(Image& image) {
    freeBuffer(image.lineOffsets);
    if (image.width < 0 || image.height < 0) return RleFault{FAULT_NEGATIVE_SIZE, -1};
    if (image.dataSize > image.pixels.size() * 2) return RleFault{FAULT_BUFFER, -1};

    const std::span<const std::uint8_t> data = image.dataBlock();
    const std::uint32_t nEntries = image.paletteSize;
    RleTable table;
    if (const auto fault = readRleTable(
            data, data.size(), RleShape{image.width, image.height, image.flags, image.paletteSize},
            table))
        return fault;
    const auto nLines = static_cast<std::size_t>(image.height);
    std::vector<std::uint32_t>& offsets = table.offsets;
    const std::uint64_t total = table.total;

    const std::uint64_t codesStart = table.codesStart;
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

namespace {

// The header bytes after "RL".
using RleHead = std::array<std::uint8_t, RLE_HEADER_SIZE - 2>;

// loadRle() and loadRleBytes() once the header is read: a file of fileSize
// bytes in all, whose data block readData(destination, size) fills.
template <class ReadData>
std::unique_ptr<Image> buildRle(std::uint64_t fileSize, const RleHead& head, ReadData readData,
                                ErrorText& errorText) {
    const auto fail = [&errorText](const char* text) {
        setError(errorText, text);
        return std::unique_ptr<Image>();
    };
    // A file that shrank below its header after the size was taken, or a
    // block too large for the record's 32-bit size, cannot be read whole.
    if (fileSize < RLE_HEADER_SIZE || fileSize - RLE_HEADER_SIZE > UINT32_MAX)
        return fail(ERROR_READ);
    const auto dataSize = static_cast<std::uint32_t>(fileSize - RLE_HEADER_SIZE);

    auto image = std::make_unique<Image>();
    image->clear();
    const std::uint16_t flagsWord = loadLe16(&head[HEAD_FLAGS]);
    image->width = loadLe16(&head[HEAD_WIDTH]);
    image->height = loadLe16(&head[HEAD_HEIGHT]);
    image->flags = IMAGE_RLE | flagsWord;
    image->paletteSize = loadLe16(&head[HEAD_PALETTE_SIZE]);

    // Whole words, so an odd last byte has a zero beside it.
    const std::size_t nWords = (std::size_t{dataSize} + 1) / 2;
    image->pixels.reserve(nWords);
    prepareBlock(image->pixels.data(), nWords * 2);
    image->pixels.resize(nWords);
    if (dataSize > 0 && !readData(reinterpret_cast<std::uint8_t*>(image->pixels.data()), dataSize))
        return fail(ERROR_READ);
    image->dataSize = dataSize;

    if (indexRleLines(*image)) return fail(ERROR_CORRUPT);
    return image;
}

}  // namespace

std::unique_ptr<Image> loadRle(std::FILE* file, ErrorText& errorText) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        setError(errorText, ERROR_READ);
        return nullptr;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 2, SEEK_SET) != 0) {
        setError(errorText, ERROR_READ);
        return nullptr;
    }
    RleHead head{};
    if (std::fread(head.data(), 1, head.size(), file) != head.size()) {
        setError(errorText, ERROR_HEADER);
        return nullptr;
    }
    const auto readData = [file](std::uint8_t* dst, std::size_t count) {
        return readBlock(file, dst, count);
    };
    return buildRle(static_cast<std::uint64_t>(size), head, readData, errorText);
}

std::unique_ptr<Image> loadRleBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText) {
    if (bytes.size() < RLE_HEADER_SIZE) {
        setError(errorText, ERROR_HEADER);
        return nullptr;
    }
    RleHead head;
    std::memcpy(head.data(), bytes.data() + 2, head.size());
    const auto readData = [bytes](std::uint8_t* dst, std::size_t count) {
        std::memcpy(dst, bytes.data() + RLE_HEADER_SIZE, count);
        return true;
    };
    return buildRle(bytes.size(), head, readData, errorText);
}

}  // namespace rle565
