// rle565-info: says what BMP and RLE files hold and whether the converter
// would load them, as text or as one JSON object per file, and draws the
// palette table of an RLE file as a swatch.
#include <rle565/bmp_writer.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "info_report.h"
#include "info_swatch.h"
#include "text_escape.h"

namespace rle565 {

#ifndef RLE565_VERSION
#define RLE565_VERSION "unknown"
#endif

namespace {

constexpr const char* USAGE = "usage: rle565-info [--json] [--swatch out.bmp] file...\n";

constexpr const char* HELP =
    "usage: rle565-info [--json] [--swatch out.bmp] file...\n"
    "Describes BMP and RLE files: kind, size, bit depth or RLE variant, palettes,\n"
    "transparency, file size against an uncompressed BMP, and whether the\n"
    "converter rle565 would load the file (for a damaged RLE file: the first\n"
    "fault and its line).\n"
    "\n"
    "Options:\n"
    "  --json            print one JSON object per file, one line each\n"
    "  --swatch out.bmp  draw the palette table of the one RLE file given as a\n"
    "                    grid of 16x16 colour cells into the BMP file out.bmp\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "  --                end of options: every later argument is a file name\n"
    "\n"
    "Exit status: 0 when every file loaded and is sound, 1 otherwise.\n";

struct Options {
    bool bJson = false;
    const char* swatchPath = nullptr;
    std::vector<const char*> files;
};

// Reads the command line into `options`; an exit status when the program is
// done with it already (help, version or a mistake).
std::optional<int> parseOptions(int argc, char** argv, Options& options, std::FILE* out,
                                std::FILE* err) {
    bool bOptions = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!bOptions || arg[0] != '-' || arg[1] == '\0') {
            options.files.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            bOptions = false;
        } else if (std::strcmp(arg, "--json") == 0) {
            options.bJson = true;
        } else if (std::strcmp(arg, "--swatch") == 0) {
            if (i + 1 == argc) {
                std::fprintf(err, "rle565-info: option '--swatch' needs a file name\n");
                return 1;
            }
            options.swatchPath = argv[++i];
        } else if (std::strncmp(arg, "--swatch=", 9) == 0 && arg[9] != '\0') {
            options.swatchPath = arg + 9;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fprintf(out, "%s", HELP);
            return 0;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::fprintf(out, "rle565-info %s\n", RLE565_VERSION);
            return 0;
        } else {
            std::fprintf(err, "rle565-info: unknown option '%s'\n", terminalText(arg).c_str());
            return 1;
        }
    }
    if (options.files.empty()) {
        std::fprintf(err, "%s", USAGE);
        return 1;
    }
    if (options.swatchPath && options.files.size() != 1) {
        std::fprintf(err, "rle565-info: --swatch takes exactly one file\n");
        return 1;
    }
    return std::nullopt;
}

