// rle565-pack: finds the images below folders, converts each losslessly
// when it can (one palette, else several), reduces colours when asked, and
// writes the sprites below an output folder and as a C array, in parallel.
#include "pack.h"

#include <fcntl.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/inspect.h>
#include <rle565/load.h>
#include <rle565/output_target.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "c_array.h"
#include "pack_names.h"
#include "pack_process.h"
#include "reduce/reduce_colours.h"
#include "text_escape.h"

#ifndef RLE565_VERSION
#define RLE565_VERSION "unknown"
#endif

namespace fs = std::filesystem;

namespace rle565 {

namespace {

constexpr int STATUS_FAILED = 1;
constexpr int STATUS_USAGE = 2;

// --colors takes what one palette holds.
constexpr int MAX_COLORS = static_cast<int>(RLE_MAX_VISIBLE);

constexpr const char* USAGE =
    "usage: rle565-pack [-o DIR] [--c-array FILE.c] [--colors N [--dither]] [-j N] [--json]\n"
    "                   file-or-folder...\n";

constexpr const char* HELP =
    "usage: rle565-pack [options] file-or-folder...\n"
    "Converts PNG, BMP and GIF images, and every such image below the folders\n"
    "given, into RLE sprite files: with one palette when the image fits it,\n"
    "else with several; every frame of a GIF animation as NAME-0.rle,\n"
    "NAME-1.rle, ...\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR   write the sprites below DIR, the tree below each\n"
    "                     folder given mirrored, names ending in .rle\n"
    "  --c-array FILE.c   write every sprite as a const array into FILE.c, with\n"
    "                     its size, width and height in FILE.h beside it\n"
    "  --prefix P         put P in front of every C name\n"
    "  --section NAME     place the arrays in the linker section NAME\n"
    "  --colors N         reduce images of more than N (colour, alpha) pairs\n"
    "                     to N (1 to 252)\n"
    "  --dither           reduce with error diffusion (with --colors)\n"
    "  -j, --jobs N       convert N files at once (default: the number of cores)\n"
    "  --json             print one JSON object per sprite, one line each\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "  --                 end of options: every later argument is a file name\n"
    "\n"
    "No input is ever written over. Exit status: 0 when every file converted,\n"
    "1 when any failed (the others still convert), 2 for a command-line error.\n";

struct Options {
    std::optional<std::string> outDir;
    std::optional<std::string> cArray;
    std::string prefix;
    std::string section;
    int colors = 0;  // 0: no reduction
    bool bDither = false;
    std::size_t jobs = 0;  // 0: the number of cores
    bool bJson = false;
    std::vector<std::string> inputs;
};

// One input file and where its sprites go.
struct Job {
    std::string input;  // the path as given or found
    std::string stem;   // the path below its folder, without the extension
    std::string error;  // set when planning could not read it
    std::size_t firstOutput = 0;
    std::size_t nFrames = 1;
    bool bGif = false;  // a GIF file when planned: its frames are read from it held whole
};

// One sprite: a frame of an input, its file and what became of it.
struct Output {
    std::size_t job = 0;
    std::string path;   // below the output folder; empty without one
    std::string cName;  // with --c-array
    bool bDone = false;
    bool bLoaded = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t entries = 0;
    bool bMultipal = false;
    bool bReduced = false;
    double psnr = 0;
    std::uint64_t bytes = 0;
    std::string error;
    std::vector<std::uint8_t> rle;  // kept for the C array
};

struct Plan {
    std::vector<Job> jobs;
    std::vector<Output> outputs;
    std::uint64_t nInputBytes = 0;
};

bool endsWithImageExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".png" || ext == ".bmp" || ext == ".gif";
}

// A positive whole number from text, or nothing.
std::optional<long> parseCount(const char* text) {
    if (!text || *text == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0) return std::nullopt;
    return value;
}

std::optional<int> usageError(std::FILE* err, const std::string& text) {
    std::fprintf(err, "rle565-pack: %s\n", terminalText(text).c_str());
    std::fprintf(err, "Try 'rle565-pack --help' for more information.\n");
    return STATUS_USAGE;
}

// Reads the command line into `options`; an exit status when the program
// is done with it already (help, version or a mistake).
std::optional<int> parseOptions(int argc, char** argv, Options& options, std::FILE* out,
                                std::FILE* err) {
    bool bOptions = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!bOptions || arg.size() < 2 || arg[0] != '-') {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptions = false;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fprintf(out, "%s", HELP);
            return 0;
        }
        if (arg == "--version") {
            std::fprintf(out, "rle565-pack %s\n", RLE565_VERSION);
            return 0;
        }
        if (arg == "--json") {
            options.bJson = true;
            continue;
        }
        if (arg == "--dither") {
            options.bDither = true;
            continue;
        }
        // The options with a value: "--name value", "--name=value", "-o DIR",
        // "-oDIR", "-j N", "-jN".
        static const std::map<std::string, std::string> NAMES = {
            {"-o", "--output"},       {"--output", "--output"},   {"--c-array", "--c-array"},
            {"--prefix", "--prefix"}, {"--section", "--section"}, {"--colors", "--colors"},
            {"-j", "--jobs"},         {"--jobs", "--jobs"}};
        std::string name = arg;
        std::optional<std::string> value;
        if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else if ((arg.starts_with("-o") || arg.starts_with("-j")) && arg.size() > 2 &&
                   arg[1] != '-') {
            name = arg.substr(0, 2);
            value = arg.substr(2);
        }
        const auto known = NAMES.find(name);
        if (known == NAMES.end()) return usageError(err, "unknown option '" + arg + "'");
        if (!value) {
            if (i + 1 == argc) return usageError(err, "option '" + name + "' needs a value");
            value = argv[++i];
        }
        const std::string& option = known->second;
        if (option == "--output") {
            if (value->empty()) return usageError(err, "option '" + name + "' needs a folder");
            options.outDir = *value;
        } else if (option == "--c-array") {
            if (value->size() < 3 || !value->ends_with(".c"))
                return usageError(err, "--c-array needs a file name ending in .c");
            options.cArray = *value;
        } else if (option == "--prefix") {
            if (!isCPrefix(*value))
                return usageError(err, "--prefix '" + *value +
                                           "' is not the start of a C name (letters, digits, _)");
            options.prefix = *value;
        } else if (option == "--section") {
            if (!isSectionName(*value))
                return usageError(err, "--section '" + *value +
                                           "' is not a section name (letters, digits, . _ $)");
            options.section = *value;
        } else if (option == "--colors") {
            const std::optional<long> n = parseCount(value->c_str());
            if (!n || *n < 1 || *n > MAX_COLORS)
                return usageError(err,
                                  "--colors takes a number from 1 to 252, not '" + *value + "'");
            options.colors = static_cast<int>(*n);
        } else {
            const std::optional<long> n = parseCount(value->c_str());
            if (!n || *n < 1 || *n > static_cast<long>(MAX_WORKERS))
                return usageError(err, "-j takes a number from 1 to 256, not '" + *value + "'");
            options.jobs = static_cast<std::size_t>(*n);
        }
    }
    if (options.inputs.empty()) {
        std::fprintf(err, "%s", USAGE);
        return STATUS_USAGE;
    }
    if (!options.outDir && !options.cArray)
        return usageError(err, "nothing to write: give -o DIR, --c-array FILE.c or both");
    if (options.bDither && options.colors == 0) return usageError(err, "--dither needs --colors");
    if ((!options.prefix.empty() || !options.section.empty()) && !options.cArray)
        return usageError(err, "--prefix and --section go with --c-array");
    return std::nullopt;
}

