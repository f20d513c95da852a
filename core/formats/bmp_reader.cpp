#include "formats/bmp_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "bytes.h"
#include "check.h"
#include "error_text.h"
#include "formats/bmp_pixels.h"
#include "formats/image_limits.h"
#include "formats/vector_clones.h"
#include "memory.h"

namespace rle565 {

namespace {

constexpr const char* ERROR_HEADER_READ = "BMP header read error";
constexpr const char* ERROR_HEADER_SIZE = "unsupported BMP header";
constexpr const char* ERROR_COMPRESSION = "unknown compression";
constexpr const char* ERROR_BIT_DEPTH = "unsupported bit depth";
constexpr const char* ERROR_COLOR_TABLE = "invalid colour table";
constexpr const char* ERROR_DIMENSIONS = "invalid dimensions";
constexpr const char* ERROR_TOO_LARGE = "image too large";
constexpr const char* ERROR_TRUNCATED = "truncated file";
constexpr const char* ERROR_MASKS = "invalid bit masks";
constexpr const char* ERROR_RLE = "corrupt RLE bitmap";

// The bytes after "BM" up to the end of a 40-byte info header.
constexpr std::size_t HEADER_SIZE = 52;
// "BM" plus the file header: the info header starts here.
constexpr std::uint64_t FILE_HEADER_SIZE = 14;
constexpr std::uint32_t INFO_HEADER_MIN = 40;
constexpr std::uint32_t MAX_COLORS = 256;
constexpr std::uint32_t BI_RGB = 0;
constexpr std::uint32_t BI_RLE8 = 1;
constexpr std::uint32_t BI_RLE4 = 2;
constexpr std::uint32_t BI_BITFIELDS = 3;
constexpr std::uint32_t BI_ALPHABITFIELDS = 6;
// Info headers from this size on hold the red, green and blue masks at file
// offset 54, and from MASKS_ALPHA_FROM on the alpha mask after them. Shorter
// headers are followed by the masks instead: three, or four for
// BI_ALPHABITFIELDS.
constexpr std::uint32_t MASKS_IN_HEADER_FROM = 52;
constexpr std::uint32_t MASKS_ALPHA_FROM = 56;
constexpr std::uint64_t MASKS_IN_HEADER_AT = 54;
// The longest take of RLE codes: a literal stretch of 255 indices, padded.
constexpr std::size_t RLE_LARGEST_TAKE = 256;
// The read buffer holds the file's rest up to READ_BUFFER_SIZE bytes, so a
// large file takes few reads and a small one a small buffer; never less than
// READ_BUFFER_MIN (which holds a whole colour table) or one row.
constexpr std::size_t READ_BUFFER_SIZE = 256 * 1024;
constexpr std::size_t READ_BUFFER_MIN = 8192;

struct BmpHeader {
    std::uint32_t offBits = 0;
    std::uint32_t infoSize = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
};

std::optional<BmpHeader> parseHeader(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    in.skip(8);  // bfSize and the two reserved words
    const auto offBits = in.le32();
    const auto infoSize = in.le32();
    const auto width = in.le32s();
    const auto height = in.le32s();
    in.skip(2);  // biPlanes
    const auto bitCount = in.le16();
    const auto compression = in.le32();
    in.skip(12);  // biSizeImage and the resolution
    const auto colorsUsed = in.le32();
    if (!offBits || !infoSize || !width || !height || !bitCount || !compression || !colorsUsed)
        return std::nullopt;
    return BmpHeader{*offBits, *infoSize, *width, *height, *bitCount, *compression, *colorsUsed};
}

bool isSupportedDepth(std::uint16_t bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// The bytes left in the stream from its current position, or nothing when the
// stream cannot tell (a pipe, for instance).
std::optional<std::uint64_t> remainingBytes(std::FILE* file) {
    const long here = std::ftell(file);
    if (here < 0) return std::nullopt;
    std::uint64_t end = 0;
    struct stat info;
    const int fd = ::fileno(file);
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        end = static_cast<std::uint64_t>(info.st_size);
    } else {
        // Streams without a descriptor (fmemopen) still know their length.
        if (std::fseek(file, 0, SEEK_END) != 0) return std::nullopt;
        const long last = std::ftell(file);
        if (std::fseek(file, here, SEEK_SET) != 0 || last < 0) return std::nullopt;
        end = static_cast<std::uint64_t>(last);
    }
    const auto position = static_cast<std::uint64_t>(here);
    return end > position ? end - position : 0;
}

// The reader's window on the bytes after the header. Each refill is one fread
// that tops the buffer up, so a take of a whole row never straddles a refill.
// Bytes the stream no longer has read as 0 and are remembered as missing.
class BmpReadBuffer {
public:
    // `expected` is the number of bytes left in the stream, when known.
    BmpReadBuffer(std::FILE* file, std::size_t largestTake, std::optional<std::uint64_t> expected)
        : file_(file),
          buffer_(std::max(largestTake, static_cast<std::size_t>(std::clamp<std::uint64_t>(
                                            expected.value_or(READ_BUFFER_SIZE), READ_BUFFER_MIN,
                                            READ_BUFFER_SIZE)))) {}

