#include "driver.h"

#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <rle565/output_target.h>
#include <rle565/rle_to_bmp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "process.h"

namespace rle565 {

namespace {

constexpr const char* USAGE =
    "usage: <prg> <r|b> [option] in.bmp [out.bmp]\n"
    "Or: <prg> l [option] list.txt [log.txt]\n"
    " Options: '-v2' enables multipal conversion";

// The command line once read: the mode's input and output names and the switch.
struct Arguments {
    const char* mode = nullptr;
    const char* input = nullptr;
    const char* output = nullptr;  // nullptr: the input's own name (r, b) or stdout (l)
};

// The process-wide values that the encoders share with the driver.
struct DriverState {
    bool bMultipal = false;
    std::int32_t nColors = 0;
    ErrorText errorText{};
    int umask = -1;  // read when list mode starts
};

// A failed consistency check is a defect of the program: it is reported as
// "error: FILE:LINE CONDITION" on standard output, with a break into the
// debugger when one is attached, and the run ends with status 1.
bool debuggerAttached() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::atoi(line + 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

int reportCheckFailure(const CheckFailure& failure, std::FILE* out) {
    std::fprintf(out, "error: %s:%d %s\n", failure.file, failure.line, failure.text);
    std::fflush(out);
    if (debuggerAttached()) std::raise(SIGTRAP);
    return 1;
}

// Runs one conversion step, turning an allocation failure into a result
// instead of an abort, so that one huge image never ends a list run.
template <class Fn>
bool withMemory(Fn&& fn) {
    try {
        fn();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// Whether writing to `output` would write into the stream `input` was read
// from: a pipe, FIFO or device named twice (in place, or as /dev/stdin and
// the pipe behind it). A FIFO would wait for a reader forever and a pipe
// would take its own output back, so such an output is a failed write.
bool writesIntoInput(const char* input, const char* output) {
    struct stat in {};
    struct stat to {};
    return ::stat(input, &in) == 0 && ::stat(output, &to) == 0 && !S_ISREG(in.st_mode) &&
           in.st_dev == to.st_dev && in.st_ino == to.st_ino;
}

int runToRle(const Arguments& args, DriverState& state, std::FILE* out) {
    std::unique_ptr<Image> image;
    EncodeResult result = EncodeResult::Written;
    const char* outputPath = args.output ? args.output : args.input;
    CheckFailure failure;
    bool loaded = true;
    const bool enough = withMemory([&] {
        image = loadImageToConvert(args.input, state.errorText, nullptr);
        if (!image) {
            loaded = false;
            return;
        }
        if (image->isRle()) return;
        if (writesIntoInput(args.input, outputPath)) {
            result = EncodeResult::WriteFailed;
            return;
        }
        result = convertToRle(*image, outputTarget(outputPath), state.bMultipal, state.nColors,
                              &failure);
    });
    if (!enough) {
        std::fprintf(out, "out of memory\n");
        return 1;
    }
    if (!loaded) {
        std::fprintf(out, "Load failed: %s\n", state.errorText.data());
        return 1;
    }
    if (image->isRle()) {
        std::fprintf(out, "already RLE\n");
        return 1;
    }
    switch (result) {
        case EncodeResult::Written:
            return 0;
        case EncodeResult::TooManyColors:
            std::fprintf(out, "failed, %d colors\n", state.nColors);
            return 1;
        case EncodeResult::TooLarge:
            std::fprintf(out, "failed, image too large\n");
            return 1;
        case EncodeResult::WriteFailed:
            std::fprintf(out, "failed to write file\n");
            return 1;
        case EncodeResult::CheckFailed:
            return reportCheckFailure(failure, out);
    }
    return 1;
}

int runToBmp(const Arguments& args, DriverState& state, std::FILE* out) {
    const char* outputPath = args.output ? args.output : args.input;
    // Large RLE files convert without being read whole, and each is tried
    // once: what the streamed way judged it reports with the words of the
    // way below, which takes only the files the streamed way did not.
    // Out of memory, the streamed way leaves the file to that way too.
    StreamedBmp streamed = StreamedBmp::NotTaken;
    withMemory([&] { streamed = streamRleFileToBmp(args.input, outputTarget(outputPath)); });
    switch (streamed) {
        case StreamedBmp::Written:
            return 0;
        case StreamedBmp::Corrupt:
            // The words the loaded way says for the same file.
            std::fprintf(out, "Load failed: RLE data corrupt\n");
            return 1;
        case StreamedBmp::Failed:
            std::fprintf(out, "failed for some reason\n");
            return 1;
        case StreamedBmp::NotTaken:
            break;
    }

    std::unique_ptr<Image> image;
    bool written = false;
    const bool enough = withMemory([&] {
        image = loadImage(args.input, state.errorText);
        if (!image || !image->isRle()) return;
        written = !writesIntoInput(args.input, outputPath) &&
                  convertRleToBmp(*image, outputTarget(outputPath));
    });
    if (!enough) {
        std::fprintf(out, "out of memory\n");
        return 1;
    }
    if (!image) {
        std::fprintf(out, "Load failed: %s\n", state.errorText.data());
        return 1;
    }
    if (!image->isRle()) {
        std::fprintf(out, "already BMP\n");
        return 1;
    }
    if (!written) {
        std::fprintf(out, "failed for some reason\n");
        return 1;
    }
    return 0;
}

// Reads one list line whole, whatever its length, without its line feed;
// false at the end of the list.
bool readListLine(std::FILE* list, std::string& line) {
    line.clear();
    int c = 0;
    while ((c = std::getc(list)) != EOF) {
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

// Removes control characters (codes below 32) from the end of a list line:
// line ends, tabs and the like go; blanks and everything else stay.
void trimLineEnd(char* line) {
    std::size_t length = std::strlen(line);
    while (length > 0 && static_cast<unsigned char>(line[length - 1]) < 32) line[--length] = '\0';
}

// The log of list mode. Each line is written through as it is made, so a
// run that ends early keeps every line it completed; a line that cannot be
// written is remembered, and the run says so at its end.
class ListLog {
public:
    explicit ListLog(std::FILE* file) : file_(file) {}

    [[gnu::format(printf, 2, 3)]] void line(const char* format, ...) {
        std::va_list args;
        va_start(args, format);
        const int written = std::vfprintf(file_, format, args);
        va_end(args);
        if (written < 0 || std::fflush(file_) != 0) bFailed_ = true;
    }

    bool failed() const { return bFailed_ || std::ferror(file_) != 0; }

private:
    std::FILE* file_;
    bool bFailed_ = false;
};

// Converts one list entry in place and logs what went wrong, if anything.
// Returns false, with the check in *failure, when a consistency check failed.
bool convertListEntry(const char* name, DriverState& state, ListLog& log, CheckFailure& failure) {
    std::unique_ptr<Image> image;
    EncodeResult result = EncodeResult::Written;
    const bool enough = withMemory([&] {
        int mode = -1;
        image = loadImageToConvert(name, state.errorText, &mode);
        if (image && !image->isRle()) {
            // The RLE file takes the place of the file just read, with its
            // permissions; when the umask would take bits away from them,
            // the output file looks them up and sets them itself.
            if (mode >= 0 && (mode & state.umask) != 0) mode = -1;
            result = writesIntoInput(name, name)
                         ? EncodeResult::WriteFailed
                         : convertToRle(*image, outputTarget(name, mode), state.bMultipal,
                                        state.nColors, &failure);
        }
    });
    if (!enough) {
        log.line("[%s] out of memory\n", name);
    } else if (!image) {
        log.line("[%s] Load failed: %s\n", name, state.errorText.data());
    } else if (image->isRle()) {
        log.line("[%s] already RLE\n", name);
    } else if (result == EncodeResult::TooManyColors) {
        log.line("[%s] conversion failed, %d colors\n", name, state.nColors);
    } else if (result == EncodeResult::TooLarge) {
        log.line("[%s] conversion failed, image too large\n", name);
    } else if (result == EncodeResult::WriteFailed) {
        log.line("[%s] write failed\n", name);
    }
    if (image) {
        // Drop this image's buffers before the next line is loaded.
        image->release();
        image.reset();
    }
    return result != EncodeResult::CheckFailed;
}

int runList(const Arguments& args, DriverState& state, std::FILE* out) {
    const FilePtr list(std::fopen(args.input, "rt"));
    if (!list) {
        std::fprintf(out, "unable to open list of files\n");
        return 1;
    }
    FilePtr logFile;
    if (args.output) {
        logFile.reset(std::fopen(args.output, "wt"));
        if (!logFile) std::fprintf(out, "unable to open log file, using stdout\n");
    }
    ListLog log(logFile ? logFile.get() : out);
    state.umask = currentUmask();

    std::string line;
    for (;;) {
        bool bLine = false;
        if (!withMemory([&] { bLine = readListLine(list.get(), line); })) {
            // A line too long for the memory names no file that could open:
            // it is skipped to its end and logged with what was held of it.
            log.line("[%s] out of memory\n", line.c_str());
            for (int c = 0; c != EOF && c != '\n';) c = std::getc(list.get());
            continue;
        }
        if (!bLine) break;
        trimLineEnd(line.data());
        CheckFailure failure;
        if (!convertListEntry(line.c_str(), state, log, failure))
            return reportCheckFailure(failure, out);
    }
    log.line("done\n");
    bool bLogFailed = log.failed();
    if (logFile) bLogFailed = std::fclose(logFile.release()) != 0 || bLogFailed;
    if (bLogFailed) {
        // The one failure of list mode with status 1: without its log the
        // user cannot tell which files converted.
        std::fprintf(out, "failed to write log file\n");
        return 1;
    }
    return 0;
}

}  // namespace

int runDriver(int argc, char** argv, std::FILE* out) {
    if (argc < 3) {
        std::fprintf(out, "%s", USAGE);
        return 1;
    }
    DriverState state;
    Arguments args;
    args.mode = argv[1];
    int next = 2;
    if (argv[2][0] == '-') {
        state.bMultipal = std::strcmp(argv[2], "-v2") == 0;
        next = 3;
    }
    const bool toRle = std::strcmp(args.mode, "r") == 0;
    const bool toBmp = !toRle && std::strcmp(args.mode, "b") == 0;
    const bool list = !toRle && !toBmp && std::strcmp(args.mode, "l") == 0;
    if (!toRle && !toBmp && !list) return 0;

    // A mode and an option with nothing after them name no input.
    if (next >= argc) {
        std::fprintf(out, "%s", USAGE);
        return 1;
    }
    args.input = argv[next];
    if (next + 1 < argc) args.output = argv[next + 1];

    if (toRle) return runToRle(args, state, out);
    if (toBmp) return runToBmp(args, state, out);
    return runList(args, state, out);
}

}  // namespace rle565
