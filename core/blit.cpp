#include <fcntl.h>
#include <rle565/blit.h>
#include <rle565/bmp_writer.h>
#include <rle565/output_file.h>
#include "formats/rle_reader.h"
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "bytes.h"
#include "runtime/blend.h"
#include "runtime/draw_rows.h"
#include "runtime/layout.h"

namespace rle565 {

namespace {

// Size of the BMP header that writeBmp puts before the pixel rows.
constexpr std::uint32_t BMP_HEADER_SIZE = 54;

// Mode b decodes this many bytes of BMP rows, at least one row, before each
// write: few writes, and a buffer that stays in the cache.
constexpr std::size_t CHUNK_SIZE = 256 * 1024;

std::uint8_t clampAlpha(std::uint8_t a) { return std::min(a, ALPHA_OPAQUE); }

// The start of `count` target pixels in row `row` from column x, or nothing
// when they would leave the pixel array, or the alpha array when there is one.
std::optional<std::size_t> targetRow(const Surface& surface, std::int64_t row, std::int32_t x,
                                     std::uint32_t count) {
    const std::int64_t start = row * surface.stride + x;
    if (start < 0) return std::nullopt;
    const auto end = static_cast<std::uint64_t>(start) + count;
    if (end > surface.pixels.size()) return std::nullopt;
    if (!surface.alpha.empty() && end > surface.alpha.size()) return std::nullopt;
    return static_cast<std::size_t>(start);
}

// The palette of an RLE image as the decoder sees it.
struct RlePalette {
    const std::uint8_t* colors;  // 2 bytes per entry, little-endian
    const std::uint8_t* alphas;  // 1 byte per entry; not read without an alpha palette
    std::uint32_t size;          // entries that may be drawn; 0 when the tables leave the block

    std::uint16_t color(std::uint32_t e) const { return loadLe16(colors + 2 * std::size_t{e}); }
};

// The bytes an image's data block really holds, whatever dataSize claims.
std::span<const std::uint8_t> heldData(const Image& image) {
    return {reinterpret_cast<const std::uint8_t*>(image.pixels.data()),
            std::min<std::size_t>(image.dataSize, image.pixels.size() * 2)};
}

// The palette as the decoder sees it: no entries when the tables leave the block.
RlePalette paletteOf(const Image& image, std::span<const std::uint8_t> data) {
    const bool bSourceAlpha = (image.flags & RLE_ALPHA) != 0;
    const std::uint32_t nEntries = image.paletteSize;
    const std::uint64_t tables = std::uint64_t{nEntries} * (bSourceAlpha ? 3 : 2);
    RlePalette pal{data.data(), data.data(), 0};
    if (tables <= data.size()) {
        pal.size = nEntries;
        if (bSourceAlpha) pal.alphas = data.data() + 2 * std::size_t{nEntries};
    }
    return pal;
}

// Where decodeRleLines() draws an image's lines: each line whose whole
// width lies inside the Surface's arrays, at its own offset, with the codes
// reaching to the end of the data block at the latest.
struct SurfaceLines {
    const Image& image;
    std::span<const std::uint8_t> data;
    const Surface& surface;
    std::int32_t x;
    std::int32_t y;

