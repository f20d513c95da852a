// Where a writer's output goes. Outputs are replaced safely: bytes go to a
// temporary file in the target's folder, which takes the target's place only
// once every write succeeded, so an existing target, often the input itself,
// stays as it was until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rle565 {

// Told of every named temporary file of an output: observer(path) just
// before the name is made, observer(nullptr) once it is gone again (renamed
// over its target or removed). A program that removes the file when a signal
// ends it keeps the name itself; the library installs no handler and keeps
// no observer of its own. Unnamed temporary files (the usual case on Linux)
// are told only for the moment between their naming and the rename.
using TemporaryFileObserver = void (*)(const char* path);

// Where an output goes, and what the caller knows of it already.
struct OutputTarget {
    // Permission bits for the new file (no more than 0777), given by a caller
    // that knows them and has checked that the umask leaves them whole, as
    // list mode does for the file it has just read. -1: those of the file
    // being replaced, else what fopen would give a new file.
    int mode = -1;
    const char* path = nullptr;
    TemporaryFileObserver observer = nullptr;  // nullptr: nobody is told
    // Not null: the file's bytes are appended to this vector instead, and
    // no file is touched; for callers that keep what a writer makes.
    std::vector<std::uint8_t>* memory = nullptr;

    OutputTarget(const char* targetPath) : path(targetPath) {}  // NOLINT: a plain name will do
    OutputTarget(const char* targetPath, int knownMode) : mode(knownMode), path(targetPath) {}
    explicit OutputTarget(std::vector<std::uint8_t>& bytes) : memory(&bytes) {}
};

// Writes bytes made already as the whole file at output, through the same
// safe replacement as every writer. False when the file cannot be written;
// an existing file is then left as it was.
[[nodiscard]] bool writeFileBytes(const OutputTarget& output, std::span<const std::uint8_t> bytes);

}  // namespace rle565