    bool missing() const { return bMissing_; }

    // The next count bytes; count is at most largestTake. The view stays
    // valid until the next take or skip.
    std::span<const std::uint8_t> take(std::size_t count) {
        if (count > buffer_.size()) buffer_.resize(count);
        if (end_ - pos_ < count) refill(count);
        const std::span<const std::uint8_t> bytes(buffer_.data() + pos_, count);
        pos_ += count;
        return bytes;
    }

    void skip(std::uint64_t count) {
        while (count > 0) {
            if (pos_ == end_) {
                pos_ = 0;
                end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
                if (end_ == 0) {
                    bMissing_ = true;
                    return;
                }
            }
            const std::size_t step =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - pos_));
            pos_ += step;
            count -= step;
        }
    }

private:
    void refill(std::size_t count) {
        const std::size_t kept = end_ - pos_;
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
        pos_ = 0;
        end_ = kept + std::fread(buffer_.data() + kept, 1, buffer_.size() - kept, file_);
        if (end_ < count) {
            std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(count), std::uint8_t{0});
            end_ = count;
            bMissing_ = true;
        }
    }

    std::FILE* file_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool bMissing_ = false;
};

// Where readBmpFrom() gets the bytes after "BM": a stream, read forward
// through a BmpReadBuffer, ...
class StreamBytes {
public:
    explicit StreamBytes(std::FILE* file) : file_(file) {}

    bool header(std::array<std::uint8_t, HEADER_SIZE>& bytes) {
        return std::fread(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    }
    std::optional<std::uint64_t> remaining() const { return remainingBytes(file_); }
    // Ready for takes of up to largestTake bytes, `expected` bytes being left.
    void start(std::size_t largestTake, std::optional<std::uint64_t> expected) {
        buffer_.emplace(file_, largestTake, expected);
    }
    std::span<const std::uint8_t> take(std::size_t count) { return buffer_->take(count); }
    void skip(std::uint64_t count) { buffer_->skip(count); }
    bool missing() const { return buffer_->missing(); }

private:
    std::FILE* file_;
    std::optional<BmpReadBuffer> buffer_;
};

// ... or bytes already in memory, whose takes are views of the bytes where
// they lie, so that a file read whole is not copied again. Bytes past the end read as 0 and are
// remembered as missing, as with a stream.
class MemoryBytes {
public:
    explicit MemoryBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool header(std::array<std::uint8_t, HEADER_SIZE>& bytes) {
        if (bytes_.size() < HEADER_SIZE) return false;
        std::memcpy(bytes.data(), bytes_.data(), HEADER_SIZE);
        pos_ = HEADER_SIZE;
        return true;
    }
    std::optional<std::uint64_t> remaining() const { return bytes_.size() - pos_; }
    void start(std::size_t, std::optional<std::uint64_t>) {}
    std::span<const std::uint8_t> take(std::size_t count) {
        const std::size_t at = pos_;
        pos_ = std::min(bytes_.size(), at + count);
        if (bytes_.size() - at >= count) return bytes_.subspan(at, count);
        bMissing_ = true;
        padded_.assign(count, 0);
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(at), bytes_.end(), padded_.begin());
        return padded_;
    }
    void skip(std::uint64_t count) {
        if (bytes_.size() - pos_ < count) bMissing_ = true;
        pos_ += static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes_.size() - pos_));
    }
    bool missing() const { return bMissing_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    std::vector<std::uint8_t> padded_;
    bool bMissing_ = false;
};

using detail::reduceAlpha;
using detail::reduceRgb;

// Colour table entries are blue, green, red and an unused byte. Indices past
// the table stay 0x0000.
std::array<std::uint16_t, MAX_COLORS> colorLut(std::span<const std::uint8_t> table) {
    std::array<std::uint16_t, MAX_COLORS> lut{};
    for (std::size_t i = 0; i * 4 < table.size(); ++i)
        lut[i] = reduceRgb(table[i * 4 + 2], table[i * 4 + 1], table[i * 4]);
    return lut;
}

