#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <vector>

#include "output_file_calls.h"

namespace rle565 {

// The calls whose failures the tests provoke go through the table of
// output_file_calls.h in test builds, straight to the system in all others.
#ifdef RLE565_FAULT_INJECTION
namespace detail {
OutputFileCalls outputFileCalls = {::close,  ::fdatasync, ::fsync,
                                   ::fchown, ::listxattr, ::flistxattr};
}  // namespace detail
#define SYSTEM_CALL(name) detail::outputFileCalls.name
#else
#define SYSTEM_CALL(name) ::name
#endif

namespace {

// Writes are gathered up to this size; larger blocks go to the file directly.
constexpr std::size_t BUFFER_SIZE = 1 << 16;

// Temporary names are this, then six letters, in the target's folder: short
// whatever the target's name, so a target of the longest name the file
// system allows still gets one.
constexpr const char* TEMPORARY_PREFIX = ".rle565-";
constexpr std::size_t TEMPORARY_LETTERS = 6;
constexpr int NAME_ATTEMPTS = 100;

void notifyTemporary(TemporaryFileObserver observer, const char* path) {
    if (observer) observer(path);
}

// Brings a folder's entries to the disk.
void syncFolder(const std::string& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    SYSTEM_CALL(fsync)(fd);
    SYSTEM_CALL(close)(fd);
}

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

// Fills the last letters of temporary names. The names come from the clock
// and the attempt, mixed; a name taken already (another process writing into
// the same folder) just means another attempt.
class NameLetters {
public:
    explicit NameLetters(const void* salt) {
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        seed_ = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                static_cast<std::uint64_t>(now.tv_nsec) + reinterpret_cast<std::uintptr_t>(salt);
    }

