// What files say of themselves beyond the image they load as, for
// inspectors such as rle565-info: the format their first bytes name, the
// headers of BMP and PNG files, the palette and palette use of RLE images,
// and the first fault of an RLE file that does not load.
#pragma once

#include <rle565/image.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace rle565 {

enum class FileFormat { Unknown, Bmp, Rle, Png, Gif };

// The format a file's first bytes name: "BM" and "RL" by two bytes, PNG by
// its whole eight-byte signature, GIF by its six ("GIF87a", "GIF89a").
// Fewer bytes, or any other start: Unknown.
FileFormat recogniseFormat(std::span<const std::uint8_t> bytes);

// What a BMP file's headers say, for reports.
struct BmpDescription {
    std::uint16_t bitCount = 0;
    bool bTopDown = false;
    std::uint32_t compression = 0;  // 0 none, 1 RLE8, 2 RLE4, 3 and 6 bit masks
    std::uint32_t nColors = 0;      // colour table entries, for 8 bits and fewer
    bool bMasks = false;
    std::array<std::uint32_t, 4> masks{};  // red, green, blue, alpha, when bMasks
};

// The headers of a whole BMP file in memory ("BM" first), or nothing when
// they cannot be read.
std::optional<BmpDescription> describeBmp(std::span<const std::uint8_t> file);

// What a PNG file's header says, for reports.
struct PngDescription {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t bitDepth = 0;
    std::uint8_t colorType = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    bool bInterlaced = false;
    bool bTransparency = false;         // a tRNS chunk
    std::uint32_t nPaletteEntries = 0;  // the PLTE chunk's entries
};

// The header of a whole PNG file in memory, or nothing when it cannot be read.
std::optional<PngDescription> describePng(std::span<const std::uint8_t> bytes);

// A file's bytes, read whole.
struct FileBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {data.get(), size}; }
};

// Reads the file by name whole, as far as an image file can use it (the
// loader's limits; a pipe or FIFO as its bytes arrive), and its size: that of
// a regular file, else the bytes read. Nothing when it cannot be opened.
std::optional<FileBytes> readImageFile(const char* path, std::uint64_t& fileSize);

// The palette table of a loaded RLE image: one colour per entry and its
// alpha, 32 throughout without an alpha palette. Empty when the tables do
// not lie inside the data block.
struct RlePaletteTable {
    std::vector<std::uint16_t> colors;
    std::vector<std::uint8_t> alphas;
};
RlePaletteTable readRlePalette(const Image& image);

// What the lines of a loaded RLE image draw: pixels per palette entry, the
// pixels skipped, and the palette base of every line, in line order (base 0
// for a line that draws before any switch code), with every switch code's
// base after it.
struct RleUse {
    std::vector<std::uint64_t> drawn;
    std::uint64_t nSkipped = 0;
    std::vector<std::uint32_t> bases;
    // The bytes of the data block that the tables and the lines' codes take;
    // any after them are unused (the loader takes and ignores them).
    std::uint64_t nUsedBytes = 0;
};
RleUse measureRleUse(const Image& image);

// The first structural fault of an RLE file ("RL" first) that does not load:
// what the header says (as an RLE-form record without data), the fault's
// words and its line, -1 for the palette tables. Nothing for a file that is
// sound, too short for its header or beyond the record's 32-bit data size.
struct RleDamage {
    Image header;
    const char* what = "";
    std::int32_t line = -1;
};
std::optional<RleDamage> findRleDamage(std::span<const std::uint8_t> file);

// How a plain image can be stored: with one palette, with several (the
// converter's -v2), or only once its colours are reduced.
enum class ImageFit { Single, Multipal, Reduce };

struct FitReport {
    ImageFit fit = ImageFit::Single;
    std::uint32_t nPairs = 0;        // distinct visible (colour, alpha) pairs
    std::int32_t nFullestLine = -1;  // the line that holds the most pairs, -1 for none
    std::uint32_t nLinePairs = 0;    // the pairs on that line
};

// Judges a plain image as the encoders would: Single with at most 252
// pairs, else Multipal when the multi-palette encoder takes it, else Reduce
// (a line of 252 pairs or more, or more pairs than the palette tables hold).
FitReport judgeFit(const Image& image);

}  // namespace rle565
