#include <fcntl.h>
#include <rle565/bmp_reader.h>
#include <rle565/image.h>
#include <rle565/png_reader.h>
#include <rle565/rle_reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rle565 {

namespace {

constexpr const char* ERROR_OPEN = "failed to open file";
constexpr const char* ERROR_UNKNOWN_FORMAT = "unknown format";

// Regular files up to this size are read whole with one call and parsed from
// memory: list mode loads thousands of sprites, and a buffered stream would
// spend several system calls on each.
constexpr std::size_t SMALL_FILE = 1 << 20;

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

}  // namespace

void setError(ErrorText& errorText, const char* text) {
    const std::size_t length = std::min(std::strlen(text), errorText.size() - 1);
    std::memcpy(errorText.data(), text, length);
    errorText[length] = '\0';
}

std::unique_ptr<Image> loadImageFromStream(std::FILE* file, ErrorText& errorText) {
    unsigned char magic[2] = {0, 0};
    if (std::fread(magic, 1, 2, file) == 2) {
        if (magic[0] == 'R' && magic[1] == 'L') return loadRle(file, errorText);
        if (magic[0] == 'B' && magic[1] == 'M') return readBmp(file, errorText);
        std::array<std::uint8_t, 8> signature{magic[0], magic[1]};
        if (magic[0] == PNG_SIGNATURE[0] && magic[1] == PNG_SIGNATURE[1] &&
            std::fread(&signature[2], 1, 6, file) == 6 && isPng(signature))
            return readPng(file, errorText);
    }
    setError(errorText, ERROR_UNKNOWN_FORMAT);
    return nullptr;
}

std::unique_ptr<Image> loadImageFromMemory(std::span<const std::uint8_t> bytes,
                                           ErrorText& errorText) {
    if (bytes.size() >= 2) {
        if (bytes[0] == 'R' && bytes[1] == 'L') return loadRleBytes(bytes, errorText);
        if (bytes[0] == 'B' && bytes[1] == 'M') return readBmpBytes(bytes.subspan(2), errorText);
        if (isPng(bytes)) return readPngBytes(bytes, errorText);
    }
    setError(errorText, ERROR_UNKNOWN_FORMAT);
    return nullptr;
}

std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText) {
    return loadImage(path, errorText, nullptr);
}

std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText, int* fileMode) {
    if (fileMode) *fileMode = -1;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(errorText, ERROR_OPEN);
        return nullptr;
    }
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && fileMode) *fileMode = static_cast<int>(info.st_mode & 07777);
    if (regular && info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) <= SMALL_FILE) {
        // Every byte that is looked at is read first, so the buffer needs no
        // zero fill.
        const auto size = static_cast<std::size_t>(info.st_size);
        const auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        const std::size_t got = readAll(fd, std::span(bytes.get(), size));
        ::close(fd);
        return loadImageFromMemory(std::span(bytes.get(), got), errorText);
    }
    const FilePtr file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        setError(errorText, ERROR_OPEN);
        return nullptr;
    }
    return loadImageFromStream(file.get(), errorText);
}

}  // namespace rle565
