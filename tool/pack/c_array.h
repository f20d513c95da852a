// The C source and header rle565-pack writes for --c-array: every sprite's
// bytes as a const, 4-byte aligned array, with its size and sides as macros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rle565 {

struct CSprite {
    std::string name;  // the C name; unique among the sprites
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bytes;  // the RLE file
};

// The text of the header: an include guard from headerName, and per sprite
// NAME_SIZE, NAME_WIDTH, NAME_HEIGHT and the array's declaration.
std::string makeCHeader(const std::vector<CSprite>& sprites, const std::string& headerName);

// The text of the source, which includes the header by headerName; the
// arrays go into the linker section `section` when it is not empty.
std::string makeCSource(const std::vector<CSprite>& sprites, const std::string& headerName,
                        const std::string& section);

}  // namespace rle565
