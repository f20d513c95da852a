// Safe replacement of output files: bytes go to a temporary file in the
// target's folder, which takes the target's place only once every write
// succeeded. Until then an existing target, often the input itself, stays as
// it was. The temporary file has no name while it is written, where the file
// system allows that, so a process killed at any moment leaves nothing.
#pragma once

#include <rle565/output_target.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rle565 {

// How an output reaches its target:
// - a target that exists and is not a regular file or folder (a device, a
//   FIFO, a socket) is opened as it is and written to directly;
// - a symbolic link is followed, and the file it leads to is replaced in its
//   own folder, so the link stays a link; a link that leads nowhere fails;
// - anything else is replaced by a new file, which keeps the owner and group
//   (where the process may set them), the extended attributes and ACL and
//   the permissions of the file it replaces, never with more permission.
class OutputFile {
public:
    // Opens the target or creates the temporary file; isOpen() tells
    // whether that worked.
    explicit OutputFile(const OutputTarget& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return fd_ >= 0 || memory_ != nullptr; }

    // Announces the file's final size, so that the file system can set the
    // space aside at once instead of write by write. Only a hint: the file
    // keeps the size of what is written.
    void reserve(std::uint64_t size);

    // Appends bytes. The first failure sticks: later writes do nothing and
    // commit() fails.
    bool write(const void* data, std::size_t size);

    // Flushes, gives the new file the replaced file's owner, attributes and
    // permissions, and puts it in the target's place (or closes a target
    // written directly). On failure the temporary file goes and the target
    // is untouched.
    [[nodiscard]] bool commit();

private:
    bool flush();
    bool setOwnerAndPermissions();
    bool nameTemporary(bool& bInPlace);
    void discard();

    TemporaryFileObserver observer_ = nullptr;
    std::vector<std::uint8_t>* memory_ = nullptr;  // the bytes go here, not to a file
    std::string target_;  // the path renamed over: the file itself, links followed
    std::string folder_;  // its folder, with a closing '/', or empty for the working folder
    std::string temp_;    // the temporary file's name while it has one
    int fd_ = -1;
    bool failed_ = false;
    bool bDirect_ = false;     // a device or FIFO, written as it is
    bool bUnnamed_ = false;    // made without a name (O_TMPFILE), named at commit
    bool bReplacing_ = false;  // a regular file is being replaced: its owner below
    bool bSetMode_ = false;    // finalMode_ is set at commit
    uid_t replacedUid_ = 0;
    gid_t replacedGid_ = 0;
    mode_t finalMode_ = 0;
    mode_t createdMode_ = 0;  // the permissions the new file was made with
    std::string buffer_;
};

}  // namespace rle565
