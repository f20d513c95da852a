// Safe replacement of output files: bytes go to a temporary file beside the
// target, which is renamed over the target only once every write succeeded.
// Until then an existing target, often the input itself, stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rle565 {

// Where an output goes, and what the caller knows of it already.
struct OutputTarget {
    // Permission bits for the new file (no more than 0777), given by a caller
    // that knows them and has checked that the umask leaves them whole, as
    // list mode does for the file it has just read. -1: those of the file
    // being replaced, else what fopen would give a new file.
    int mode = -1;
    const char* path = nullptr;

    OutputTarget(const char* targetPath) : path(targetPath) {}  // NOLINT: a plain name will do
    OutputTarget(const char* targetPath, int knownMode) : mode(knownMode), path(targetPath) {}
};

class OutputFile {
public:
    // Creates the temporary file in the target's folder; isOpen() tells
    // whether that worked.
    explicit OutputFile(const OutputTarget& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    // Announces the file's final size, so that the file system can set the
    // space aside at once instead of write by write. Only a hint: the file
    // keeps the size of what is written.
    void reserve(std::uint64_t size);

    // Appends bytes. The first failure sticks: later writes do nothing and
    // commit() fails.
    bool write(const void* data, std::size_t size);

    // Flushes, closes and renames over the target. On failure the temporary
    // file is removed and the target is untouched.
    [[nodiscard]] bool commit();

private:
    bool flush();
    void discard();

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool failed_ = false;
    std::string buffer_;
};

}  // namespace rle565