void convertIndexed(std::span<const std::uint8_t> row, std::uint16_t bits,
                    const std::array<std::uint16_t, MAX_COLORS>& lut, std::uint16_t* out,
                    std::size_t width) {
    switch (bits) {
        case 1:
            // The leftmost pixel sits in the high bit.
            for (std::size_t x = 0; x < width; ++x)
                out[x] = lut[(row[x >> 3] >> (7 - (x & 7))) & 1];
            break;
        case 4:
            for (std::size_t x = 0; x < width; ++x)
                out[x] = lut[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F];
            break;
        default:
            for (std::size_t x = 0; x < width; ++x) out[x] = lut[row[x]];
            break;
    }
}

// X1R5G5B5 to RGB565: red and green move up a bit, the new low green bit is 0.
RLE565_VECTOR_CLONES
void convert16(const std::uint8_t* __restrict p, std::uint16_t* __restrict out, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x, p += 2) {
        const std::uint16_t v = loadLe16(p);
        out[x] = static_cast<std::uint16_t>(((v << 1) & 0xFFC0) | (v & 0x1F));
    }
}

RLE565_VECTOR_CLONES
void convert24(const std::uint8_t* __restrict p, std::uint16_t* __restrict out, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x, p += 3) out[x] = reduceRgb(p[2], p[1], p[0]);
}

RLE565_VECTOR_CLONES
void convert32(const std::uint8_t* __restrict p, std::uint16_t* __restrict out,
               std::uint8_t* __restrict alpha, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x, p += 4) {
        out[x] = reduceRgb(p[2], p[1], p[0]);
        alpha[x] = reduceAlpha(p[3]);
    }
}

// Sizes a pixel plane to `count` values, prepared before the zero fill first
// touches it.
template <class T>
void sizePlane(std::vector<T>& plane, std::size_t count) {
    plane.reserve(count);
    prepareBlock(plane.data(), count * sizeof(T));
    plane.resize(count);
}

// Grows a plane to `count` values, by doubling, so that each row is copied
// a few times at most.
template <class T>
void growPlane(std::vector<T>& plane, std::size_t count) {
    if (plane.size() >= count) return;
    plane.reserve(std::max(count, plane.size() * 2));
    plane.resize(count);
}

std::unique_ptr<Image> fail(ErrorText& errorText, const char* text) {
    setError(errorText, text);
    return nullptr;
}

// Where a file keeps its bit masks and where its colour table starts, in
// offsets from the "B" of "BM". Masks outside the info header come right
// after it, before the colour table.
struct MaskPlace {
    std::uint64_t masksStart = 0;
    std::size_t nMaskBytes = 0;  // 0: no masks
    std::uint64_t tableStart = 0;
};

MaskPlace placeMasks(const BmpHeader& h) {
    const std::uint64_t infoEnd = FILE_HEADER_SIZE + h.infoSize;
    const bool bMasks = h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS;
    if (!bMasks) return {infoEnd, 0, infoEnd};
    if (h.infoSize >= MASKS_IN_HEADER_FROM)
        return {MASKS_IN_HEADER_AT, std::size_t{h.infoSize >= MASKS_ALPHA_FROM ? 16u : 12u},
                infoEnd};
    const std::size_t nBytes = h.compression == BI_ALPHABITFIELDS ? 16 : 12;
    return {infoEnd, nBytes, infoEnd + nBytes};
}

// The RLE decoder's view of either kind of source.
template <class Source>
class SourceCodes final : public detail::CodeBytes {
public:
    // The codes start `start` bytes into the file.
    SourceCodes(Source& in, std::uint64_t start) : in_(in), read_(start) {}
    std::span<const std::uint8_t> take(std::size_t count) override {
        read_ += count;
        return in_.take(count);
    }
    bool missing() const override { return in_.missing(); }
    std::uint64_t bytesRead() const override { return read_; }

private:
    Source& in_;
    std::uint64_t read_;
};

// The masks in the bytes where the file keeps them, red first.
detail::BitMasks parseMasks(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    detail::BitMasks masks;
    masks.red = in.le32().value_or(0);
    masks.green = in.le32().value_or(0);
    masks.blue = in.le32().value_or(0);
    masks.alpha = in.le32().value_or(0);
    return masks;
}