// The first bytes of a file, to tell a GIF animation before it is converted.
bool startsAsGif(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::uint8_t head[8] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    return got > 0 &&
           recogniseFormat(std::span(head, static_cast<std::size_t>(got))) == FileFormat::Gif;
}

// The files named and found below the folders named, in the order given,
// each folder's files sorted by path.
std::vector<Job> findInputs(const Options& options, std::FILE* err, bool& bFailed) {
    std::vector<Job> jobs;
    for (const std::string& input : options.inputs) {
        std::error_code error;
        const fs::file_status status = fs::status(input, error);
        if (fs::is_directory(status)) {
            std::vector<Job> found;
            fs::recursive_directory_iterator it(
                input, fs::directory_options::skip_permission_denied, error);
            for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                const fs::directory_entry& entry = *it;
                std::error_code typeError;
                if (!entry.is_regular_file(typeError) || !endsWithImageExtension(entry.path()))
                    continue;
                Job job;
                job.input = entry.path().string();
                job.stem =
                    entry.path().lexically_relative(input).replace_extension().generic_string();
                found.push_back(std::move(job));
            }
            if (error) {
                std::fprintf(err, "%s: %s\n", terminalText(input).c_str(), error.message().c_str());
                bFailed = true;
            }
            std::sort(found.begin(), found.end(),
                      [](const Job& a, const Job& b) { return a.stem < b.stem; });
            for (Job& job : found) jobs.push_back(std::move(job));
        } else {
            Job job;
            job.input = input;
            job.stem = fs::path(input).filename().replace_extension().generic_string();
            if (!fs::exists(status)) job.error = "failed to open file";
            jobs.push_back(std::move(job));
        }
    }
    return jobs;
}

