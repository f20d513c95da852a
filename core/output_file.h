// Safe replacement of output files: bytes go to a temporary file beside the
// target, which is renamed over the target only once every write succeeded.
// Until then an existing target, often the input itself, stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class OutputFile {
public:
    // Creates the temporary file in the target's folder; isOpen() tells
    // whether that worked.
    explicit OutputFile(const char* path);
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