// readBmp() and readBmpBytes(), from either kind of source.
template <class Source>
std::unique_ptr<Image> readBmpFrom(Source& in, ErrorText& errorText) {
    std::array<std::uint8_t, HEADER_SIZE> headerBytes;
    if (!in.header(headerBytes)) return fail(errorText, ERROR_HEADER_READ);
    const auto header = parseHeader(headerBytes);
    if (!header) return fail(errorText, ERROR_HEADER_READ);
    const BmpHeader& h = *header;

    if (h.infoSize < INFO_HEADER_MIN) return fail(errorText, ERROR_HEADER_SIZE);
    const bool bMasks = h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS;
    // RLE codes only for the depth they are made for.
    const bool bRle = (h.compression == BI_RLE8 && h.bitCount == 8) ||
                      (h.compression == BI_RLE4 && h.bitCount == 4);
    // Bit masks are only for 16- and 32-bit pixels; compression 3 at other
    // depths is another coding (OS/2 Huffman at 1 bit), not masks.
    const bool bMaskDepth = h.bitCount == 16 || h.bitCount == 32;
    if ((h.compression != BI_RGB && !bMasks && !bRle) || (bMasks && !bMaskDepth))
        return fail(errorText, ERROR_COMPRESSION);
    if (!isSupportedDepth(h.bitCount)) return fail(errorText, ERROR_BIT_DEPTH);
    std::uint32_t nColors = 0;
    if (h.bitCount <= 8) {
        nColors = h.colorsUsed != 0 ? h.colorsUsed : 1u << h.bitCount;
        if (nColors > MAX_COLORS) return fail(errorText, ERROR_COLOR_TABLE);
    }
    if (h.width < 0 || h.height == INT32_MIN) return fail(errorText, ERROR_DIMENSIONS);
    const bool bTopDown = h.height < 0;
    const auto width = static_cast<std::uint32_t>(h.width);
    const auto height = static_cast<std::uint32_t>(bTopDown ? -h.height : h.height);

    // Every row is padded to four bytes; the bytes before the padding hold the pixels.
    const std::uint64_t rowBits = std::uint64_t{width} * h.bitCount;
    const std::uint64_t rowSize = (rowBits + 31) / 32 * 4;
    const std::uint64_t rowData = (rowBits + 7) / 8;
    // Once width × height fits in 32 bits, rowSize × height cannot wrap 64.
    const auto nPixels = checkedMul(width, height);
    if (!nPixels || !checkedMul(*nPixels, 2) || rowSize * height > UINT32_MAX ||
        !withinPixelLimit(width, height))
        return fail(errorText, ERROR_TOO_LARGE);

    // Offsets from the "B" of "BM". The rows start at bfOffBits unless that
    // points back into the headers or the colour table.
    const MaskPlace place = placeMasks(h);
    const std::uint64_t tableStart = place.tableStart;
    const std::uint64_t tableEnd = tableStart + std::uint64_t{nColors} * 4;
    const std::uint64_t rowsStart = std::max<std::uint64_t>(h.offBits, tableEnd);
    // The fill after the last row is never needed. RLE codes have no size
    // known up front; they are checked as they are read.
    const std::uint64_t rowsBytes = height == 0 || bRle ? 0 : rowSize * (height - 1) + rowData;
    const std::uint64_t fileEnd = rowsBytes == 0 ? tableEnd : rowsStart + rowsBytes;
    const auto nRemaining = in.remaining();
    if (nRemaining && *nRemaining < fileEnd - (HEADER_SIZE + 2))
        return fail(errorText, ERROR_TRUNCATED);

    // Up to here nothing is allocated, so a bogus header costs nothing.
    const std::size_t largestTake =
        bRle ? RLE_LARGEST_TAKE : static_cast<std::size_t>(rowsBytes > 0 ? rowSize : 0);
    in.start(largestTake, nRemaining);
    std::uint64_t at = HEADER_SIZE + 2;
    std::optional<detail::MaskLayout> layout;
    if (bMasks) {
        in.skip(place.masksStart - at);
        layout = detail::layoutMasks(parseMasks(in.take(place.nMaskBytes)), h.bitCount);
        at = place.masksStart + place.nMaskBytes;
        if (!layout) return fail(errorText, ERROR_MASKS);
    }
    in.skip(tableStart - at);
    const auto lut = colorLut(in.take(std::size_t{nColors} * 4));

    auto image = std::make_unique<Image>();
    image->clear();
    image->width = h.width;
    image->height = static_cast<std::int32_t>(height);
    image->bAlpha = layout ? layout->hasAlpha() : h.bitCount == 32;

    if (bRle) {
        // The decoder grows the plane with the lines its codes reach.
        if (in.missing()) return fail(errorText, ERROR_TRUNCATED);
        in.skip(rowsStart - tableEnd);
        SourceCodes<Source> codes(in, rowsStart);
        switch (detail::decodeBmpRle(codes, h.bitCount, lut, bTopDown, *image)) {
            case detail::RleDecode::Done:
                return image;
            case detail::RleDecode::Corrupt:
                return fail(errorText, ERROR_RLE);
            case detail::RleDecode::TooLarge:
                break;
        }
        return fail(errorText, ERROR_TOO_LARGE);
    }
    // Plain rows. When the file's size has been checked against them, the
    // planes are sized at once; a stream that cannot tell its length (a pipe)
    // grows them with the rows that arrive, in file order, and stops at the
    // first short one, so that a header alone costs nothing.
    const bool bGrow = !nRemaining;
    if (!bGrow) {
        sizePlane(image->pixels, *nPixels);
        if (image->bAlpha) sizePlane(image->alpha, *nPixels);
    }
    if (rowsBytes > 0) {
        in.skip(rowsStart - tableEnd);
        for (std::uint32_t r = 0; r < height; ++r) {
            const std::uint32_t y = bTopDown || bGrow ? r : height - 1 - r;
            const std::size_t first = std::size_t{y} * width;
            const auto row = in.take(static_cast<std::size_t>(r + 1 < height ? rowSize : rowData));
            if (bGrow) {
                if (in.missing()) break;
                growPlane(image->pixels, first + width);
                if (image->bAlpha) growPlane(image->alpha, first + width);
            }
            std::uint16_t* out = image->pixels.data() + first;
            std::uint8_t* alpha = image->bAlpha ? image->alpha.data() + first : nullptr;
            if (layout && h.bitCount == 16) {
                detail::convertMasked16(row.data(), *layout, out, alpha, width);
                continue;
            }
            if (layout) {
                detail::convertMasked32(row.data(), *layout, out, alpha, width);
                continue;
            }
            switch (h.bitCount) {
                case 16:
                    convert16(row.data(), out, width);
                    break;
                case 24:
                    convert24(row.data(), out, width);
                    break;
                case 32:
                    convert32(row.data(), out, alpha, width);
                    break;
                default:
                    convertIndexed(row, h.bitCount, lut, out, width);
                    break;
            }
        }
    }
    // A stream that cannot tell its length is checked as it is read, and so
    // is a file that shrank while it was read: every short read is refused.
    if (in.missing()) return fail(errorText, ERROR_TRUNCATED);
    if (bGrow) {
        growPlane(image->pixels, *nPixels);
        if (image->bAlpha) growPlane(image->alpha, *nPixels);
        if (!bTopDown) {
            detail::turnOver(image->pixels, width, height);
            if (image->bAlpha) detail::turnOver(image->alpha, width, height);
        }
    }
    return image;
}

}  // namespace