// The identity of a file, whatever the route to it.
using FileId = std::pair<dev_t, ino_t>;

std::optional<FileId> fileId(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileId{info.st_dev, info.st_ino};
}

std::string headerPath(const std::string& cPath) { return cPath.substr(0, cPath.size() - 1) + "h"; }

// Lays out every output and checks, before anything is written, that no
// two of them are the same, that none is an input, and that the C names
// are distinct names C takes. False after printing why not.
bool planOutputs(const Options& options, Plan& plan, std::FILE* err) {
    for (std::size_t j = 0; j < plan.jobs.size(); ++j) {
        Job& job = plan.jobs[j];
        job.bGif = job.error.empty() && startsAsGif(job.input);
        if (job.bGif) {
            std::uint64_t size = 0;
            if (const std::optional<FileBytes> bytes = readImageFile(job.input.c_str(), size))
                job.nFrames = countImageFrames(bytes->view());
        }
        job.firstOutput = plan.outputs.size();
        for (std::size_t k = 0; k < job.nFrames; ++k) {
            Output output;
            output.job = j;
            const std::string name =
                job.nFrames > 1 ? job.stem + "-" + std::to_string(k) : job.stem;
            if (options.outDir)
                output.path =
                    (fs::path(*options.outDir) / (name + ".rle")).lexically_normal().string();
            if (options.cArray) output.cName = spriteName(name, options.prefix);
            plan.outputs.push_back(std::move(output));
        }
    }

    std::map<FileId, std::string> inputIds;
    for (const Job& job : plan.jobs) {
        if (const std::optional<FileId> id = fileId(job.input)) inputIds.emplace(*id, job.input);
    }
    // Every file the run writes, and what it is made from.
    std::vector<std::pair<std::string, std::string>> written;
    for (const Output& output : plan.outputs) {
        if (!output.path.empty()) written.emplace_back(output.path, plan.jobs[output.job].input);
    }
    if (options.cArray) {
        written.emplace_back(*options.cArray, "--c-array");
        written.emplace_back(headerPath(*options.cArray), "--c-array");
    }
    bool bOk = true;
    std::map<std::string, std::string> byPath;
    std::map<FileId, std::string> byId;
    for (const auto& [path, source] : written) {
        const auto [at, bNew] = byPath.emplace(path, source);
        if (!bNew) {
            std::fprintf(err, "rle565-pack: %s and %s would both write %s\n",
                         terminalText(at->second).c_str(), terminalText(source).c_str(),
                         terminalText(path).c_str());
            bOk = false;
            continue;
        }
        const std::optional<FileId> id = fileId(path);
        if (!id) continue;
        if (const auto input = inputIds.find(*id); input != inputIds.end()) {
            std::fprintf(err, "rle565-pack: %s would write over the input %s\n",
                         terminalText(path).c_str(), terminalText(input->second).c_str());
            bOk = false;
        } else if (const auto [other, bFirst] = byId.emplace(*id, path); !bFirst) {
            std::fprintf(err, "rle565-pack: %s and %s are the same file\n",
                         terminalText(other->second).c_str(), terminalText(path).c_str());
            bOk = false;
        }
    }
    if (options.cArray) {
        std::map<std::string, std::string> byName;
        for (const Output& output : plan.outputs) {
            const std::string& input = plan.jobs[output.job].input;
            if (output.cName.empty() || isCKeyword(output.cName)) {
                std::fprintf(err, "rle565-pack: %s: '%s' cannot name a C array; use --prefix\n",
                             terminalText(input).c_str(), output.cName.c_str());
                bOk = false;
                continue;
            }
            const auto [at, bNew] = byName.emplace(output.cName, input);
            if (!bNew) {
                std::fprintf(err, "rle565-pack: %s and %s both make the C name %s\n",
                             terminalText(at->second).c_str(), terminalText(input).c_str(),
                             output.cName.c_str());
                bOk = false;
            }
        }
    }
    return bOk;
}

