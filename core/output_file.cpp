#include <fcntl.h>
#include <rle565/output_file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

namespace rle565 {

namespace {

// Writes are gathered up to this size; larger blocks go to the file directly.
constexpr std::size_t BUFFER_SIZE = 1 << 16;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates a file named after `pattern`, whose last six characters are
// replaced, with the given permissions; returns its descriptor, or -1.
// Like mkstemp, but with the permissions chosen by the caller. The names
// come from the clock and the attempt, mixed; a name taken already (another
// process writing the same target) just means another attempt.
int createTemporary(std::string& pattern, mode_t mode) {
    constexpr int ATTEMPTS = 100;
    constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr std::uint64_t NLETTERS = sizeof LETTERS - 1;
    const std::size_t tail = pattern.size() - 6;
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                         static_cast<std::uint64_t>(now.tv_nsec) +
                         reinterpret_cast<std::uintptr_t>(&pattern);
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        // splitmix64: every bit of the seed moves every letter.
        seed += 0x9E3779B97F4A7C15u;
        std::uint64_t bits = seed;
        bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9u;
        bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBu;
        bits ^= bits >> 31;
        for (std::size_t k = 0; k < 6; ++k) {
            pattern[tail + k] = LETTERS[bits % NLETTERS];
            bits /= NLETTERS;
        }
        const int fd = ::open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

OutputFile::OutputFile(const OutputTarget& target) : target_(target.path) {
    // The temporary file lives in the target's folder so that the final
    // rename stays within one file system and replaces the target atomically.
    const std::size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    temp_ = folder + "." + name + ".XXXXXX";
    if (target.mode >= 0 && (target.mode & ~0777) == 0) {
        // The permissions are known: the file is made with them at once,
        // which saves looking at the target and changing them afterwards.
        fd_ = createTemporary(temp_, static_cast<mode_t>(target.mode));
        if (fd_ < 0) temp_.clear();
        buffer_.reserve(BUFFER_SIZE);
        return;
    }
    // Keep the permissions of a file being replaced. A new file is created
    // with 0666, which the kernel reduces by the umask as fopen's would be:
    // the process-wide umask is never changed to read it.
    struct stat existing;
    const bool bReplacing = ::stat(target.path, &existing) == 0 && S_ISREG(existing.st_mode);
    fd_ = createTemporary(temp_, bReplacing ? 0600 : 0666);
    if (fd_ < 0) {
        temp_.clear();
        return;
    }
    if (bReplacing && ::fchmod(fd_, existing.st_mode & 07777) != 0) failed_ = true;
    buffer_.reserve(BUFFER_SIZE);
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::flush() {
    if (failed_) return false;
    if (!buffer_.empty()) {
        failed_ = !writeAll(fd_, buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    return !failed_;
}

void OutputFile::reserve(std::uint64_t size) {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    if (fd_ < 0 || size == 0 ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return;
    // On tmpfs a reservation only zero-fills memory pages that the writes
    // then overwrite: measurably slower. Disk file systems gain from it.
    struct statfs info;
    if (::fstatfs(fd_, &info) != 0 || info.f_type == TMPFS_MAGIC) return;
    // Where the call is unknown or refused, the writes allocate as they go.
    ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
#else
    (void)size;
#endif
}

bool OutputFile::write(const void* data, std::size_t size) {
    if (fd_ < 0 || failed_) return false;
    if (size == 0) return true;
    const char* bytes = static_cast<const char*>(data);
    if (buffer_.size() + size <= BUFFER_SIZE) {
        buffer_.append(bytes, size);
        return true;
    }
    if (!flush()) return false;
    if (size < BUFFER_SIZE) {
        buffer_.append(bytes, size);
        return true;
    }
    failed_ = !writeAll(fd_, bytes, size);
    return !failed_;
}

bool OutputFile::commit() {
    if (fd_ < 0) return false;
    bool ok = flush();
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    if (ok && ::rename(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        return true;
    }
    discard();
    return false;
}

void OutputFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace rle565