std::unique_ptr<Image> readBmp(std::FILE* file, ErrorText& errorText) {
    StreamBytes in(file);
    return readBmpFrom(in, errorText);
}

std::unique_ptr<Image> readBmpBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText) {
    MemoryBytes in(bytes);
    return readBmpFrom(in, errorText);
}

std::optional<BmpDescription> describeBmp(std::span<const std::uint8_t> file) {
    if (file.size() < HEADER_SIZE + 2 || file[0] != 'B' || file[1] != 'M') return std::nullopt;
    const auto header = parseHeader(file.subspan(2, HEADER_SIZE));
    if (!header) return std::nullopt;
    BmpDescription layout;
    layout.bitCount = header->bitCount;
    layout.bTopDown = header->height < 0;
    layout.compression = header->compression;
    if (header->bitCount <= 8)
        layout.nColors = header->colorsUsed != 0 ? header->colorsUsed : 1u << header->bitCount;
    const MaskPlace place = placeMasks(*header);
    if (place.nMaskBytes > 0 && place.masksStart <= file.size() &&
        file.size() - place.masksStart >= place.nMaskBytes) {
        const detail::BitMasks masks =
            parseMasks(file.subspan(static_cast<std::size_t>(place.masksStart), place.nMaskBytes));
        layout.masks = {masks.red, masks.green, masks.blue, masks.alpha};
        layout.bMasks = true;
    }
    return layout;
}

}  // namespace rle565