// Distinct visible (colour, alpha) pairs of a plain image, counted up to
// `enough` and a little past it.
std::uint32_t countPairs(const Image& image, std::uint32_t enough) {
    std::vector<std::uint64_t> seen((std::size_t{1} << 21) / 64);
    std::uint32_t nPairs = 0;
    for (std::size_t i = 0; i < image.pixels.size() && nPairs <= enough; ++i) {
        const std::uint8_t a = image.hasAlpha() ? std::min(image.alpha[i], ALPHA_OPAQUE)
                                                : (image.pixels[i] == COLOR_KEY ? 0 : ALPHA_OPAQUE);
        if (a == 0) continue;
        const std::uint32_t key = std::uint32_t{image.pixels[i]} * 32 + (a - 1u);
        std::uint64_t& word = seen[key >> 6];
        nPairs += static_cast<std::uint32_t>(~word >> (key & 63) & 1);
        word |= std::uint64_t{1} << (key & 63);
    }
    return nPairs;
}

// Why an image that neither one palette nor several take failed, and what to do.
std::string tooManyColours(const Image& image) {
    const FitReport fit = judgeFit(image);
    char text[256];
    if (fit.nLinePairs >= RLE_MAX_VISIBLE) {
        std::snprintf(text, sizeof text,
                      "too many colours: line %" PRId32 " holds %" PRIu32
                      " (colour, alpha) pairs, a palette takes 251; reduce them with --colors",
                      fit.nFullestLine, fit.nLinePairs);
    } else {
        std::snprintf(text, sizeof text,
                      "too many colours: %" PRIu32
                      " (colour, alpha) pairs are more than the "
                      "palettes can hold (line %" PRId32 " holds %" PRIu32
                      "); reduce them with --colors",
                      fit.nPairs, fit.nFullestLine, fit.nLinePairs);
    }
    return text;
}