    static bool next(void* context, std::uint32_t line, LineRow& row) {
        const auto& lines = *static_cast<const SurfaceLines*>(context);
        const auto start = targetRow(lines.surface, std::int64_t{lines.y} + line, lines.x,
                                     static_cast<std::uint32_t>(lines.image.width));
        if (!start) return false;
        const std::size_t offset =
            std::min<std::size_t>(lines.image.lineOffsets[line], lines.data.size());
        row.codes = lines.data.data() + offset;
        row.end = lines.data.data() + lines.data.size();
        row.pixels = lines.surface.pixels.data() + *start;
        row.alpha = lines.surface.alpha.empty() ? nullptr : lines.surface.alpha.data() + *start;
        return true;
    }
};

// A pixel's BMP bytes, blue first, repeated over eight bytes: one store of
// them writes the pixel and the start of the same pixel again behind it.
using PixelPattern = std::array<std::uint8_t, 8>;

template <std::size_t BPP>
PixelPattern patternOf(std::uint16_t color, std::uint8_t alpha) {
    std::array<std::uint8_t, 4> bytes;
    widenPixel(color, alpha, bytes.data());
    PixelPattern pattern;
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = bytes[i % BPP];
    return pattern;
}

// Writes decoded pixels as BMP bytes into one row: each entry's widened bytes,
// and the colour key with alpha 0 for skipped pixels. Every store is a whole
// pattern, so it may write up to STORE_SPAN bytes past the pixels it covers;
// those land on pixels that later codes write, or past the row's pixels,
// which the caller restores.
template <std::size_t BPP>
struct BmpRowPainter {
    // Whole pixels per pattern store.
    static constexpr std::size_t STEP = sizeof(PixelPattern) / BPP * BPP;
    // Runs always make RUN_STORES stores, without a loop whose end the
    // processor has to guess; most runs are that short.
    static constexpr std::size_t RUN_STORES = 6;
    // Literal stretches are painted this many pixels at a time.
    static constexpr std::uint32_t LITERAL_BLOCK = 8;
    static constexpr std::size_t LITERAL_SPAN = std::size_t{LITERAL_BLOCK} * BPP;
    static constexpr std::size_t STORE_SPAN =
        std::max(RUN_STORES * STEP, LITERAL_SPAN) + sizeof(PixelPattern);
    // Patterns needed behind the palette's: literal blocks read one for every
    // code byte from the base.
    static constexpr std::size_t PADDING = 256;

    const PixelPattern* patterns;  // per palette entry
    PixelPattern key;
    std::uint8_t* row;

    // The walker hands over stretches of short codes only with 16 code
    // bytes to look at.
    static constexpr bool NEEDS_LOOK = true;
    static constexpr bool LONE_CODES = false;

    void literal(std::uint32_t e, std::uint32_t n) const {
        std::memcpy(row + n * BPP, patterns[e].data(), sizeof(PixelPattern));
    }
    void setBase(std::uint32_t) const {}
    // Whether one of the first `count` codes at `codes`, of which there are
    // at least 16, is a skip.
    static bool hasSkip(const std::uint8_t* codes, std::uint32_t count) {
#ifdef __SSE2__
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
        const auto zero = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
        return (zero & ((std::uint32_t{1} << count) - 1)) != 0;
#else
        return std::find(codes, codes + count, CODE_SKIP) != codes + count;
#endif
    }

    // One store per pixel: the bytes a store writes past its pixel are
    // overwritten by the next pixel's. A stretch of literals alone, the usual
    // case, goes two pixels a turn without choosing; with skips among them
    // each pattern is picked without a branch. At least 16 code bytes lie at
    // `codes`, as walkLine() hands over a stretch only from such a look.
    void shortCodes(const std::uint8_t* codes, std::uint32_t count, std::uint32_t base,
                    std::uint32_t n) const {
        std::uint8_t* dst = row + std::size_t{n} * BPP;
        if (!hasSkip(codes, count)) {
            // Every code is a literal from 1, so base names an entry. Eight
            // pixels at a time, whatever the count: the codes after the
            // stretch paint patterns of their own, from the padding behind the
            // palette's, over pixels that later codes write. A loop to the
            // count would leave the processor guessing where it ends.
            const PixelPattern* const entries = patterns + base;
            for (std::uint32_t i = 0; i < count; i += LITERAL_BLOCK, dst += LITERAL_BLOCK * BPP) {
                for (std::size_t k = 0; k < LITERAL_BLOCK; ++k)
                    std::memcpy(dst + k * BPP, entries[codes[i + k]].data(), sizeof(PixelPattern));
            }
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i, dst += BPP) {
            const std::uint8_t c = codes[i];
            const PixelPattern* pattern = c != CODE_SKIP ? &patterns[base + c] : &key;
            std::memcpy(dst, pattern->data(), sizeof(PixelPattern));
        }
    }
    void run(std::uint32_t e, std::uint32_t n, std::uint32_t count) const {
        fill(row + n * BPP, patterns[e], count);
    }
    void skip(std::uint32_t n, std::uint32_t count) const { fill(row + n * BPP, key, count); }

