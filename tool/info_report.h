// What rle565-info finds out about one file: its kind and shape, the palette
// layout of RLE files, pixel statistics, sizes, and whether the converter
// would load it.
#pragma once

#include <rle565/image.h>
#include <rle565/inspect.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rle565 {

enum class FileKind { Bmp, Rle, Png, Gif };

// One palette of a multi-palette file: local number k is entry base + k.
struct PaletteUse {
    std::uint32_t base = 0;
    std::uint32_t size = 0;
};

struct FileReport {
    // Empty when the file loaded. Otherwise the loader's message; a damaged
    // RLE file also has bHeaderRead and the fault below.
    std::string error;
    bool bHeaderRead = false;  // the fields up to fileSize are valid
    FileKind kind = FileKind::Bmp;
    std::int32_t width = 0;
    std::int32_t height = 0;

    // BMP and PNG files. PNG: bits per sample.
    std::uint16_t bitDepth = 0;
    bool bTopDown = false;
    std::uint32_t compression = 0;  // BMP: 0 none, 1 RLE8, 2 RLE4, 3 and 6 bit masks
    bool bMasks = false;
    std::array<std::uint32_t, 4> masks{};  // BMP: red, green, blue, alpha
    std::uint8_t pngColorType = 0;
    bool bInterlaced = false;
    bool bTransparencyChunk = false;   // PNG: a tRNS chunk
    std::uint32_t nColors = 0;         // distinct visible (colour, alpha) pairs
    std::uint32_t nLineColorsMax = 0;  // the most of them in one line
    // Images: whether they fit one palette, need -v2, or must be reduced.
    bool bJudged = false;
    FitReport fit;

    // RLE files.
    std::uint16_t flagsWord = 0;
    std::vector<PaletteUse> palettes;  // multi-palette files that are sound

    bool bAlpha = false;                // alpha plane or alpha palette
    std::uint32_t nPaletteEntries = 0;  // RLE: N; BMP: colour table entries

    std::uint64_t fileSize = 0;
    std::uint64_t bmpSize = 0;  // the same image as the BMP file writeBmp makes
    std::uint16_t bmpDepth = 24;

    // Pixel statistics, for files that loaded.
    bool bCounted = false;
    std::uint64_t nUnusedBytes = 0;  // RLE: bytes after the last line's codes
    std::uint64_t nPixels = 0;
    std::uint64_t nTransparent = 0;  // skipped, or alpha 0, or the colour key without alpha
    std::uint64_t nPartial = 0;      // alpha 1 to 31

    // A damaged RLE file: the first structural fault and its line (-1: the
    // palette tables).
    std::string fault;
    std::int32_t faultLine = -1;

    std::unique_ptr<Image> image;  // the loaded image, kept for the swatch
};

// Inspects one file. Never throws for file content; an allocation failure
// propagates as std::bad_alloc.
FileReport inspectFile(const char* path);

// The source format of a BMP or PNG file for the "kind" line: depth,
// compression or colour type, row order, interlacing.
std::string describeSource(const FileReport& report);

// The verdict's name for JSON ("single", "multipal", "reduce"), and its
// text: the name and why, for "reduce" the fullest line and its pairs.
const char* verdictName(ImageFit fit);
std::string describeVerdict(const FitReport& fit);

// A BMP file's bit masks ("red 0x0000F800, green ..."), or "" without masks.
std::string describeMasks(const FileReport& report);

// The names of the compression and colour type for JSON: "rle8", "rle4",
// "bitfields", "alphabitfields"; "grey", "rgb", "palette", "grey_alpha",
// "rgba". nullptr for uncompressed BMP files.
const char* compressionName(std::uint32_t compression);
const char* pngColorTypeName(std::uint8_t colorType);

// Palette sizes from the bases that lines select (any order, repeats
// allowed) and the entry count N: sorted, each up to the next base, the last
// up to entry N - 1.
std::vector<PaletteUse> paletteSizes(std::vector<std::uint32_t> bases, std::uint32_t nEntries);

}  // namespace rle565