// Converts one frame: reduced when asked, then with one palette or several.
void convertFrame(Image& image, const Options& options, Output& output) {
    if (image.isRle()) {
        output.error = "already RLE";
        return;
    }
    output.bLoaded = true;
    output.width = image.width;
    output.height = image.height;
    if (options.colors > 0 && countPairs(image, static_cast<std::uint32_t>(options.colors)) >
                                  static_cast<std::uint32_t>(options.colors)) {
        ReduceReport report;
        reduceColours(image, options.colors, options.bDither, &report);
        output.bReduced = report.reduced;
        output.psnr = report.psnr;
    }
    std::int32_t nColors = 0;
    CheckFailure failure;
    std::vector<std::uint8_t> rle;
    switch (convertToRle(image, OutputTarget(rle), true, nColors, &failure)) {
        case EncodeResult::Written:
            break;
        case EncodeResult::TooManyColors:
            output.error = tooManyColours(image);
            return;
        case EncodeResult::TooLarge:
            output.error = "image too large";
            return;
        case EncodeResult::WriteFailed:
            output.error = "failed to write file";
            return;
        case EncodeResult::CheckFailed:
            output.error = std::string("error: ") + failure.file + ":" +
                           std::to_string(failure.line) + " " + failure.text;
            return;
    }
    // The header says what the encoder chose.
    const std::uint16_t flags = static_cast<std::uint16_t>(rle[2] | rle[3] << 8);
    output.bMultipal = (flags & RLE_MULTIPAL) != 0;
    output.entries = static_cast<std::uint32_t>(rle[8] | rle[9] << 8);
    output.bytes = rle.size();
    if (!output.path.empty()) {
        std::error_code error;
        fs::create_directories(fs::path(output.path).parent_path(), error);
        if (!writeFileBytes(packTarget(output.path.c_str()), rle)) {
            output.error = "failed to write " + output.path;
            return;
        }
    }
    if (options.cArray) output.rle = std::move(rle);
}

// Converts every frame of one input into its outputs.
void convertJob(const Job& job, const Options& options, std::vector<Output>& outputs,
                std::uint64_t& nInputBytes) {
    Output* const first = &outputs[job.firstOutput];
    const auto failAll = [&](std::size_t from, const std::string& text) {
        for (std::size_t k = from; k < job.nFrames; ++k) first[k].error = text;
    };
    if (!job.error.empty()) return failAll(0, job.error);
    std::size_t frame = 0;
    try {
        ErrorText errorText{};
        const auto onFrame = [&](Image& image) {
            if (frame < job.nFrames) convertFrame(image, options, first[frame]);
            ++frame;
        };
        bool bLoaded = false;
        if (job.bGif) {
            // The frames of an animation come from the file held whole.
            std::uint64_t size = 0;
            const std::optional<FileBytes> bytes = readImageFile(job.input.c_str(), size);
            if (!bytes) return failAll(0, "failed to open file");
            nInputBytes = size;
            bLoaded = loadImageFrames(bytes->view(), errorText, onFrame);
        } else {
            // One picture, read only as far as it goes: an RLE file is told
            // by its header, tables and codes, never loaded.
            struct stat info {};
            if (::stat(job.input.c_str(), &info) == 0 && S_ISREG(info.st_mode))
                nInputBytes = static_cast<std::uint64_t>(info.st_size);
            const std::unique_ptr<Image> image =
                loadImageToConvert(job.input.c_str(), errorText, nullptr);
            bLoaded = image != nullptr;
            if (image) onFrame(*image);
        }
        if (!bLoaded) return failAll(frame, errorText.data());
        if (frame != job.nFrames)
            failAll(std::min(frame, job.nFrames), "the file changed while it was read");
    } catch (const std::bad_alloc&) {
        failAll(std::min(frame, job.nFrames), "out of memory");
    } catch (const std::length_error&) {
        failAll(std::min(frame, job.nFrames), "out of memory");
    }
}