    static void fill(std::uint8_t* dst, const PixelPattern& pattern, std::uint32_t count) {
        for (std::size_t i = 0; i < RUN_STORES; ++i)
            std::memcpy(dst + i * STEP, pattern.data(), sizeof(PixelPattern));
        const std::size_t nBytes = std::size_t{count} * BPP;
        for (std::size_t i = RUN_STORES * STEP; i < nBytes; i += STEP)
            std::memcpy(dst + i, pattern.data(), sizeof(PixelPattern));
    }
};

// Turns one line's codes into a BMP row, given the palette as the decoder
// sees it: the bytes decodeRleImage and writeBmp would give, without the plain
// image in between.
template <std::size_t BPP>
class BmpRowCoder {
public:
    // Row buffers need this many bytes behind the last row for the stores
    // that pass a row's end.
    static constexpr std::size_t SLACK = BmpRowPainter<BPP>::STORE_SPAN;

    BmpRowCoder(const RlePalette& pal, bool bSourceAlpha, std::uint32_t width)
        : pal_(pal),
          patterns_(std::size_t{pal.size} + BmpRowPainter<BPP>::PADDING),
          key_(patternOf<BPP>(COLOR_KEY, 0)),
          width_(width) {
        for (std::uint32_t e = 0; e < pal_.size; ++e)
            patterns_[e] =
                patternOf<BPP>(pal_.color(e), bSourceAlpha ? pal_.alphas[e] : ALPHA_OPAQUE);
    }

    // Writes the pixels that the codes from p to end give at row, the colour
    // key after them, then rowSize - width × BPP zero bytes; bytes up to SLACK
    // past the row may change. With bCheck, false when the codes are unsound
    // by the rules of the check at load (with end at the line's own end).
    bool code(const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* readEnd,
              bool bCheck, std::uint8_t* row, std::size_t rowSize) const {
        BmpRowPainter<BPP> painter{patterns_.data(), key_, row};
        const LineWalk walk = walkLine(p, end, readEnd, width_, width_, pal_.size, painter);
        finish(walk.n, row, rowSize);
        return !bCheck || walk.fault == RLE565_OK;
    }

    // A row that has no line: the colour key throughout.
    void blank(std::uint8_t* row, std::size_t rowSize) const { finish(0, row, rowSize); }

private:
    void finish(std::uint32_t n, std::uint8_t* row, std::size_t rowSize) const {
        BmpRowPainter<BPP>::fill(row + std::size_t{n} * BPP, key_, width_ - n);
        std::fill(row + std::size_t{width_} * BPP, row + rowSize, std::uint8_t{0});
    }

    RlePalette pal_;
    std::vector<PixelPattern> patterns_;  // per palette entry
    PixelPattern key_;
    std::uint32_t width_;
};

// Decodes the lines of a loaded image straight into BMP rows.
template <std::size_t BPP>
class BmpLineDecoder {
public:
    static constexpr std::size_t SLACK = BmpRowCoder<BPP>::SLACK;

    explicit BmpLineDecoder(const Image& image)
        : image_(image),
          data_(heldData(image)),
          coder_(paletteOf(image, data_), (image.flags & RLE_ALPHA) != 0,
                 static_cast<std::uint32_t>(image.width)),
          nLines_(std::min(static_cast<std::size_t>(image.height), image.lineOffsets.size())) {}