    void fill(std::string& name) {
        constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        constexpr std::uint64_t NLETTERS = sizeof LETTERS - 1;
        // splitmix64: every bit of the seed moves every letter.
        seed_ += 0x9E3779B97F4A7C15u;
        std::uint64_t bits = seed_;
        bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9u;
        bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBu;
        bits ^= bits >> 31;
        const std::size_t tail = name.size() - TEMPORARY_LETTERS;
        for (std::size_t k = 0; k < TEMPORARY_LETTERS; ++k) {
            name[tail + k] = LETTERS[bits % NLETTERS];
            bits /= NLETTERS;
        }
    }

private:
    std::uint64_t seed_ = 0;
};

// Creates a named temporary file `name` (whose last letters are replaced)
// with the given permissions; its descriptor, or -1. Like mkstemp, but with
// the permissions chosen by the caller, and the observer told of each name.
int createNamedTemporary(std::string& name, mode_t mode, TemporaryFileObserver observer) {
    NameLetters letters(&name);
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        letters.fill(name);
        notifyTemporary(observer, name.c_str());
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        const int error = errno;
        notifyTemporary(observer, nullptr);
        if (error != EEXIST) break;
    }
    name.clear();
    return -1;
}

// The NUL-separated attribute names that list(buffer, size) gives, in
// `names`; false when they cannot be read. A file system without extended
// attributes has none.
template <class List>
bool readAttributeNames(List list, std::vector<char>& names) {
    for (;;) {
        const ssize_t size = list(nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        names.resize(static_cast<std::size_t>(size));
        if (size == 0) return true;
        const ssize_t got = list(names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile
    }
}

bool containsName(const std::vector<char>& names, std::string_view name) {
    for (std::size_t at = 0; at < names.size();) {
        const std::string_view entry(names.data() + at);
        if (entry == name) return true;
        at += entry.size() + 1;
    }
    return false;
}

// Labels of security modules are the kernel's to give; a file that gets
// another label than the one it replaces is not refused for it.
bool isSecurityLabel(std::string_view name) { return name.rfind("security.", 0) == 0; }

// Gives the file open as `fd` the extended attributes of the file at
// `source`, its ACL among them (system.posix_acl_access), and takes away
// those it was given by its folder that the source lacks. *bChanged tells
// whether any was set or removed.
bool copyAttributes(const char* source, int fd, bool* bChanged) {
    std::vector<char> names;
    std::vector<char> own;
    if (!readAttributeNames(
            [source](char* list, std::size_t size) {
                return SYSTEM_CALL(listxattr)(source, list, size);
            },
            names) ||
        !readAttributeNames(
            [fd](char* list, std::size_t size) { return SYSTEM_CALL(flistxattr)(fd, list, size); },
            own))
        return false;
    for (std::size_t at = 0; at < own.size();) {
        const std::string_view name(own.data() + at);
        at += name.size() + 1;
        if (isSecurityLabel(name) || containsName(names, name)) continue;
        if (::fremovexattr(fd, name.data()) != 0 && errno != ENODATA) return false;
        *bChanged = true;
    }
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t size = 0;
        for (;;) {
            size = ::getxattr(source, name, nullptr, 0);
            if (size < 0) break;
            value.resize(static_cast<std::size_t>(size));
            size = ::getxattr(source, name, value.data(), value.size());
            if (size >= 0 || errno != ERANGE) break;
        }
        if (size < 0) {
            if (errno == ENODATA) continue;  // removed since the list was read
            return false;
        }
        if (::fsetxattr(fd, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
            if (isSecurityLabel(name)) continue;
            return false;
        }
        *bChanged = true;
    }
    return true;
}

}  // namespace

OutputFile::OutputFile(const OutputTarget& target) {
    if (target.memory) {
        memory_ = target.memory;
        return;
    }
    if (!target.path) return;
    target_ = target.path;
    observer_ = target.observer;
    struct stat info {};
    const bool bExists = ::lstat(target.path, &info) == 0;
    const bool bLink = bExists && S_ISLNK(info.st_mode);
    // A link that leads nowhere (or round in circles) cannot be written.
    if (bLink && ::stat(target.path, &info) != 0) return;
    if (bExists && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        // A device, FIFO or socket is written to as it is: replacing it by a
        // file would take it away from everything else that uses it. A FIFO
        // that nobody reads would hold the open forever: that is a failed
        // write at once; one with a reader is then written as a file is.
        fd_ = ::open(target.path, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ >= 0) {
            const int flags = ::fcntl(fd_, F_GETFL);
            if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                SYSTEM_CALL(close)(fd_);
                fd_ = -1;
            }
        }
        if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || S_ISREG(info.st_mode))) {
            // It became a file meanwhile: that is not written in place.
            SYSTEM_CALL(close)(fd_);
            fd_ = -1;
        }
        bDirect_ = true;
        if (fd_ >= 0) buffer_.reserve(BUFFER_SIZE);
        return;
    }
    if (bLink) {
        // The file a link leads to is replaced where it lies, so that the
        // link stays a link and the new file keeps its folder.
        char real[PATH_MAX];
        if (!::realpath(target.path, real)) return;
        target_ = real;
    }
    const bool bKnownMode = target.mode >= 0 && (target.mode & ~0777) == 0;
    bReplacing_ = bExists && S_ISREG(info.st_mode);
    if (bReplacing_) {
        replacedUid_ = info.st_uid;
        replacedGid_ = info.st_gid;
    }
    bSetMode_ = bReplacing_ || bKnownMode;
    finalMode_ = bKnownMode ? static_cast<mode_t>(target.mode) : info.st_mode & 07777;

    // The temporary file lives in the target's folder so that the final
    // rename stays within one file system and replaces the target atomically.
    const std::size_t slash = target_.rfind('/');
    folder_ = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    // A new file is created with 0666, which the kernel reduces by the umask
    // as fopen's would be: the process-wide umask is never changed to read
    // it. A replacement starts private and gets its permissions at commit,
    // unless the caller vouches for them.
    mode_t mode = bReplacing_ ? 0600 : 0666;