void printJson(const Output& o, const Job& job, std::FILE* out) {
    const bool bOk = o.error.empty();
    char psnr[32] = "null";
    if (bOk && o.bReduced) std::snprintf(psnr, sizeof psnr, "%.2f", o.psnr);
    const auto number = [](bool bKnown, std::uint64_t value) {
        return bKnown ? std::to_string(value) : std::string("null");
    };
    std::fprintf(out,
                 "{\"input\":%s,\"output\":%s,\"width\":%s,\"height\":%s,\"entries\":%s,"
                 "\"multipal\":%s,\"reduced\":%s,\"psnr\":%s,\"bytes\":%s,\"error\":%s}\n",
                 jsonString(job.input).c_str(),
                 o.path.empty() ? "null" : jsonString(o.path).c_str(),
                 number(o.bLoaded, static_cast<std::uint64_t>(o.width)).c_str(),
                 number(o.bLoaded, static_cast<std::uint64_t>(o.height)).c_str(),
                 number(bOk, o.entries).c_str(), bOk && o.bMultipal ? "true" : "false",
                 o.bReduced ? "true" : "false", psnr, number(bOk, o.bytes).c_str(),
                 bOk ? "null" : jsonString(o.error).c_str());
}

void printText(const Output& o, const Job& job, std::FILE* out) {
    if (!o.error.empty()) return;
    std::fprintf(
        out, "%s%s%s: %" PRId32 " x %" PRId32 ", %s, %" PRIu32 " entries, %" PRIu64 " bytes",
        terminalText(job.input).c_str(), o.path.empty() ? "" : " -> ", terminalText(o.path).c_str(),
        o.width, o.height, o.bMultipal ? "multi-palette" : "single palette", o.entries, o.bytes);
    if (o.bReduced) std::fprintf(out, ", reduced, PSNR %.2f dB", o.psnr);
    std::fprintf(out, "\n");
}

// Writes FILE.c and FILE.h of the sprites that converted; false after
// printing why not.
bool writeCArray(const Options& options, const std::vector<Output>& outputs, std::FILE* err) {
    std::vector<CSprite> sprites;
    for (const Output& o : outputs) {
        if (o.error.empty()) sprites.push_back({o.cName, o.width, o.height, o.rle});
    }
    const std::string& cPath = *options.cArray;
    const std::string hPath = headerPath(cPath);
    const std::string headerName = fs::path(hPath).filename().string();
    const std::string header = makeCHeader(sprites, headerName);
    const std::string source = makeCSource(sprites, headerName, options.section);
    const auto asBytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    bool bOk = true;
    std::error_code error;
    if (const fs::path folder = fs::path(cPath).parent_path(); !folder.empty())
        fs::create_directories(folder, error);
    for (const auto& [path, text] : {std::pair{hPath, &header}, std::pair{cPath, &source}}) {
        if (!writeFileBytes(packTarget(path.c_str()), asBytes(*text))) {
            std::fprintf(err, "%s: failed to write file\n", terminalText(path).c_str());
            bOk = false;
        }
    }
    return bOk;
}

// The line on a terminal that says how far the run is.
class Progress {
public:
    Progress(std::FILE* err, std::size_t total)
        : err_(err), total_(total), bShown_(::isatty(::fileno(err)) == 1) {}

    void show(std::size_t done, const std::string& current) {
        if (!bShown_) return;
        std::fprintf(err_, "\r\033[K[%zu/%zu] %s", done, total_, terminalText(current).c_str());
        std::fflush(err_);
    }
    // Clears the line, before any other line is printed and at the end.
    void clear() {
        if (!bShown_) return;
        std::fprintf(err_, "\r\033[K");
        std::fflush(err_);
    }

private:
    std::FILE* err_;
    std::size_t total_;
    bool bShown_;
};