    // Writes the row of `line` (see BmpRowCoder::code); the load has checked
    // the codes, and the decoder stays inside the data block regardless.
    void decode(std::size_t line, std::uint8_t* row, std::size_t rowSize) const {
        if (line >= nLines_) {
            coder_.blank(row, rowSize);
            return;
        }
        const std::size_t offset = std::min<std::size_t>(image_.lineOffsets[line], data_.size());
        const std::uint8_t* const end = data_.data() + data_.size();
        coder_.code(data_.data() + offset, end, end, false, row, rowSize);
    }

private:
    const Image& image_;
    std::span<const std::uint8_t> data_;
    BmpRowCoder<BPP> coder_;
    std::size_t nLines_;
};

// Writes the rows bottom line first, decoding a chunk of rows before each
// write; false at the first write refused.
template <std::size_t BPP>
bool writeBmpRows(const Image& image, const BmpLayout& layout, OutputFile& out) {
    const BmpLineDecoder<BPP> decoder(image);
    const auto height = static_cast<std::size_t>(image.height);
    const std::size_t rowsPerChunk =
        std::clamp<std::size_t>(CHUNK_SIZE / layout.rowSize, 1, height);
    std::vector<std::uint8_t> chunk(rowsPerChunk * layout.rowSize + BmpLineDecoder<BPP>::SLACK);
    for (std::size_t r = 0; r < height;) {
        // Rows are filled in file order, so what one row's stores leave in
        // the next is overwritten when that row is decoded.
        const std::size_t nRows = std::min(rowsPerChunk, height - r);
        for (std::size_t k = 0; k < nRows; ++k, ++r)
            decoder.decode(height - 1 - r, chunk.data() + k * layout.rowSize, layout.rowSize);
        if (!out.write(chunk.data(), nRows * layout.rowSize)) return false;
    }
    return true;
}

// One line of a plain image, by the rule the drawing runtime paints RLE pixels by.
void blitPlainLine(const std::uint16_t* src, const std::uint8_t* srcAlpha, std::uint32_t width,
                   std::uint16_t* dst, std::uint8_t* dstAlpha) {
    if (dstAlpha) {
        std::copy_n(src, width, dst);
        if (srcAlpha) {
            std::transform(srcAlpha, srcAlpha + width, dstAlpha, clampAlpha);
        } else {
            std::fill_n(dstAlpha, width, ALPHA_OPAQUE);
        }
    } else if (srcAlpha) {
        for (std::uint32_t j = 0; j < width; ++j) {
            const std::uint8_t a = srcAlpha[j];
            if (a >= ALPHA_OPAQUE) {
                dst[j] = src[j];
            } else if (a > 0) {
                dst[j] = blendRgb565(src[j], dst[j], a);
            }
        }
    } else {
        std::copy_n(src, width, dst);
    }
}

void blitPlain(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.width < 0 || image.height < 0) return;
    const auto width = static_cast<std::uint32_t>(image.width);
    const bool bSourceAlpha = image.hasAlpha();
    for (std::size_t i = 0; i < static_cast<std::size_t>(image.height); ++i) {
        // A hand-made record may hold fewer pixels than its size says.
        const std::size_t srcStart = i * width;
        if (srcStart + width > image.pixels.size()) return;
        if (bSourceAlpha && srcStart + width > image.alpha.size()) return;
        const auto start =
            targetRow(surface, std::int64_t{y} + static_cast<std::int64_t>(i), x, width);
        if (!start) continue;
        blitPlainLine(image.pixels.data() + srcStart,
                      bSourceAlpha ? image.alpha.data() + srcStart : nullptr, width,
                      surface.pixels.data() + *start,
                      surface.alpha.empty() ? nullptr : surface.alpha.data() + *start);
    }
}

// The bytes a BMP of an RLE image with these sizes and flags would take fit
// the format's 32-bit sizes.
bool fitsBmp(std::int32_t signedWidth, std::int32_t signedHeight, std::uint32_t flags) {
    if (signedWidth < 0 || signedHeight < 0) return false;
    const auto width = static_cast<std::uint32_t>(signedWidth);
    const auto height = static_cast<std::uint32_t>(signedHeight);
    const bool bAlpha = (flags & RLE_ALPHA) != 0;
    // 24-bit rows are padded to whole 32-bit words.
    const auto rowBytes = bAlpha ? checkedMul(width, 4) : checkedMul(width, 3);
    if (!rowBytes) return false;
    const auto padded = bAlpha ? rowBytes : checkedAdd(*rowBytes, 3);
    if (!padded) return false;
    const auto rows = checkedMul(height, *padded & ~3u);
    return rows && checkedAdd(BMP_HEADER_SIZE, *rows);
}

// Line codes held at once by the streamed way: whole lines, at least one, of
// at most this many bytes together. A line takes at most 65535 bytes.
constexpr std::size_t CODES_WINDOW = 256 * 1024;

// Reads exactly size bytes at offset; false on any shortfall.
bool readAt(int fd, std::uint8_t* dst, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, dst, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        dst += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// How a pass over a streamed file's lines ended.
enum class Pass {
    Done,     // every line read (and sound), every row written
    Short,    // a read fell short, or a line checked before is unsound now
    Unsound,  // a line's codes are unsound
    Refused,  // a write was refused
};

// The block offset of the end of `line`'s codes, less codesStart.
std::uint64_t lineEndOf(const RleTable& table, std::size_t height, std::size_t line) {
    return line + 1 < height ? table.offsets[line + 1] : table.total;
}

// Checks every line of a streamed RLE file by the load-time rules before any
// byte is written: the codes are read top line first, a window of whole
// lines at a time.
Pass checkStreamedLines(int fd, const RleShape& shape, const RleTable& table,
                        std::vector<std::uint8_t>& window) {
    const auto height = static_cast<std::size_t>(shape.height);
    const auto width = static_cast<std::uint32_t>(shape.width);
    for (std::size_t first = 0; first < height;) {
        const std::uint64_t base = table.offsets[first];
        std::size_t last = first + 1;  // the window holds lines first to last - 1
        while (last < height && lineEndOf(table, height, last) - base <= CODES_WINDOW) ++last;
        const auto size = static_cast<std::size_t>(lineEndOf(table, height, last - 1) - base);
        if (size > window.size()) return Pass::Short;
        if (!readAt(fd, window.data(), size, RLE_HEADER_SIZE + table.codesStart + base))
            return Pass::Short;
        const auto scan = [&](std::size_t line) {
            return LineScan(window.data() + (table.offsets[line] - base),
                            window.data() + (lineEndOf(table, height, line) - base),
                            window.data() + size, width, shape.paletteSize);
        };
        // Two lines side by side, which the processor follows at once (four
        // gain nothing more).
        std::size_t line = first;
        for (; line + 2 <= last; line += 2) {
            LineScan scans[2] = {scan(line), scan(line + 1)};
            if (!areLinesSound(scans)) return Pass::Unsound;
        }
        for (; line < last; ++line) {
            LineScan scans[1] = {scan(line)};
            if (!areLinesSound(scans)) return Pass::Unsound;
        }
        first = last;
    }
    return Pass::Done;
}

// The rows of a streamed RLE file, bottom line first: the lines' codes are
// read from the end of the file backwards, a window of whole lines at a time.
// The lines were checked before; a line found unsound now, like a read that
// falls short, means the file changed under us.
template <std::size_t BPP>
Pass writeStreamedRows(int fd, const RleShape& shape, const RleTable& table, const RlePalette& pal,
                       const BmpLayout& layout, std::vector<std::uint8_t>& codesWindow,
                       OutputFile& out) {
    const auto height = static_cast<std::size_t>(shape.height);
    const BmpRowCoder<BPP> coder(pal, (shape.flags & RLE_ALPHA) != 0,
                                 static_cast<std::uint32_t>(shape.width));
    const auto lineEnd = [&table, height](std::size_t line) -> std::uint64_t {
        return line + 1 < height ? table.offsets[line + 1] : table.total;
    };
    const std::size_t rowsPerChunk =
        std::clamp<std::size_t>(CHUNK_SIZE / layout.rowSize, 1, height);
    std::vector<std::uint8_t> chunk(rowsPerChunk * layout.rowSize + BmpRowCoder<BPP>::SLACK);
    std::vector<std::uint8_t>& window = codesWindow;
    std::size_t first = height;  // the window holds lines first to last
    std::uint64_t base = 0;      // the block offset of line `first`'s codes, less codesStart
    for (std::size_t r = 0; r < height;) {
        const std::size_t nRows = std::min(rowsPerChunk, height - r);
        for (std::size_t k = 0; k < nRows; ++k, ++r) {
            const std::size_t line = height - 1 - r;
            if (line < first) {
                const std::uint64_t end = lineEnd(line);
                std::size_t lo = line;
                while (lo > 0 && end - table.offsets[lo - 1] <= CODES_WINDOW) --lo;
                base = table.offsets[lo];
                const auto size = static_cast<std::size_t>(end - base);
                if (size > window.size()) return Pass::Short;
                if (!readAt(fd, window.data(), size, RLE_HEADER_SIZE + table.codesStart + base))
                    return Pass::Short;
                first = lo;
            }
            const std::uint8_t* const codes = window.data() + (table.offsets[line] - base);
            const std::uint8_t* const codesEnd = window.data() + (lineEnd(line) - base);
            if (!coder.code(codes, codesEnd, window.data() + window.size(), true,
                            chunk.data() + k * layout.rowSize, layout.rowSize))
                return Pass::Short;
        }
        if (!out.write(chunk.data(), nRows * layout.rowSize)) return Pass::Refused;
    }
    return Pass::Done;
}

}  // namespace

std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t d, std::uint32_t a) {
    return blendPixel(s, d, a);
}