#ifdef O_TMPFILE
    // Without a name the file cannot be opened by others and goes with the
    // process, however it ends, until commit() names it.
    // Writable by its owner until commit, so that attributes can still be
    // set on a replacement for a read-only file.
    if (bKnownMode) mode = static_cast<mode_t>(target.mode) | S_IWUSR;
    fd_ = ::open(folder_.empty() ? "." : folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    bUnnamed_ = fd_ >= 0;
#endif
    if (fd_ < 0) {
        // The file system cannot make unnamed files: a hidden named one,
        // private until commit unless it is a new file.
        mode = bSetMode_ ? 0600 : 0666;
        temp_ = folder_ + TEMPORARY_PREFIX + std::string(TEMPORARY_LETTERS, 'X');
        fd_ = createNamedTemporary(temp_, mode, observer_);
    }
    createdMode_ = mode;
    if (fd_ >= 0) buffer_.reserve(BUFFER_SIZE);
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
    if (fd_ < 0 || bDirect_ || size == 0 ||
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
    if (memory_) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        memory_->insert(memory_->end(), bytes, bytes + size);
        return true;
    }
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

// The owner first, as a change of owner clears the set-user and set-group
// bits; then the attributes, which a file without write permission no longer
// takes; then the permissions.
bool OutputFile::setOwnerAndPermissions() {
    mode_t mode = finalMode_;
    bool bChanged = false;
    if (bReplacing_) {
        if (SYSTEM_CALL(fchown)(fd_, replacedUid_, replacedGid_) != 0) {
            // Only root gives files away; an owner may still keep the group.
            const bool bGroup = SYSTEM_CALL(fchown)(fd_, static_cast<uid_t>(-1), replacedGid_) == 0;
            struct stat made;
            if (::fstat(fd_, &made) != 0) return false;
            if (made.st_uid != replacedUid_) mode &= ~S_ISUID;
            if (!bGroup && made.st_gid != replacedGid_) {
                // Another group owns the new file: it gets no more than
                // everybody else had.
                const mode_t others = mode & 07;
                mode &= ~(S_ISGID | (070 & ~(others << 3)));
            }
        }
        if (!copyAttributes(target_.c_str(), fd_, &bChanged)) return false;
    }
    // An ACL just set has put its mask into the group bits, which the
    // replaced file's mode holds as well.
    if (bChanged || mode != createdMode_ || (mode & 07000) != 0) return ::fchmod(fd_, mode) == 0;
    return true;
}

// Links the unnamed file open as `fd` under `name`: by the descriptor where
// the process may (root, or any process on newer kernels), else through
// /proc; false with errno set.
bool linkDescriptor(int fd, const char* name) {
#ifdef AT_EMPTY_PATH
    if (::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT && errno != EPERM) return false;
#endif
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the unnamed file a name: the target's own when there is no file of
// that name yet, so that it never has another; else a temporary one beside
// it, which the rename then puts in the target's place. *bInPlace tells
// which.
bool OutputFile::nameTemporary(bool& bInPlace) {
    if (!bReplacing_ && linkDescriptor(fd_, target_.c_str())) {
        bInPlace = true;
        return true;
    }
    temp_ = folder_ + TEMPORARY_PREFIX + std::string(TEMPORARY_LETTERS, 'X');
    NameLetters letters(&temp_);
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        letters.fill(temp_);
        notifyTemporary(observer_, temp_.c_str());
        if (linkDescriptor(fd_, temp_.c_str())) return true;
        const int error = errno;
        notifyTemporary(observer_, nullptr);
        if (error != EEXIST) break;
    }
    temp_.clear();
    return false;
}

bool OutputFile::commit() {
    if (memory_) return true;
    if (fd_ < 0) return false;
    bool ok = flush();
    if (bDirect_) {
        ok = SYSTEM_CALL(close)(fd_) == 0 && ok;
        fd_ = -1;
        return ok;
    }
    if (ok && bSetMode_) ok = setOwnerAndPermissions();
    // A file that takes another's place reaches the disk before the rename,
    // so that a power cut leaves the old file or the new one whole, never
    // an empty one; a new file that replaces nothing need not wait.
    if (ok && bReplacing_) ok = SYSTEM_CALL(fdatasync)(fd_) == 0;
    bool bInPlace = false;
    if (ok && bUnnamed_) ok = nameTemporary(bInPlace);
    ok = SYSTEM_CALL(close)(fd_) == 0 && ok;
    fd_ = -1;
    if (bInPlace) {
        if (ok) return true;
        // A new file that the close reports not whole goes again.
        ::unlink(target_.c_str());
        return false;
    }
    if (ok && ::rename(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        notifyTemporary(observer_, nullptr);
        // The folder's entry, which now names the new file, follows it to
        // the disk. The file is in place whatever this says; a folder that
        // cannot be synced (some file systems refuse) changes nothing.
        if (bReplacing_) syncFolder(folder_);
        return true;
    }
    discard();
    return false;
}

void OutputFile::discard() {
    if (fd_ >= 0) {
        SYSTEM_CALL(close)(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
        notifyTemporary(observer_, nullptr);
    }
}

bool writeFileBytes(const OutputTarget& output, std::span<const std::uint8_t> bytes) {
    OutputFile out(output);
    if (!out.isOpen()) return false;
    out.reserve(bytes.size());
    out.write(bytes.data(), bytes.size());
    return out.commit();
}

}  // namespace rle565
