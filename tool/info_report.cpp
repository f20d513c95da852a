#include "info_report.h"

#include <fcntl.h>
#include <rle565/bmp_writer.h>
#include <rle565/inspect.h>
#include <rle565/load.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace rle565 {

namespace {

// Every (colour, alpha) pair: 65536 colours at 32 visible alpha levels.
constexpr std::size_t PAIR_KEYS = std::size_t{1} << 21;

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

// Counts skipped pixels and pixels per entry of a loaded RLE image, and
// collects the palette bases that lines select.
void countRlePixels(const Image& image, FileReport& report) {
    const std::uint32_t nEntries = image.paletteSize;
    RleUse use = measureRleUse(image);
    const RlePaletteTable table = readRlePalette(image);
    for (std::uint32_t e = 0; e < nEntries && e < table.alphas.size(); ++e) {
        const std::uint8_t a = table.alphas[e];
        if (a == 0) {
            report.nTransparent += use.drawn[e];
        } else if (a < ALPHA_OPAQUE) {
            report.nPartial += use.drawn[e];
        }
    }
    report.nTransparent += use.nSkipped;
    report.nPixels =
        static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height);
    report.bCounted = true;
    // The file may have been read only as far as its lines go.
    const std::uint64_t used = RLE_HEADER_SIZE + use.nUsedBytes;
    report.nUnusedBytes = report.fileSize > used ? report.fileSize - used : 0;
    if ((report.flagsWord & RLE_MULTIPAL) != 0)
        report.palettes = paletteSizes(std::move(use.bases), nEntries);
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

// What every loaded image reports, BMP or PNG: its size, alpha, and the BMP
// file mode b would make of it.
void fillLoaded(FileKind kind, FileReport& report) {
    const Image& image = *report.image;
    report.bHeaderRead = true;
    report.kind = kind;
    report.width = image.width;
    report.height = image.height;
    report.bAlpha = image.hasAlpha();
    report.bmpDepth = report.bAlpha ? 32 : 24;
    report.bmpSize = bmpFileSize(image.width, image.height, report.bAlpha);
}

void fillBmp(std::span<const std::uint8_t> bytes, FileReport& report) {
    fillLoaded(FileKind::Bmp, report);
    // The image loaded, so the file holds the whole header.
    if (const auto layout = describeBmp(bytes)) {
        report.bTopDown = layout->bTopDown;
        report.bitDepth = layout->bitCount;
        report.nPaletteEntries = layout->nColors;
        report.compression = layout->compression;
        report.bMasks = layout->bMasks;
        report.masks = layout->masks;
    }
    countBmpPixels(*report.image, report);
}

void fillGif(FileReport& report) {
    fillLoaded(FileKind::Gif, report);
    report.bitDepth = 8;
    countBmpPixels(*report.image, report);
}

void fillPng(std::span<const std::uint8_t> bytes, FileReport& report) {
    fillLoaded(FileKind::Png, report);
    // The chunks before the image data say what is reported.
    if (const auto layout = describePng(bytes)) {
        report.bitDepth = layout->bitDepth;
        report.pngColorType = layout->colorType;
        report.bInterlaced = layout->bInterlaced;
        report.bTransparencyChunk = layout->bTransparency;
        report.nPaletteEntries = layout->nPaletteEntries;
    }
    countBmpPixels(*report.image, report);
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

const char* compressionName(std::uint32_t compression) {
    switch (compression) {
        case 1:
            return "rle8";
        case 2:
            return "rle4";
        case 3:
            return "bitfields";
        case 6:
            return "alphabitfields";
        default:
            return nullptr;
    }
}

const char* pngColorTypeName(std::uint8_t colorType) {
    switch (colorType) {
        case 0:
            return "grey";
        case 2:
            return "rgb";
        case 3:
            return "palette";
        case 4:
            return "grey_alpha";
        default:
            return "rgba";
    }
}

std::string describeSource(const FileReport& report) {
    std::string text;
    if (report.kind == FileKind::Gif) return "GIF, first frame";
    if (report.kind == FileKind::Png) {
        static constexpr const char* NAMES[] = {"grey",           "", "RGB", "palette",
                                                "grey and alpha", "", "RGBA"};
        const char* name = report.pngColorType < 7 ? NAMES[report.pngColorType] : "";
        text = "PNG, " + std::string(name) + ", " + std::to_string(report.bitDepth) +
               (report.pngColorType == 3 ? " bits per index" : " bits per sample");
        if (report.bTransparencyChunk) text += ", tRNS";
        if (report.bInterlaced) text += ", interlaced";
        return text;
    }
    text = "BMP, " + std::to_string(report.bitDepth) + " bits per pixel";
    if (report.compression == 1) text += ", RLE8";
    if (report.compression == 2) text += ", RLE4";
    if (report.bMasks) text += ", bit masks";
    if (report.bTopDown) text += ", top-down";
    return text;
}

const char* verdictName(ImageFit fit) {
    switch (fit) {
        case ImageFit::Single:
            return "single";
        case ImageFit::Multipal:
            return "multipal";
        case ImageFit::Reduce:
            break;
    }
    return "reduce";
}

std::string describeVerdict(const FitReport& fit) {
    switch (fit.fit) {
        case ImageFit::Single:
            return "single, fits one palette";
        case ImageFit::Multipal:
            return "multipal, needs several palettes (-v2)";
        case ImageFit::Reduce:
            break;
    }
    return "reduce, line " + std::to_string(fit.nFullestLine) + " holds " +
           std::to_string(fit.nLinePairs) + " pairs" +
           (fit.nLinePairs >= RLE_MAX_VISIBLE ? ", more than a palette takes (251)"
                                              : ", too many pairs in all for the palettes");
}

std::string describeMasks(const FileReport& report) {
    if (!report.bMasks) return "";
    return "red " + hex32(report.masks[0]) + ", green " + hex32(report.masks[1]) + ", blue " +
           hex32(report.masks[2]) + ", alpha " + hex32(report.masks[3]);
}

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

namespace {

// The bytes a stream hands to its reader, counted, and the first of them
// kept for describing the file: the first MiB, or all of an RLE file, whose
// damage report needs every line.
class StreamTee {
public:
    explicit StreamTee(int fd) : fd_(fd) {}
    StreamTee(const StreamTee&) = delete;
    StreamTee& operator=(const StreamTee&) = delete;

    std::FILE* open() { return ::fopencookie(this, "rb", {readSome, nullptr, nullptr, nullptr}); }
    std::uint64_t total() const { return total_; }
    std::span<const std::uint8_t> kept() const { return kept_; }

private:
    static ssize_t readSome(void* cookie, char* out, std::size_t size) {
        auto* tee = static_cast<StreamTee*>(cookie);
        ssize_t got = 0;
        do {
            got = ::read(tee->fd_, out, size);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return got;
        tee->total_ += static_cast<std::uint64_t>(got);
        const bool bRle = tee->kept_.size() >= 2 && tee->kept_[0] == 'R' && tee->kept_[1] == 'L';
        const std::size_t room = bRle || tee->kept_.size() < 2
                                     ? SIZE_MAX
                                     : KEPT_HEAD - std::min(KEPT_HEAD, tee->kept_.size());
        const std::size_t n = std::min(static_cast<std::size_t>(got), room);
        tee->kept_.insert(tee->kept_.end(), out, out + n);
        return got;
    }

    static constexpr std::size_t KEPT_HEAD = 1 << 20;
    int fd_;
    std::uint64_t total_ = 0;
    std::vector<std::uint8_t> kept_;
};

// Files above this size are not read whole unless they are RLE files.
constexpr std::uint64_t LARGE_FILE = 1 << 20;

// The report of an image file held in `bytes` (the whole file, or as much as
// describing it needs when `image` was loaded from the file itself).
void reportImage(std::span<const std::uint8_t> bytes, FileReport& report) {
    if (recogniseFormat(bytes) == FileFormat::Png) {
        fillPng(bytes, report);
    } else if (recogniseFormat(bytes) == FileFormat::Gif) {
        fillGif(report);
    } else {
        fillBmp(bytes, report);
    }
    report.fit = judgeFit(*report.image);
    report.bJudged = true;
}

// Reads up to `size` bytes at offset 0; what arrived.
std::vector<std::uint8_t> readHead(int fd, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got =
            ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

// How much of a large image file describing it takes: a BMP's headers, the
// chunks of a PNG file before its image data.
std::uint64_t describedExtent(int fd, std::span<const std::uint8_t> magic, std::uint64_t size) {
    constexpr std::uint64_t HEADERS = 1 << 16;
    if (recogniseFormat(magic) != FileFormat::Png) return std::min(size, HEADERS);
    std::uint64_t at = 8;  // past the signature
    for (;;) {
        const std::vector<std::uint8_t> chunk = [&] {
            std::vector<std::uint8_t> b(8);
            const ssize_t got = ::pread(fd, b.data(), 8, static_cast<off_t>(at));
            b.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            return b;
        }();
        if (chunk.size() < 8) return std::min(size, at + 8);
        const std::uint64_t length =
            std::uint64_t{chunk[0]} << 24 | chunk[1] << 16 | chunk[2] << 8 | chunk[3];
        if (std::memcmp(&chunk[4], "IDAT", 4) == 0) return std::min(size, at + 8);
        at += 12 + length;
        if (at >= size) return size;
    }
}

// A regular file too large to read whole: the image is loaded by the
// readers, which read only what it takes, and only the headers are read for
// describing it; an RLE file is read as far as its lines' codes go.
bool inspectLargeFile(const char* path, int fd, FileReport& report) {
    const std::vector<std::uint8_t> head = readHead(fd, 8);
    const std::span<const std::uint8_t> first(head);
    // An RLE file is read as far as its lines' codes go, unless it is too
    // large to load at all, which the loader says without reading it.
    if (recogniseFormat(first) == FileFormat::Rle &&
        report.fileSize - RLE_HEADER_SIZE <= UINT32_MAX)
        return false;
    ErrorText errorText{};
    report.image = loadImage(path, errorText);
    if (!report.image) {
        report.error = errorText.data();
        return true;
    }
    const std::vector<std::uint8_t> described =
        readHead(fd, describedExtent(fd, first, report.fileSize));
    reportImage(described, report);
    return true;
}

}  // namespace

FileReport inspectFile(const char* path) {
    FileReport report;
    ErrorText errorText{};
    {
        // Large regular files are read only as far as they need. Anything
        // else is opened once, below: a FIFO's writer meets one reader.
        struct stat named;
        const bool bLarge = ::stat(path, &named) == 0 && S_ISREG(named.st_mode) &&
                            static_cast<std::uint64_t>(named.st_size) > LARGE_FILE;
        const int fd = bLarge ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
        struct stat info;
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uint64_t>(info.st_size) > LARGE_FILE) {
            report.fileSize = static_cast<std::uint64_t>(info.st_size);
            const bool bDone = inspectLargeFile(path, fd, report);
            ::close(fd);
            if (bDone) return report;
            report = FileReport{};
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    // Opened once, so that a pipe or FIFO is described by what it sends.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        report.error = "failed to open file";
        return report;
    }
    struct stat info;
    std::optional<FileBytes> file;
    StreamTee tee(fd);
    std::span<const std::uint8_t> bytes;
    try {
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            // A regular file may be opened again, and is read whole.
            file = readImageFile(path, report.fileSize);
            if (!file) {
                ::close(fd);
                report.error = "failed to open file";
                return report;
            }
            bytes = file->view();
            report.image = loadImageFromMemory(bytes, errorText);
        } else {
            // A stream is parsed as it arrives, so a broken one ends at its
            // first bad byte; the bytes it sent are kept for describing it.
            std::FILE* stream = tee.open();
            if (stream) {
                report.image = loadImageFromStream(stream, errorText);
                std::fclose(stream);
            }
            report.fileSize = tee.total();
            bytes = tee.kept();
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);

    if (report.image && report.image->isRle()) {
        fillRleHeader(*report.image, report);
        countRlePixels(*report.image, report);
        return report;
    }
    if (report.image) {
        reportImage(bytes, report);
        return report;
    }
    report.error = errorText.data();
    // The loader only says that the structure is broken; the same check run
    // again says where.
    if (recogniseFormat(bytes) == FileFormat::Rle) {
        if (const std::optional<RleDamage> damage = findRleDamage(bytes)) {
            fillRleHeader(damage->header, report);
            report.fault = damage->what;
            report.faultLine = damage->line;
        }
    }
    return report;
}

}  // namespace rle565