double share(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

bool isMultipal(const FileReport& r) {
    return r.kind == FileKind::Rle && (r.flagsWord & RLE_MULTIPAL) != 0;
}

void printText(const char* name, const FileReport& r, std::FILE* out) {
    std::fprintf(out, "%s\n", terminalText(name).c_str());
    if (r.kind == FileKind::Rle) {
        std::fprintf(out, "  kind         RLE, %s, %s\n",
                     isMultipal(r) ? "multi-palette" : "single palette",
                     r.bAlpha ? "alpha" : "no alpha");
    } else {
        std::fprintf(out, "  kind         %s\n", describeSource(r).c_str());
        if (r.bMasks) std::fprintf(out, "  masks        %s\n", describeMasks(r).c_str());
    }
    std::fprintf(out, "  size         %" PRId32 " x %" PRId32 " pixels\n", r.width, r.height);
    if (r.kind == FileKind::Rle) {
        std::fprintf(out, "  palette      %" PRIu32 " entries\n", r.nPaletteEntries);
    } else if (r.nPaletteEntries > 0) {
        std::fprintf(out, "  palette      %" PRIu32 " colour table entries\n", r.nPaletteEntries);
    } else {
        std::fprintf(out, "  palette      none\n");
    }
    if (isMultipal(r) && r.bCounted) {
        std::fprintf(out, "  palettes     %zu in use", r.palettes.size());
        const char* separator = ", sizes ";
        for (const PaletteUse& pal : r.palettes) {
            std::fprintf(out, "%s%" PRIu32, separator, pal.size);
            separator = ", ";
        }
        std::fprintf(out, "\n");
    }
    if (r.kind != FileKind::Rle) {
        std::fprintf(out, "  colours      %" PRIu32 " visible, at most %" PRIu32 " in one line\n",
                     r.nColors, r.nLineColorsMax);
    }
    if (r.bJudged) std::fprintf(out, "  verdict      %s\n", describeVerdict(r.fit).c_str());
    if (r.bCounted) {
        std::fprintf(out,
                     "  transparent  %.2f%% (%" PRIu64 " of %" PRIu64
                     " pixels), partial alpha %.2f%% (%" PRIu64 ")\n",
                     100.0 * share(r.nTransparent, r.nPixels), r.nTransparent, r.nPixels,
                     100.0 * share(r.nPartial, r.nPixels), r.nPartial);
    }
    std::fprintf(out,
                 "  file size    %" PRIu64 " bytes, %.2f%% of %" PRIu64 " bytes as a %u-bit BMP\n",
                 r.fileSize, 100.0 * share(r.fileSize, r.bmpSize), r.bmpSize, unsigned{r.bmpDepth});
    if (r.nUnusedBytes > 0) {
        std::fprintf(out, "  unused       %" PRIu64 " bytes after the last line's codes\n",
                     r.nUnusedBytes);
    }
    if (r.fault.empty()) {
        std::fprintf(out, "  sound        yes\n");
    } else if (r.faultLine >= 0) {
        std::fprintf(out, "  sound        no, %s (line %" PRId32 ")\n", r.fault.c_str(),
                     r.faultLine);
    } else {
        std::fprintf(out, "  sound        no, %s\n", r.fault.c_str());
    }
}

// Appends one key and its already formatted value to a JSON object.
class JsonObject {
public:
    void add(const char* key, const std::string& value) {
        text_ += text_.empty() ? "{" : ",";
        text_ += jsonString(key) + ":" + value;
    }
    void add(const char* key, std::uint64_t value) { add(key, std::to_string(value)); }
    void add(const char* key, std::int64_t value) { add(key, std::to_string(value)); }
    void addBool(const char* key, bool value) { add(key, std::string(value ? "true" : "false")); }
    void addText(const char* key, const char* value) { add(key, jsonString(value)); }
    void addShare(const char* key, double value) {
        char number[32];
        std::snprintf(number, sizeof number, "%.4f", value);
        add(key, std::string(number));
    }
    std::string close() const { return text_ + "}"; }

private:
    std::string text_;
};

void printJson(const char* name, const FileReport& r, std::FILE* out) {
    JsonObject json;
    json.addText("file", name);
    if (!r.bHeaderRead) {
        json.addBool("sound", false);
        json.addText("error", r.error.c_str());
        std::fprintf(out, "%s\n", json.close().c_str());
        return;
    }
    json.addText("kind", r.kind == FileKind::Rle   ? "rle"
                         : r.kind == FileKind::Png ? "png"
                         : r.kind == FileKind::Gif ? "gif"
                                                   : "bmp");
    json.add("width", std::int64_t{r.width});
    json.add("height", std::int64_t{r.height});
    if (r.kind == FileKind::Rle) {
        json.addText("variant", isMultipal(r) ? "multi" : "single");
    } else {
        json.add("bit_depth", std::uint64_t{r.bitDepth});
        if (r.kind == FileKind::Png) {
            json.addText("color_type", pngColorTypeName(r.pngColorType));
            json.addBool("interlaced", r.bInterlaced);
            json.addBool("trns", r.bTransparencyChunk);
        } else {
            json.addBool("top_down", r.bTopDown);
        }
        if (const char* name = compressionName(r.compression); name && r.kind == FileKind::Bmp)
            json.addText("compression", name);
        if (r.bMasks) {
            json.add("masks", "[" + std::to_string(r.masks[0]) + "," + std::to_string(r.masks[1]) +
                                  "," + std::to_string(r.masks[2]) + "," +
                                  std::to_string(r.masks[3]) + "]");
        }
    }
    json.addBool("alpha", r.bAlpha);
    json.add("palette_entries", std::uint64_t{r.nPaletteEntries});
    if (isMultipal(r) && r.bCounted) {
        std::string list = "[";
        for (const PaletteUse& pal : r.palettes) {
            if (list.size() > 1) list += ",";
            list += "{\"base\":" + std::to_string(pal.base) +
                    ",\"size\":" + std::to_string(pal.size) + "}";
        }
        json.add("palettes", list + "]");
    }
    if (r.kind != FileKind::Rle) {
        json.add("colors", std::uint64_t{r.nColors});
        json.add("line_colors_max", std::uint64_t{r.nLineColorsMax});
    }
    if (r.bJudged) {
        json.addText("verdict", verdictName(r.fit.fit));
        if (r.fit.fit == ImageFit::Reduce) {
            json.add("verdict_line", std::int64_t{r.fit.nFullestLine});
            json.add("verdict_line_pairs", std::uint64_t{r.fit.nLinePairs});
        }
    }
    if (r.bCounted) {
        json.add("pixels", r.nPixels);
        json.add("transparent_pixels", r.nTransparent);
        json.add("partial_pixels", r.nPartial);
        json.addShare("transparent_share", share(r.nTransparent, r.nPixels));
    }
    json.add("file_size", r.fileSize);
    json.add("bmp_size", r.bmpSize);
    json.add("bmp_depth", std::uint64_t{r.bmpDepth});
    json.addShare("size_ratio", share(r.fileSize, r.bmpSize));
    if (r.kind == FileKind::Rle && r.bCounted) json.add("unused_bytes", r.nUnusedBytes);
    json.addBool("sound", r.fault.empty());
    if (!r.fault.empty()) {
        json.addText("error", r.error.c_str());
        json.addText("fault", r.fault.c_str());
        json.add("fault_line", r.faultLine >= 0 ? std::to_string(r.faultLine) : "null");
    }
    std::fprintf(out, "%s\n", json.close().c_str());
}

// The one line on the error stream for a file that does not load.
void printError(const char* name, const FileReport& r, std::FILE* err) {
    const std::string shown = terminalText(name);
    if (r.fault.empty()) {
        std::fprintf(err, "%s: %s\n", shown.c_str(), r.error.c_str());
    } else if (r.faultLine >= 0) {
        std::fprintf(err, "%s: %s: %s (line %" PRId32 ")\n", shown.c_str(), r.error.c_str(),
                     r.fault.c_str(), r.faultLine);
    } else {
        std::fprintf(err, "%s: %s: %s\n", shown.c_str(), r.error.c_str(), r.fault.c_str());
    }
}

// Draws and writes the swatch of an inspected file; false after printing why not.
bool writeSwatch(const char* name, const FileReport& r, const char* swatchPath, std::FILE* err) {
    if (!r.error.empty()) return false;  // already reported
    if (r.kind != FileKind::Rle) {
        std::fprintf(err, "%s: no palette to draw, not an RLE file\n", terminalText(name).c_str());
        return false;
    }
    std::size_t nRowsLeft = 0;
    const std::optional<Image> swatch =
        drawSwatch(*r.image, isMultipal(r) ? r.palettes : std::vector<PaletteUse>{}, &nRowsLeft);
    if (!swatch) {
        std::fprintf(err, "%s: no palette entries to draw\n", terminalText(name).c_str());
        return false;
    }
    if (!writeBmp(*swatch, swatchPath)) {
        std::fprintf(err, "%s: failed to write file\n", terminalText(swatchPath).c_str());
        return false;
    }
    if (nRowsLeft > 0) {
        // A note, not a failure: the swatch shows the first rows.
        std::fprintf(err, "%s: the swatch shows the first %zu rows; %zu more %s left out\n",
                     terminalText(swatchPath).c_str(), SWATCH_MAX_ROWS, nRowsLeft,
                     isMultipal(r) ? "palettes are" : "rows of entries are");
    }
    return true;
}

// Inspects and reports one file; false when it did not load or is damaged.
bool reportFile(const char* name, const Options& options, std::FILE* out, std::FILE* err) {
    FileReport report;
    try {
        report = inspectFile(name);
    } catch (const std::bad_alloc&) {
        report = FileReport{};
        report.error = "out of memory";
    } catch (const std::length_error&) {
        report = FileReport{};
        report.error = "out of memory";
    }
    if (options.bJson) {
        printJson(name, report, out);
    } else if (report.bHeaderRead) {
        printText(name, report, out);
    }
    // Keeps the two streams in order when they share a file.
    std::fflush(out);
    if (!report.error.empty()) printError(name, report, err);
    bool bOk = report.error.empty();
    if (options.swatchPath) {
        try {
            bOk = writeSwatch(name, report, options.swatchPath, err) && bOk;
        } catch (const std::bad_alloc&) {
            std::fprintf(err, "%s: out of memory\n", terminalText(options.swatchPath).c_str());
            bOk = false;
        }
    }
    return bOk;
}

int runInfo(int argc, char** argv, std::FILE* out, std::FILE* err) {
    Options options;
    if (const auto status = parseOptions(argc, argv, options, out, err)) return *status;
    bool bAllSound = true;
    for (const char* name : options.files)
        bAllSound = reportFile(name, options, out, err) && bAllSound;
    return bAllSound ? 0 : 1;
}

}  // namespace

}  // namespace rle565

int main(int argc, char** argv) { return rle565::runInfo(argc, argv, stdout, stderr); }
