// The writing step shared by both encoders: header, palette tables, the
// line-length table and the line codes, in one safely replaced file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "output_file.h"

namespace rle565 {

// Where an encoder's file goes: to a file, safely replaced, or appended to
// the caller's bytes in memory.
class RleDestination {
public:
    RleDestination(const OutputTarget& target) : file_(target) {}    // NOLINT: a target will do
    RleDestination(const char* path) : file_(OutputTarget(path)) {}  // NOLINT: so will a name
    explicit RleDestination(std::vector<std::uint8_t>& bytes) : memory_(&bytes) {}

    const OutputTarget* file() const { return file_ ? &*file_ : nullptr; }
    std::vector<std::uint8_t>* memory() const { return memory_; }

private:
    std::optional<OutputTarget> file_;
    std::vector<std::uint8_t>* memory_ = nullptr;
};

struct RleHeader {
    std::uint16_t flags = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t paletteSize = 0;
};

// Writes one RLE file. `palette` and, when not empty, `alphaPalette` hold
// header.paletteSize entries each. False when the file cannot be created or a
// write fails; an existing file of that name is then left as it was. Bytes in
// memory are appended to and never fail short of running out of memory.
[[nodiscard]] bool writeRleFile(const RleDestination& destination, const RleHeader& header,
                                std::span<const std::uint16_t> palette,
                                std::span<const std::uint8_t> alphaPalette,
                                std::span<const std::uint8_t> lineLengths,
                                std::span<const std::uint8_t> lineCodes);

}  // namespace rle565
