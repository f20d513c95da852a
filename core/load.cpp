// loadImage and its kin: a file by name, stream or bytes handed to the reader
// its first bytes name.
#include <fcntl.h>
#include <rle565/inspect.h>
#include <rle565/load.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "error_text.h"
#include "formats/bmp_reader.h"
#include "formats/gif_reader.h"
#include "formats/magic.h"
#include "formats/png_reader.h"
#include "formats/rle_reader.h"
#include "read_bytes.h"
#include "rle_file_check.h"
#include "runtime/layout.h"

namespace rle565 {

namespace {

constexpr const char* ERROR_OPEN = "failed to open file";
constexpr const char* ERROR_UNKNOWN_FORMAT = "unknown format";

// Regular files up to this size are read whole with one call and parsed from
// memory: list mode loads thousands of sprites, and a buffered stream would
// spend several system calls on each.
constexpr std::size_t SMALL_FILE = 1 << 20;

// The most of a stream that is kept: one byte past the largest RLE file (so
// that a longer one is refused as too long, as a regular file is), and past
// the end of the largest BMP file that loads (rows of up to 4 GiB behind up
// to 4 GiB of headers, colour table and gap). Anything else is told by its
// first two bytes.
constexpr std::uint64_t RLE_STREAM_LIMIT = RLE_HEADER_SIZE + std::uint64_t{UINT32_MAX} + 1;
constexpr std::uint64_t BMP_STREAM_LIMIT = (std::uint64_t{1} << 33) + (1 << 16);

// Streams are read in blocks that double from the first size up to the
// largest, so memory follows the bytes that arrive.
constexpr std::size_t STREAM_BLOCK_FIRST = 1 << 16;
constexpr std::size_t STREAM_BLOCK_LARGEST = 1 << 26;

std::uint64_t streamLimit(std::span<const std::uint8_t> magic) {
    switch (recogniseFormat(magic)) {
        case FileFormat::Rle:
            return RLE_STREAM_LIMIT;
        case FileFormat::Bmp:
            return BMP_STREAM_LIMIT;
        default:
            // PNG and GIF files are kept as far as BMP files, for their readers.
            return startsPng(magic) || startsGif(magic) ? BMP_STREAM_LIMIT : magic.size();
    }
}

// Reads up to bytes.size() bytes and returns how many arrived.
std::size_t readAll(int fd, std::span<std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// A buffer of `size` bytes that the caller fills.
FileBytes makeBytes(std::size_t size) {
    FileBytes bytes;
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    bytes.size = size;
    return bytes;
}

// The rest of a stream whose first bytes `head` holds, up to `limit` bytes
// in all: read block by block with read(span) -> count, then joined.
template <class Read>
FileBytes readStreamRest(Read read, std::span<const std::uint8_t> head, std::uint64_t limit) {
    std::vector<FileBytes> blocks;
    std::uint64_t total = head.size();
    std::size_t next = STREAM_BLOCK_FIRST;
    bool bEnd = false;
    while (!bEnd && total < limit) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(next, limit - total));
        FileBytes block = makeBytes(size);
        block.size = read(std::span(block.data.get(), size));
        bEnd = block.size < size;
        total += block.size;
        blocks.push_back(std::move(block));
        next = std::min(next * 2, STREAM_BLOCK_LARGEST);
    }
    FileBytes bytes = makeBytes(static_cast<std::size_t>(total));
    std::uint8_t* at = bytes.data.get();
    if (!head.empty()) std::memcpy(at, head.data(), head.size());
    at += head.size();
    for (FileBytes& block : blocks) {
        if (block.size > 0) std::memcpy(at, block.data.get(), block.size);
        at += block.size;
        block = FileBytes{};
    }
    return bytes;
}

}  // namespace

FileBytes readImageBytes(int fd) {
    std::uint8_t magic[2] = {0, 0};
    const std::size_t got = readAll(fd, magic);
    const std::span<const std::uint8_t> head(magic, got);
    const std::uint64_t limit = streamLimit(head);
    struct stat info;
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && here >= 0 && info.st_size >= here) {
        // A regular file is read by its size, an RLE file only as far as
        // its lines' codes go; one that shrinks meanwhile keeps what it
        // still has.
        std::uint64_t wanted = got + static_cast<std::uint64_t>(info.st_size - here);
        if (here == static_cast<off_t>(got) && recogniseFormat(head) == FileFormat::Rle)
            wanted = std::min(wanted, detail::rleFileExtent(fd, wanted));
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(limit, wanted));
        FileBytes bytes = makeBytes(size);
        std::memcpy(bytes.data.get(), magic, got);
        bytes.size = got + readAll(fd, std::span(bytes.data.get() + got, size - got));
        return bytes;
    }
    return readStreamRest([fd](std::span<std::uint8_t> block) { return readAll(fd, block); }, head,
                          limit);
}

std::optional<FileBytes> readImageFile(const char* path, std::uint64_t& fileSize) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    FileBytes file;
    struct stat info;
    try {
        file = readImageBytes(fd);
        fileSize = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0
                       ? static_cast<std::uint64_t>(info.st_size)
                       : file.size;
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return file;
}