void blitImage(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.isRle()) {
        decodeRleLines(image, x, y, surface);
    } else {
        blitPlain(image, x, y, surface);
    }
}

void decodeRleLines(const Image& image, std::int32_t x, std::int32_t y, const Surface& surface) {
    if (image.width < 0 || image.height < 0) return;
    const std::span<const std::uint8_t> data = heldData(image);
    const RlePalette pal = paletteOf(image, data);
    rle565_sprite sprite{};
    sprite.width = image.width;
    sprite.height = image.height;
    sprite.flags = image.flags;
    sprite.palette_size = pal.size;
    sprite.palette = pal.colors;
    sprite.alphas = (image.flags & RLE_ALPHA) != 0 ? pal.alphas : nullptr;
    SurfaceLines lines{image, data, surface, x, y};
    const auto nLines = std::min(static_cast<std::size_t>(image.height), image.lineOffsets.size());
    drawLineRows(sprite, !surface.alpha.empty(), 0, static_cast<std::uint32_t>(nLines),
                 SurfaceLines::next, &lines);
}

Image decodeRleImage(const Image& image) {
    Image result;
    result.clear();
    result.width = std::max(image.width, 0);
    result.height = std::max(image.height, 0);
    const std::size_t count =
        static_cast<std::size_t>(result.width) * static_cast<std::size_t>(result.height);
    result.pixels.assign(count, COLOR_KEY);
    result.bAlpha = (image.flags & RLE_ALPHA) != 0;
    if (result.bAlpha) result.alpha.assign(count, 0);
    const Surface surface{result.pixels, result.alpha, result.width};
    blitImage(image, 0, 0, surface);
    return result;
}