// Converts every job on `workers` threads; the calling thread prints each
// job's lines as soon as it and those before it are done, in input order.
int convertAll(const Options& options, Plan& plan, std::FILE* out, std::FILE* err) {
    const std::size_t nJobs = plan.jobs.size();
    std::size_t workers = options.jobs > 0 ? options.jobs : std::thread::hardware_concurrency();
    workers =
        std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(1, std::min(nJobs, MAX_WORKERS)));

    std::vector<std::uint64_t> inputBytes(nJobs, 0);
    std::vector<char> done(nJobs, 0);
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<std::size_t> next{0};
    std::size_t nDone = 0;
    std::string current;
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers && nJobs > 0; ++w) {
        threads.emplace_back([&, w] {
            becomeWorker(w);
            for (std::size_t j; (j = next.fetch_add(1)) < nJobs;) {
                {
                    const std::lock_guard lock(mutex);
                    current = plan.jobs[j].input;
                }
                convertJob(plan.jobs[j], options, plan.outputs, inputBytes[j]);
                {
                    const std::lock_guard lock(mutex);
                    done[j] = 1;
                    ++nDone;
                }
                changed.notify_one();
            }
        });
    }

    Progress progress(err, nJobs);
    bool bFailed = false;
    std::size_t printed = 0;
    std::unique_lock lock(mutex);
    while (printed < nJobs) {
        changed.wait(lock, [&] { return done[printed] != 0; });
        while (printed < nJobs && done[printed]) {
            const Job& job = plan.jobs[printed];
            progress.clear();
            for (std::size_t k = 0; k < job.nFrames; ++k) {
                const Output& o = plan.outputs[job.firstOutput + k];
                if (options.bJson) {
                    printJson(o, job, out);
                } else {
                    printText(o, job, out);
                }
                std::fflush(out);
                if (!o.error.empty()) {
                    std::fprintf(err, "%s: %s\n", terminalText(job.input).c_str(), o.error.c_str());
                    bFailed = true;
                }
            }
            ++printed;
        }
        progress.show(nDone, current);
    }
    lock.unlock();
    for (std::thread& thread : threads) thread.join();
    progress.clear();
    for (const std::uint64_t n : inputBytes) plan.nInputBytes += n;
    return bFailed ? STATUS_FAILED : 0;
}

void printSummary(const Plan& plan, std::FILE* to) {
    std::size_t nConverted = 0, nMultipal = 0, nReduced = 0, nFailed = 0;
    std::uint64_t nOut = 0, nRaw = 0;
    for (const Output& o : plan.outputs) {
        if (!o.error.empty()) {
            ++nFailed;
            continue;
        }
        ++nConverted;
        nMultipal += o.bMultipal ? 1 : 0;
        nReduced += o.bReduced ? 1 : 0;
        nOut += o.bytes;
        nRaw += static_cast<std::uint64_t>(o.width) * static_cast<std::uint64_t>(o.height) * 2;
    }
    std::fprintf(
        to,
        "%zu converted (%zu single palette, %zu multi-palette, %zu reduced), %zu failed; "
        "%" PRIu64 " bytes in, %" PRIu64 " bytes out, %.1f%% of %" PRIu64 " bytes as raw RGB565\n",
        nConverted, nConverted - nMultipal, nMultipal, nReduced, nFailed, plan.nInputBytes, nOut,
        nRaw == 0 ? 0.0 : 100.0 * static_cast<double>(nOut) / static_cast<double>(nRaw), nRaw);
}

}  // namespace

int runPack(int argc, char** argv, std::FILE* out, std::FILE* err) {
    Options options;
    if (const std::optional<int> status = parseOptions(argc, argv, options, out, err))
        return *status;
    bool bFailed = false;
    Plan plan;
    plan.jobs = findInputs(options, err, bFailed);
    if (!planOutputs(options, plan, err)) {
        std::fprintf(err, "rle565-pack: nothing written\n");
        return STATUS_USAGE;
    }
    if (convertAll(options, plan, out, err) != 0) bFailed = true;
    if (options.cArray && !writeCArray(options, plan.outputs, err)) bFailed = true;
    printSummary(plan, options.bJson ? err : out);
    return bFailed ? STATUS_FAILED : 0;
}

}  // namespace rle565