std::unique_ptr<Image> loadImageFromStream(std::FILE* file, ErrorText& errorText) {
    std::array<std::uint8_t, MAGIC_SIZE> magic{};
    if (std::fread(magic.data(), 1, MAGIC_SHORT, file) == MAGIC_SHORT) {
        const std::span<const std::uint8_t> head(magic.data(), MAGIC_SHORT);
        const FileFormat format = recogniseFormat(head);
        if (format == FileFormat::Rle) {
            if (std::ftell(file) >= 0) return loadRle(file, errorText);
            // A pipe cannot tell the file's size, which the reader needs
            // before the data block: it is kept whole, as far as an RLE file goes.
            const FileBytes bytes = readStreamRest(
                [file](std::span<std::uint8_t> block) {
                    return std::fread(block.data(), 1, block.size(), file);
                },
                head, RLE_STREAM_LIMIT);
            return loadRleBytes(bytes.view(), errorText);
        }
        if (format == FileFormat::Bmp) return readBmp(file, errorText);
        const std::size_t rest = MAGIC_SIZE - MAGIC_SHORT;
        if (startsPng(head) || startsGif(head)) {
            // A GIF signature is shorter than PNG's: a file of fewer than
            // eight bytes may still be one, read as far as it goes.
            const std::size_t got = std::fread(&magic[MAGIC_SHORT], 1, rest, file);
            const std::span<const std::uint8_t> longHead(magic.data(), MAGIC_SHORT + got);
            const FileFormat longFormat = recogniseFormat(longHead);
            if (longFormat == FileFormat::Png) return readPng(file, errorText);
            if (longFormat == FileFormat::Gif) return readGif(file, longHead, errorText);
        }
    }
    setError(errorText, ERROR_UNKNOWN_FORMAT);
    return nullptr;
}

std::unique_ptr<Image> loadImageFromMemory(std::span<const std::uint8_t> bytes,
                                           ErrorText& errorText) {
    switch (recogniseFormat(bytes.first(std::min(bytes.size(), MAGIC_SIZE)))) {
        case FileFormat::Rle:
            return loadRleBytes(bytes, errorText);
        case FileFormat::Bmp:
            return readBmpBytes(bytes.subspan(MAGIC_SHORT), errorText);
        case FileFormat::Png:
            return readPngBytes(bytes, errorText);
        case FileFormat::Gif:
            return readGifBytes(bytes, errorText);
        case FileFormat::Unknown:
            break;
    }
    setError(errorText, ERROR_UNKNOWN_FORMAT);
    return nullptr;
}

bool loadImageFrames(std::span<const std::uint8_t> bytes, ErrorText& errorText,
                     const std::function<void(Image&)>& onFrame) {
    if (recogniseFormat(bytes.first(std::min(bytes.size(), MAGIC_SIZE))) == FileFormat::Gif)
        return readGifFrames(bytes, errorText, onFrame);
    const std::unique_ptr<Image> image = loadImageFromMemory(bytes, errorText);
    if (!image) return false;
    onFrame(*image);
    return true;
}

std::size_t countImageFrames(std::span<const std::uint8_t> bytes) {
    if (recogniseFormat(bytes.first(std::min(bytes.size(), MAGIC_SIZE))) == FileFormat::Gif)
        return std::max<std::size_t>(countGifFrames(bytes), 1);
    return 1;
}

namespace {

// loadImage(), and loadImageToConvert() when bCheckRle is set.
std::unique_ptr<Image> loadFile(const char* path, ErrorText& errorText, int* fileMode,
                                bool bCheckRle) {
    if (fileMode) *fileMode = -1;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(errorText, ERROR_OPEN);
        return nullptr;
    }
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && fileMode) *fileMode = static_cast<int>(info.st_mode & 07777);
    std::uint8_t magic[2] = {0, 0};
    if (bCheckRle && regular && info.st_size >= 0 && detail::readAt(fd, magic, sizeof magic, 0) &&
        hasRleMagic(magic, sizeof magic)) {
        RleShape shape;
        const char* fault =
            detail::checkRleFile(fd, static_cast<std::uint64_t>(info.st_size), shape);
        ::close(fd);
        if (fault) {
            setError(errorText, fault);
            return nullptr;
        }
        auto image = std::make_unique<Image>();
        image->clear();
        image->width = shape.width;
        image->height = shape.height;
        image->flags = shape.flags;
        image->paletteSize = shape.paletteSize;
        return image;
    }
    if (regular && info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) <= SMALL_FILE) {
        // Every byte that is looked at is read first, so the buffer needs no
        // zero fill.
        const auto size = static_cast<std::size_t>(info.st_size);
        const auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        const std::size_t got = readAll(fd, std::span(bytes.get(), size));
        ::close(fd);
        return loadImageFromMemory(std::span(bytes.get(), got), errorText);
    }
    // Larger files and streams are read as the readers ask: a stream is
    // told by its first bytes and parsed as they arrive, so one that is
    // broken is refused as soon as it shows it, and memory follows the bytes
    // that came.
    const FilePtr file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        setError(errorText, ERROR_OPEN);
        return nullptr;
    }
    return loadImageFromStream(file.get(), errorText);
}

}  // namespace

std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText) {
    return loadImage(path, errorText, nullptr);
}

std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText, int* fileMode) {
    return loadFile(path, errorText, fileMode, false);
}

std::unique_ptr<Image> loadImageToConvert(const char* path, ErrorText& errorText, int* fileMode) {
    return loadFile(path, errorText, fileMode, true);
}

}  // namespace rle565