bool convertRleToBmp(const Image& image, const OutputTarget& output) {
    if (!fitsBmp(image.width, image.height, image.flags)) return false;
    const bool bAlpha = (image.flags & RLE_ALPHA) != 0;
    const auto layout = layoutBmp(image.width, image.height, bAlpha);
    if (!layout) return false;
    OutputFile out(output);
    if (!out.isOpen()) return false;
    out.reserve(layout->header.size() + std::uint64_t{layout->rowsSize});
    if (!out.write(layout->header.data(), layout->header.size())) return false;
    if (layout->rowSize > 0) {
        const bool bWritten =
            bAlpha ? writeBmpRows<4>(image, *layout, out) : writeBmpRows<3>(image, *layout, out);
        if (!bWritten) return false;
    }
    // Without commit the temporary file goes and the target stays as it was.
    return out.commit();
}

bool convertLargeRleFileToBmp(const char* inputPath, const OutputTarget& output,
                              std::uint64_t smallest) {
    return streamRleFileToBmp(inputPath, output, smallest) == StreamedBmp::Written;
}

StreamedBmp streamRleFileToBmp(const char* inputPath, const OutputTarget& output,
                               std::uint64_t smallest) {
    // Small files, the usual case, are left at once to the loaded way: one
    // look at the size, without opening them twice.
    struct stat info;
    if (::stat(inputPath, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) < smallest)
        return StreamedBmp::NotTaken;
    const FileDescriptor in{::open(inputPath, O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
        return StreamedBmp::NotTaken;
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    if (fileSize < std::max<std::uint64_t>(smallest, RLE_HEADER_SIZE) ||
        fileSize - RLE_HEADER_SIZE > UINT32_MAX)
        return StreamedBmp::NotTaken;
    std::array<std::uint8_t, RLE_HEADER_SIZE> head;
    if (!readAt(in.fd, head.data(), head.size(), 0) || head[0] != 'R' || head[1] != 'L')
        return StreamedBmp::NotTaken;
    const RleShape shape{loadLe16(&head[RLE_HEAD_WIDTH]), loadLe16(&head[RLE_HEAD_HEIGHT]),
                         IMAGE_RLE | loadLe16(&head[RLE_HEAD_FLAGS]),
                         loadLe16(&head[RLE_HEAD_PALETTE_SIZE])};
    const std::uint64_t blockSize = fileSize - RLE_HEADER_SIZE;

    // The palette tables and the line-length table, which is at most three
    // bytes a line.
    const bool bSourceAlpha = (shape.flags & RLE_ALPHA) != 0;
    const std::uint64_t tableStart = std::uint64_t{shape.paletteSize} * (bSourceAlpha ? 3 : 2);
    const auto headSize = static_cast<std::size_t>(
        std::min(blockSize, tableStart + 3 * static_cast<std::uint64_t>(shape.height)));
    std::vector<std::uint8_t> tables(headSize);
    if (!readAt(in.fd, tables.data(), headSize, RLE_HEADER_SIZE)) return StreamedBmp::NotTaken;
    RleTable table;
    if (readRleTable(tables, blockSize, shape, table)) return StreamedBmp::Corrupt;
    const auto height = static_cast<std::size_t>(shape.height);
    for (std::size_t line = 0; line < height; ++line) {
        if (table.codesStart + lineEndOf(table, height, line) > blockSize)
            return StreamedBmp::Corrupt;
    }
    // Every line is checked before the first byte is written, so that a
    // damaged file writes nothing at all, however large its BMP would be.
    std::vector<std::uint8_t> window(CODES_WINDOW);
    switch (checkStreamedLines(in.fd, shape, table, window)) {
        case Pass::Done:
            break;
        case Pass::Unsound:
            return StreamedBmp::Corrupt;
        default:
            return StreamedBmp::NotTaken;
    }

    if (!fitsBmp(shape.width, shape.height, shape.flags)) return StreamedBmp::Failed;
    const bool bAlpha = bSourceAlpha;
    const auto layout = layoutBmp(shape.width, shape.height, bAlpha);
    if (!layout) return StreamedBmp::Failed;
    const RlePalette pal{tables.data(), tables.data() + 2 * std::size_t{shape.paletteSize},
                         shape.paletteSize};
    OutputFile out(output);
    if (!out.isOpen()) return StreamedBmp::Failed;
    out.reserve(layout->header.size() + std::uint64_t{layout->rowsSize});
    if (!out.write(layout->header.data(), layout->header.size())) return StreamedBmp::Failed;
    if (layout->rowSize > 0) {
        const Pass pass =
            bAlpha ? writeStreamedRows<4>(in.fd, shape, table, pal, *layout, window, out)
                   : writeStreamedRows<3>(in.fd, shape, table, pal, *layout, window, out);
        // A file that changed under us is left to the loaded way, which
        // reads it whole; the temporary file goes.
        if (pass == Pass::Short || pass == Pass::Unsound) return StreamedBmp::NotTaken;
        if (pass == Pass::Refused) return StreamedBmp::Failed;
    }
    return out.commit() ? StreamedBmp::Written : StreamedBmp::Failed;
}

}  // namespace rle565
