#include "formats/rle_reader.h"

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
#include "error_text.h"
#include "memory.h"
#include "runtime/layout.h"

namespace rle565 {

namespace {

constexpr const char* ERROR_HEADER = RLE_ERROR_HEADER;
constexpr const char* ERROR_READ = RLE_ERROR_READ;

// What indexRleLines reports; an inspector prints these beside the line number.
constexpr const char* FAULT_NEGATIVE_SIZE = "negative width or height";
constexpr const char* FAULT_BUFFER = "data size exceeds its buffer";
// The faults of the tables and line codes are the drawing runtime's, in its words.

// Blocks from this size up that would be read at an unlucky offset go
// through a buffer of this size.
constexpr std::size_t BOUNCE_SIZE = 64 * 1024;

BlockShape blockShape(const RleShape& shape) {
    return {static_cast<std::uint32_t>(shape.width), static_cast<std::uint32_t>(shape.height),
            shape.flags, shape.paletteSize};
}

RleFault faultOf(const BlockFault& fault) { return {rle565_error_text(fault.fault), fault.line}; }

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
    table.total = 0;
    if (shape.width < 0 || shape.height < 0) return RleFault{FAULT_NEGATIVE_SIZE, -1};
    if (blockSize > SIZE_MAX) return RleFault{rle565_error_text(RLE565_ERR_TOO_LARGE), -1};
    // Every entry takes a byte, so a height beyond the table's bytes fails
    // before the reservation would run out.
    table.offsets.reserve(std::min(static_cast<std::size_t>(shape.height), head.size()));
    std::size_t codesStart = 0;
    const BlockFault fault = readLengthTable(
        head.data(), head.size(), static_cast<std::size_t>(blockSize), blockShape(shape),
        codesStart, [&table](std::uint32_t, std::size_t offset, std::uint32_t count) {
            // Stays below the block size, so the offsets fit their 32 bits.
            table.offsets.push_back(static_cast<std::uint32_t>(offset));
            table.total = offset + count;
        });
    if (fault.fault != RLE565_OK) return faultOf(fault);
    table.codesStart = codesStart;
    return std::nullopt;
}

std::optional<RleFault> indexRleLines(Image& image) {
    freeBuffer(image.lineOffsets);
    if (image.width < 0 || image.height < 0) return RleFault{FAULT_NEGATIVE_SIZE, -1};
    if (image.dataSize > image.pixels.size() * 2) return RleFault{FAULT_BUFFER, -1};

    const std::span<const std::uint8_t> data = image.dataBlock();
    const RleShape shape{image.width, image.height, image.flags, image.paletteSize};
    std::vector<std::uint32_t> offsets;
    // Every entry takes a byte, so a height beyond the block fails before the
    // reservation would run out.
    offsets.reserve(std::min(static_cast<std::size_t>(image.height), data.size()));
    const BlockFault fault = checkBlock(data.data(), data.size(), blockShape(shape),
                                        [&offsets](std::uint32_t, std::size_t offset) {
                                            offsets.push_back(static_cast<std::uint32_t>(offset));
                                        });
    if (fault.fault != RLE565_OK) return faultOf(fault);
    image.lineOffsets = std::move(offsets);
    return std::nullopt;
}

namespace {

// The header; the loaders read its fields, not the magic, which the
// caller has recognised.
using RleHead = std::array<std::uint8_t, RLE_HEADER_SIZE>;

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
    const BlockShape shape = readRleHeader(head.data());
    const auto flagsWord = static_cast<std::uint16_t>(shape.flags);
    image->width = static_cast<std::int32_t>(shape.width);
    image->height = static_cast<std::int32_t>(shape.height);
    image->flags = IMAGE_RLE | flagsWord;
    image->paletteSize = static_cast<std::uint16_t>(shape.nEntries);

    // Whole words, so an odd last byte has a zero beside it.
    const std::size_t nWords = (std::size_t{dataSize} + 1) / 2;
    image->pixels.reserve(nWords);
    prepareBlock(image->pixels.data(), nWords * 2);
    image->pixels.resize(nWords);
    if (dataSize > 0 && !readData(reinterpret_cast<std::uint8_t*>(image->pixels.data()), dataSize))
        return fail(ERROR_READ);
    image->dataSize = dataSize;

    if (indexRleLines(*image)) return fail(RLE_ERROR_CORRUPT);
    return image;
}

}  // namespace

std::optional<Image> readRleUnchecked(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < RLE_HEADER_SIZE || bytes.size() - RLE_HEADER_SIZE > UINT32_MAX)
        return std::nullopt;
    const BlockShape shape = readRleHeader(bytes.data());
    Image image;
    image.width = static_cast<std::int32_t>(shape.width);
    image.height = static_cast<std::int32_t>(shape.height);
    image.paletteSize = static_cast<std::uint16_t>(shape.nEntries);
    image.flags = IMAGE_RLE | shape.flags;
    const auto dataSize = static_cast<std::uint32_t>(bytes.size() - RLE_HEADER_SIZE);
    image.pixels.resize((std::size_t{dataSize} + 1) / 2);
    if (dataSize > 0) std::memcpy(image.pixels.data(), bytes.data() + RLE_HEADER_SIZE, dataSize);
    image.dataSize = dataSize;
    return image;
}

std::unique_ptr<Image> loadRle(std::FILE* file, ErrorText& errorText) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        setError(errorText, ERROR_READ);
        return nullptr;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, RLE_HEAD_FLAGS, SEEK_SET) != 0) {
        setError(errorText, ERROR_READ);
        return nullptr;
    }
    RleHead head{};
    const std::size_t nFields = head.size() - RLE_HEAD_FLAGS;
    if (std::fread(&head[RLE_HEAD_FLAGS], 1, nFields, file) != nFields) {
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
    std::memcpy(head.data(), bytes.data(), head.size());
    const auto readData = [bytes](std::uint8_t* dst, std::size_t count) {
        std::memcpy(dst, bytes.data() + RLE_HEADER_SIZE, count);
        return true;
    };
    return buildRle(bytes.size(), head, readData, errorText);
}

}  // namespace rle565
