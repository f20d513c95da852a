// The real binary, run as a user would: what it prints, its exit status, and
// the files it leaves behind.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "bytes.h"
#include "formats/rle_reader.h"
#include "image_maker.h"
#include "run_binary.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

const std::string USAGE =
    "usage: <prg> <r|b> [option] in.bmp [out.bmp]\n"
    "Or: <prg> l [option] list.txt [log.txt]\n"
    " Options: '-v2' enables multipal conversion";

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A bottom-up BI_RGB BMP of 24 or 32 bits from top-down BGR(A) pixels.
Bytes makeBmp(int width, int height, int bits, const std::vector<std::uint32_t>& argb) {
    const int bpp = bits / 8;
    const int row = (width * bpp + 3) / 4 * 4;
    Bytes b{'B', 'M'};
    put32(b, static_cast<std::uint32_t>(54 + row * height));
    put32(b, 0);
    put32(b, 54);
    put32(b, 40);
    put32(b, static_cast<std::uint32_t>(width));
    put32(b, static_cast<std::uint32_t>(height));
    put16(b, 1);
    put16(b, static_cast<std::uint32_t>(bits));
    for (int i = 0; i < 6; ++i) put32(b, 0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = argb[static_cast<std::size_t>(y * width + x)];
            b.push_back(static_cast<std::uint8_t>(p));
            b.push_back(static_cast<std::uint8_t>(p >> 8));
            b.push_back(static_cast<std::uint8_t>(p >> 16));
            if (bpp == 4) b.push_back(static_cast<std::uint8_t>(p >> 24));
        }
        for (int pad = width * bpp; pad < row; ++pad) b.push_back(0);
    }
    return b;
}

constexpr std::uint32_t MAGENTA = 0xFF00FF;

// An image of `colours` distinct opaque colours, cycling over its pixels.
Bytes manyColours(int width, int height, int colours) {
    std::vector<std::uint32_t> px(static_cast<std::size_t>(width * height));
    for (std::size_t i = 0; i < px.size(); ++i) {
        const auto k = static_cast<std::uint32_t>(static_cast<int>(i) % colours);
        px[i] = (k & 0x1F) << 3 | ((k >> 5) & 0x3F) << 10;  // distinct after reduction
    }
    return makeBmp(width, height, 24, px);
}

TEST(Cli, UsageForTooFewArguments) {
    TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"r"}, {"l"}, {"r", "-v2"}}) {
        const RunResult run = runIn(dir, args);
        EXPECT_EQ(run.out, USAGE);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Cli, UnknownModesDoNothing) {
    TempDir dir;
    writeFile(dir.file("a.bmp"), makeBmp(1, 1, 24, {0x123456}));
    for (const std::string mode : {"R", "rb", "x", "r ", "B", "L"}) {
        const RunResult run = runIn(dir, {mode, "a.bmp", "out.rle"});
        EXPECT_EQ(run.out, "") << mode;
        EXPECT_EQ(run.status, 0) << mode;
    }
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"a.bmp"}));
}

TEST(Cli, LoadFailures) {
    TempDir dir;
    writeFile(dir.file("empty"), {});
    writeFile(dir.file("one"), {'R'});
    writeFile(dir.file("rm"), {'R', 'M', 0, 0});
    writeFile(dir.file("lower"), {'r', 'l', 0, 0});
    writeFile(dir.file("short.rle"), {'R', 'L', 1, 0, 2});
    writeFile(dir.file("short.bmp"), {'B', 'M', 1, 2, 3});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing", "Load failed: failed to open file\n"},
        {"empty", "Load failed: unknown format\n"},
        {"one", "Load failed: unknown format\n"},
        {"rm", "Load failed: unknown format\n"},
        {"lower", "Load failed: unknown format\n"},
        {"short.rle", "Load failed: RLE header read error\n"},
        {"short.bmp", "Load failed: BMP header read error\n"},
    };
    for (const auto& [name, message] : cases) {
        for (const std::string mode : {"r", "b"}) {
            const RunResult run = runIn(dir, {mode, name, "out"});
            EXPECT_EQ(run.out, message) << mode << " " << name;
            EXPECT_EQ(run.status, 1);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}

// The 10 x 1 all-colour-key image and its 17-byte RLE file.
TEST(Cli, ConvertsToExactBytesAndBack) {
    TempDir dir;
    writeFile(dir.file("key.bmp"), makeBmp(10, 1, 24, std::vector<std::uint32_t>(10, MAGENTA)));
    RunResult run = runIn(dir, {"r", "key.bmp", "key.rle"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("key.rle")),
              (Bytes{0x52, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x1F,
                     0xF8, 0x02, 0xFF, 0x0A}));

    run = runIn(dir, {"b", "key.rle", "back.bmp"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    Bytes expected = makeBmp(10, 1, 24, std::vector<std::uint32_t>(10, MAGENTA));
    // The writer's header says 7874 pixels per metre and the image size.
    storeLe32(&expected[34], 32);
    storeLe32(&expected[38], 7874);
    storeLe32(&expected[42], 7874);
    EXPECT_EQ(readFile(dir.file("back.bmp")), expected);
}

TEST(Cli, AlphaImageGoldenBytes) {
    TempDir dir;
    // Blue at alpha byte 128 (alpha 16), then a pixel of alpha 0.
    writeFile(dir.file("a.bmp"), makeBmp(2, 1, 32, {0x800000FF, 0x00123456}));
    const RunResult run = runIn(dir, {"r", "a.bmp", "a.rle"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("a.rle")),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01,
                     0x00, 0x1F, 0xF8, 0x1F, 0x00, 0x20, 0x10, 0x02, 0x01, 0x00}));
}

TEST(Cli, InPlaceConversionAndAlreadyConverted) {
    TempDir dir;
    writeFile(dir.file("s.bmp"), makeBmp(3, 2, 24, {1, MAGENTA, 2, 2, 3, 1}));
    RunResult run = runIn(dir, {"r", "s.bmp"});
    EXPECT_EQ(run.status, 0);
    const Bytes rle = readFile(dir.file("s.bmp"));
    ASSERT_GE(rle.size(), 2u);
    EXPECT_EQ(rle[0], 'R');
    EXPECT_EQ(rle[1], 'L');
    run = runIn(dir, {"r", "s.bmp"});
    EXPECT_EQ(run.out, "already RLE\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readFile(dir.file("s.bmp")), rle);

    run = runIn(dir, {"b", "s.bmp"});
    EXPECT_EQ(run.status, 0);
    run = runIn(dir, {"b", "s.bmp"});
    EXPECT_EQ(run.out, "already BMP\n");
    EXPECT_EQ(run.status, 1);
    // Nothing but the converted file is left in the folder.
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"s.bmp"}));
}

TEST(Cli, OptionPlaceAndExtraArguments) {
    TempDir dir;
    writeFile(dir.file("many.bmp"), manyColours(300, 2, 300));
    // -v2x and -V2 take the option's place without enabling multipal.
    for (const std::string option : {"-v2x", "-V2", "-"}) {
        const RunResult run = runIn(dir, {"r", option, "many.bmp", "out.rle"});
        EXPECT_EQ(run.out, "failed, 301 colors\n") << option;
        EXPECT_EQ(run.status, 1);
    }
    // Written after the input, -v2 is the output name.
    writeFile(dir.file("few.bmp"), makeBmp(2, 1, 24, {1, 2}));
    RunResult run = runIn(dir, {"r", "few.bmp", "-v2", "ignored"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("-v2")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("ignored")));
    run = runIn(dir, {"r", "many.bmp", "-v2"});
    EXPECT_EQ(run.out, "failed, 301 colors\n");
}

TEST(Cli, TooManyColoursWritesNothing) {
    TempDir dir;
    writeFile(dir.file("many.bmp"), manyColours(253, 1, 253));
    RunResult run = runIn(dir, {"r", "many.bmp", "out.rle"});
    EXPECT_EQ(run.out, "failed, 254 colors\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"many.bmp"}));
    // One line of 253 pairs cannot be coded with several palettes either.
    run = runIn(dir, {"r", "-v2", "many.bmp", "out.rle"});
    EXPECT_EQ(run.out, "failed, 252 colors\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"many.bmp"}));
}

TEST(Cli, MultipalConvertsWithOption) {
    TempDir dir;
    writeFile(dir.file("many.bmp"), manyColours(200, 8, 400));
    const RunResult run = runIn(dir, {"r", "-v2", "many.bmp", "out.rle"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    const Bytes rle = readFile(dir.file("out.rle"));
    ASSERT_GE(rle.size(), 12u);
    EXPECT_EQ(rle[2], 2);  // RLE_MULTIPAL
}

TEST(Cli, FailedWriteKeepsTarget) {
    if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    std::filesystem::create_directory(dir.file("locked"));
    writeFile(dir.file("locked/s.bmp"), makeBmp(2, 1, 24, {1, 2}));
    const Bytes before = readFile(dir.file("locked/s.bmp"));
    chmod(dir.file("locked").c_str(), 0555);
    const RunResult run = runIn(dir, {"r", "locked/s.bmp"});
    chmod(dir.file("locked").c_str(), 0755);
    EXPECT_EQ(run.out, "failed to write file\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readFile(dir.file("locked/s.bmp")), before);
}

TEST(Cli, OutputThatIsAFolder) {
    TempDir dir;
    writeFile(dir.file("s.bmp"), makeBmp(2, 1, 24, {1, 2}));
    std::filesystem::create_directory(dir.file("out"));
    RunResult run = runIn(dir, {"r", "s.bmp", "out"});
    EXPECT_EQ(run.out, "failed to write file\n");
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(runIn(dir, {"r", "s.bmp", "s.rle"}).status, 0);
    run = runIn(dir, {"b", "s.rle", "out"});
    EXPECT_EQ(run.out, "failed for some reason\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"out", "s.bmp", "s.rle"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("out")));
}

// Mode b checks the line codes as it decodes them: a file with a bad line in
// the middle still gets the load's words, whether or not its output could be
// written, and no file appears.
TEST(Cli, CorruptLinesAreLoadFailuresInModeB) {
    TempDir dir;
    // Three lines of 10 pixels; the middle one runs past the width.
    const Bytes rle = {'R',  'L',  0,    0, 10, 0, 3,    0,  2,    0,  3,    0, 0x1F,
                       0xF8, 0x34, 0x12, 2, 2,  3, 0xFF, 10, 0xFF, 11, 0xFE, 1, 10};
    writeFile(dir.file("bad.rle"), rle);
    RunResult run = runIn(dir, {"b", "bad.rle", "out.bmp"});
    EXPECT_EQ(run.out, "Load failed: RLE data corrupt\n");
    EXPECT_EQ(run.status, 1);
    std::filesystem::create_directory(dir.file("folder"));
    run = runIn(dir, {"b", "bad.rle", "folder"});
    EXPECT_EQ(run.out, "Load failed: RLE data corrupt\n");
    EXPECT_EQ(run.status, 1);
    run = runIn(dir, {"b", "bad.rle"});
    EXPECT_EQ(run.out, "Load failed: RLE data corrupt\n");
    EXPECT_EQ(readFile(dir.file("bad.rle")), rle);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"bad.rle", "folder"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));
}

// RLE files above 1 MiB convert without being read whole: the same bytes as
// the loaded way, and for a bad line far into the file the load's words and
// no file at all.
TEST(Cli, LargeRleFilesInModeB) {
    TempDir dir;

    const std::string rle = dir.file("big.rle");
    const auto loaded = writeLargeNoisyRle(rle, 11, dir.file("expected.bmp"));
    ASSERT_TRUE(loaded);

    RunResult run = runIn(dir, {"b", "big.rle", "big.bmp"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("big.bmp")), readFile(dir.file("expected.bmp")));

    // Line 500 starts with a literal beyond the palette.
    Bytes bad = readFile(rle);
    bad[RLE_HEADER_SIZE + loaded->lineOffsets[500]] = 252;
    writeFile(dir.file("bad.rle"), bad);
    run = runIn(dir, {"b", "bad.rle", "bad.bmp"});
    EXPECT_EQ(run.out, "Load failed: RLE data corrupt\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("bad.bmp")));
    EXPECT_EQ(readFile(dir.file("bad.rle")), bad);
}

// The calls of a traced run that open `name` (its last path part), and those
// that create any file, named or unnamed.
struct Opens {
    int nNamed = 0;
    int nCreated = 0;
};

Opens countOpens(const std::string& tracePath, const std::string& name) {
    Opens opens;
    std::istringstream trace(readText(tracePath));
    for (std::string line; std::getline(trace, line);) {
        if (line.find("open") == std::string::npos) continue;
        if (line.find("/" + name + "\"") != std::string::npos ||
            line.find("\"" + name + "\"") != std::string::npos)
            ++opens.nNamed;
        if (line.find("O_CREAT") != std::string::npos ||
            line.find("O_TMPFILE") != std::string::npos)
            ++opens.nCreated;
    }
    return opens;
}

// strace, when there is one and the binary runs alone: a checker such as
// valgrind would open files of its own.
bool haveStrace() {
    return std::getenv("RLE565_WRAPPER") == nullptr &&
           std::system("strace -V >/dev/null 2>&1") == 0;
}

// Traces the calls that open files into `path`; LeakSanitizer, which cannot
// run under a tracer, is switched off for sanitizer builds.
std::string traceOpens(const std::string& path) {
    return "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=open,openat,creat -o " +
           shellQuote(path);
}

// A large file with a bad top line is judged before any output: not one byte
// written, not even a temporary file, the target as it was; and the input is
// read once, with no second try the loaded way.
TEST(Cli, DamagedLargeRleFileWritesNoOutput) {
    if (!haveStrace()) GTEST_SKIP() << "needs strace";
    TempDir dir;
    const TempDir traces;
    const auto loaded = writeLargeNoisyRle(dir.file("big.rle"), 12, traces.file("expected.bmp"));
    ASSERT_TRUE(loaded);
    Bytes bad = readFile(dir.file("big.rle"));
    bad[RLE_HEADER_SIZE + loaded->lineOffsets[0]] = 252;
    writeFile(dir.file("bad.rle"), bad);
    std::filesystem::remove(dir.file("big.rle"));
    writeFile(dir.file("bad.bmp"), {'k', 'e', 'e', 'p'});

    const std::string trace = traces.file("trace");
    const RunResult run = runIn(dir, {"b", "bad.rle", "bad.bmp"}, traceOpens(trace));
    EXPECT_EQ(run.out, "Load failed: RLE data corrupt\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readFile(dir.file("bad.bmp")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"bad.bmp", "bad.rle"}));
    const Opens opens = countOpens(trace, "bad.rle");
    EXPECT_EQ(opens.nNamed, 1);
    EXPECT_EQ(opens.nCreated, 0);
}

// A write of a large file's BMP that fails is tried once: one temporary file,
// one read of the input, the words of a failed write, nothing left behind.
TEST(Cli, FailedLargeWriteIsTriedOnce) {
    if (!haveStrace()) GTEST_SKIP() << "needs strace";
    TempDir dir;
    const TempDir traces;
    ASSERT_TRUE(writeLargeNoisyRle(dir.file("big.rle"), 13, traces.file("expected.bmp")));
    const std::string trace = traces.file("trace");
    // 8 blocks of 512 bytes: far less than the BMP file needs.
    const RunResult run =
        runIn(dir, {"b", "big.rle", "big.bmp"}, "trap '' XFSZ; ulimit -f 8; " + traceOpens(trace));
    EXPECT_EQ(run.out, "failed for some reason\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.rle"}));
    const Opens opens = countOpens(trace, "big.rle");
    EXPECT_EQ(opens.nNamed, 1);
    EXPECT_EQ(opens.nCreated, 1);
}

// A file-size limit hit in the middle of a write: the original stays whole.
TEST(Cli, WriteCutShortKeepsOriginal) {
    TempDir dir;
    std::vector<std::uint32_t> px(200 * 200);
    std::mt19937 rng(7);
    for (auto& p : px) p = (rng() % 200) * 0x010101;
    writeFile(dir.file("big.bmp"), makeBmp(200, 200, 24, px));
    const Bytes before = readFile(dir.file("big.bmp"));
    // 8 blocks of 512 bytes: far less than the RLE file needs.
    RunResult run = runIn(dir, {"r", "big.bmp"}, "trap '' XFSZ; ulimit -f 8;");
    EXPECT_EQ(run.out, "failed to write file\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readFile(dir.file("big.bmp")), before);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.bmp"}));

    ASSERT_EQ(runIn(dir, {"r", "big.bmp", "big.rle"}).status, 0);
    run = runIn(dir, {"b", "big.rle", "back.bmp"}, "trap '' XFSZ; ulimit -f 8;");
    EXPECT_EQ(run.out, "failed for some reason\n");
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.bmp", "big.rle"}));
}

// Round trips of random images through both modes: every visible pixel comes
// back as its RGB565 colour widened, and transparency as the colour key.
TEST(Cli, RoundTripRandomImages) {
    TempDir dir;
    std::mt19937 rng(42);
    for (int bits : {24, 32}) {
        for (int trial = 0; trial < 4; ++trial) {
            const int w = 1 + static_cast<int>(rng() % 37);
            const int h = 1 + static_cast<int>(rng() % 23);
            std::vector<std::uint32_t> pool(1 + rng() % 40);
            for (auto& c : pool) c = rng();
            pool[0] = bits == 24 ? MAGENTA : 0;
            std::vector<std::uint32_t> px(static_cast<std::size_t>(w * h));
            for (auto& p : px) p = pool[rng() % pool.size()];
            writeFile(dir.file("in.bmp"), makeBmp(w, h, bits, px));
            ASSERT_EQ(runIn(dir, {"r", "in.bmp", "mid.rle"}).status, 0);
            ASSERT_EQ(runIn(dir, {"b", "mid.rle", "out.bmp"}).status, 0);
            const Bytes out = readFile(dir.file("out.bmp"));
            ASSERT_EQ(out.size(), makeBmp(w, h, bits, px).size());
            const int bpp = bits / 8;
            const int row = (w * bpp + 3) / 4 * 4;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const std::uint32_t p = px[static_cast<std::size_t>(y * w + x)];
                    const std::uint8_t* q =
                        &out[static_cast<std::size_t>(54 + (h - 1 - y) * row + x * bpp)];
                    const int a = bits == 32 ? ((p >> 24) >= 251 ? 32 : (p >> 24) >> 3) : 32;
                    const bool hidden = bits == 24 ? (p & 0xF8FCF8) == 0xF800F8 : a == 0;
                    const int b5 = hidden ? 31 : (p & 0xFF) >> 3;
                    const int g6 = hidden ? 0 : ((p >> 8) & 0xFF) >> 2;
                    const int r5 = hidden ? 31 : ((p >> 16) & 0xFF) >> 3;
                    EXPECT_EQ(q[0], b5 * 255 / 31);
                    EXPECT_EQ(q[1], g6 * 255 / 63);
                    EXPECT_EQ(q[2], r5 * 255 / 31);
                    if (bits == 32) {
                        EXPECT_EQ(q[3], hidden ? 0 : (a == 32 ? 255 : a * 8));
                    }
                }
            }
        }
    }
}

TEST(Cli, ListModeLogsEveryFailure) {
    TempDir dir;
    writeFile(dir.file("good.bmp"), makeBmp(2, 1, 24, {1, 2}));
    writeFile(dir.file("good2.bmp"), makeBmp(2, 1, 24, {3, 4}));
    writeFile(dir.file("trail .bmp"), makeBmp(1, 1, 24, {5}));
    writeFile(dir.file("many.bmp"), manyColours(253, 1, 253));
    writeFile(dir.file("done.rle"), {'R', 'L', 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0x1F, 0xF8, 1, 0});
    writeFile(dir.file("junk"), {'x', 'y'});
    const Bytes manyBefore = readFile(dir.file("many.bmp"));
    writeText(dir.file("list.txt"),
              "good.bmp\r\ngood2.bmp\t\n\nmissing.bmp\ndone.rle\nmany.bmp\njunk\ntrail .bmp \n"
              "trail .bmp\ntrail .bmp");
    const RunResult run = runIn(dir, {"l", "list.txt", "log.txt"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readText(dir.file("log.txt")),
              "[] Load failed: failed to open file\n"
              "[missing.bmp] Load failed: failed to open file\n"
              "[done.rle] already RLE\n"
              "[many.bmp] conversion failed, 254 colors\n"
              "[junk] Load failed: unknown format\n"
              "[trail .bmp ] Load failed: failed to open file\n"
              "[trail .bmp] already RLE\n"
              "done\n");
    EXPECT_EQ(readFile(dir.file("good.bmp"))[0], 'R');
    EXPECT_EQ(readFile(dir.file("good2.bmp"))[0], 'R');
    EXPECT_EQ(readFile(dir.file("many.bmp")), manyBefore);
}

TEST(Cli, ListModeOddCases) {
    TempDir dir;
    writeText(dir.file("empty.txt"), "");
    RunResult run = runIn(dir, {"l", "empty.txt"});
    EXPECT_EQ(run.out, "done\n");
    EXPECT_EQ(run.status, 0);

    run = runIn(dir, {"l", "nolist.txt"});
    EXPECT_EQ(run.out, "unable to open list of files\n");
    EXPECT_EQ(run.status, 1);

    // An unwritable log falls back to standard output.
    writeText(dir.file("one.txt"), "nothing.bmp\n");
    run = runIn(dir, {"l", "one.txt", "no/such/folder/log.txt"});
    EXPECT_EQ(run.out,
              "unable to open log file, using stdout\n"
              "[nothing.bmp] Load failed: failed to open file\n"
              "done\n");
    EXPECT_EQ(run.status, 0);

    // A line of 1200 characters is one name, which does not open.
    const std::string longName(1200, 'a');
    writeText(dir.file("long.txt"), longName + "\n");
    run = runIn(dir, {"l", "long.txt"});
    EXPECT_EQ(run.out, "[" + longName + "] Load failed: failed to open file\ndone\n");

    // The same file twice: converted once, then reported as already RLE.
    writeFile(dir.file("twice.bmp"), makeBmp(2, 1, 24, {1, 2}));
    writeText(dir.file("twice.txt"), "twice.bmp\ntwice.bmp\n");
    run = runIn(dir, {"l", "-v2", "twice.txt"});
    EXPECT_EQ(run.out, "[twice.bmp] already RLE\ndone\n");
}

// Each converted file keeps its permissions, whether the umask leaves them
// whole (the file is made with them at once) or not (they are set after).
TEST(Cli, ListModeKeepsPermissions) {
    TempDir dir;
    const std::vector<mode_t> modes{0640, 0604, 0666, 0777, 0600, 0444};
    const std::vector<std::string> names{"p0.bmp", "p1.bmp", "p2.bmp",
                                         "p3.bmp", "p4.bmp", "p5.bmp"};
    std::string list;
    for (std::size_t k = 0; k < modes.size(); ++k) {
        writeFile(dir.file(names[k]), makeBmp(2, 1, 24, {1, 2}));
        ASSERT_EQ(chmod(dir.file(names[k]).c_str(), modes[k]), 0);
        list.append(names[k]).append("\n");
    }
    writeText(dir.file("list.txt"), list);
    const mode_t before = umask(022);
    const RunResult run = runIn(dir, {"l", "list.txt"});
    umask(before);
    EXPECT_EQ(run.out, "done\n");
    for (std::size_t k = 0; k < modes.size(); ++k) {
        SCOPED_TRACE(k);
        const std::string name = dir.file(names[k]);
        EXPECT_EQ(readFile(name)[0], 'R');
        struct stat info;
        ASSERT_EQ(stat(name.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, modes[k]);
    }
    EXPECT_EQ(listFolder(dir.path()).size(), modes.size() + 1);
}

TEST(Cli, NothingOnStandardError) {
    TempDir dir;
    writeFile(dir.file("junk"), {'B', 'M'});
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"r", "junk"}, {"b", "junk"}, {"l", "junk"}, {"l", "missing"}}) {
        EXPECT_EQ(runIn(dir, args).err, "");
    }
}

}  // namespace

namespace {

// Every file of the public BMP suite through the binary: it either converts
// (with -v2 where it needs several palettes) and comes back with the same
// pixels, or fails with one line and status 1.
TEST(Cli, PublicSuiteConvertsOrFailsCleanly) {
    TempDir dir;
    int converted = 0;
    int refused = 0;
    for (const std::string folder : {"g", "q", "b"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::string(RLE565_TEST_DATA) +
                                                                     "/bmpsuite/" + folder)) {
            const std::string name = entry.path().string();
            SCOPED_TRACE(name);
            const RunResult run = runIn(dir, {"r", "-v2", name, "out.rle"});
            EXPECT_EQ(run.err, "");
            if (run.status != 0) {
                ++refused;
                EXPECT_EQ(run.status, 1);
                EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
                EXPECT_TRUE(run.out.rfind("Load failed: ", 0) == 0 ||
                            run.out.rfind("failed, ", 0) == 0)
                    << run.out;
                EXPECT_FALSE(std::filesystem::exists(dir.file("out.rle")));
                continue;
            }
            ++converted;
            const RunResult back = runIn(dir, {"b", "out.rle", "back.bmp"});
            ASSERT_EQ(back.status, 0) << back.out;
            ErrorText error{};
            const auto source = loadImage(name.c_str(), error);
            const auto result = loadImage(dir.file("back.bmp").c_str(), error);
            ASSERT_TRUE(source && result);
            ASSERT_EQ(result->width, source->width);
            ASSERT_EQ(result->height, source->height);
            ASSERT_EQ(result->hasAlpha(), source->hasAlpha());
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < source->pixels.size(); ++i) {
                const bool hidden =
                    source->hasAlpha() ? source->alpha[i] == 0 : source->pixels[i] == COLOR_KEY;
                const std::uint16_t colour = hidden ? COLOR_KEY : source->pixels[i];
                if (result->pixels[i] != colour) ++wrong;
                if (source->hasAlpha() && result->alpha[i] != source->alpha[i]) ++wrong;
            }
            EXPECT_EQ(wrong, 0u);
            std::filesystem::remove(dir.file("out.rle"));
        }
    }
    EXPECT_EQ(converted, 72);
    EXPECT_EQ(refused, 18);
}

// Bit-mask, RLE-coded and PNG files written by other tools convert and come
// back with every visible pixel and every alpha.
TEST(Cli, OtherInputFormatsConvertAndComeBack) {
    TempDir dir;
    int converted = 0;
    for (const std::string folder : {"written", "png"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(RLE565_TEST_DATA) + "/" + folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".bmp" && ext != ".png") continue;
            const std::string name = entry.path().string();
            SCOPED_TRACE(name);
            const RunResult run = runIn(dir, {"r", "-v2", name, "out.rle"});
            ASSERT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(run.out, "");
            const RunResult back = runIn(dir, {"b", "out.rle", "back.bmp"});
            ASSERT_EQ(back.status, 0) << back.out;
            ErrorText error{};
            const auto source = loadImage(name.c_str(), error);
            const auto result = loadImage(dir.file("back.bmp").c_str(), error);
            ASSERT_TRUE(source && result);
            ASSERT_EQ(result->hasAlpha(), source->hasAlpha());
            ASSERT_EQ(result->pixels.size(), source->pixels.size());
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < source->pixels.size(); ++i) {
                const bool hidden =
                    source->hasAlpha() ? source->alpha[i] == 0 : source->pixels[i] == COLOR_KEY;
                if (result->pixels[i] != (hidden ? COLOR_KEY : source->pixels[i])) ++wrong;
                if (source->hasAlpha() && result->alpha[i] != source->alpha[i]) ++wrong;
            }
            EXPECT_EQ(wrong, 0u);
            ++converted;
        }
    }
    EXPECT_EQ(converted, 39);
}

// Damaged bit-mask, RLE-coded and PNG files get one line each, status 1 and
// no output file.
TEST(Cli, DamagedNewInputsGiveOneLine) {
    TempDir dir;
    // Masks that overlap; RLE8 codes cut short inside a run.
    writeFile(
        dir.file("masks.bmp"),
        BmpBuilder(1, 1, 16).compression(3).masks({0xF800, 0x0FE0, 0x001F}).row({0, 0}).build());
    writeFile(dir.file("rle.bmp"), BmpBuilder(1, 1, 8)
                                       .compression(1)
                                       .colorsUsed(1)
                                       .color(0, 0, 0)
                                       .raw({0x02, 0x00, 0x00})
                                       .build());
    // A PNG cut inside its first chunk.
    Bytes png = readFile(std::string(RLE565_TEST_DATA) + "/png/rgb8.png");
    png.resize(20);
    writeFile(dir.file("cut.png"), png);

    for (const auto& [name, line] :
         {std::pair<std::string, std::string>{"masks.bmp", "Load failed: invalid bit masks\n"},
          {"rle.bmp", "Load failed: corrupt RLE bitmap\n"},
          {"cut.png", "Load failed: PNG read error: end of stream\n"}}) {
        const RunResult run = runIn(dir, {"r", name, "out.rle"});
        EXPECT_EQ(run.out, line);
        EXPECT_EQ(run.status, 1);
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.rle")));
    }
    writeText(dir.file("list.txt"), "masks.bmp\ncut.png\n");
    const RunResult list = runIn(dir, {"l", "list.txt"});
    EXPECT_EQ(list.out,
              "[masks.bmp] Load failed: invalid bit masks\n"
              "[cut.png] Load failed: PNG read error: end of stream\n"
              "done\n");
    EXPECT_EQ(readFile(dir.file("cut.png")), png);
}

TEST(Cli, UnreadableInputIsAFailedLoad) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    writeFile(dir.file("s.bmp"), makeBmp(2, 1, 24, {1, 2}));
    chmod(dir.file("s.bmp").c_str(), 0);
    const RunResult run = runIn(dir, {"r", "s.bmp"});
    chmod(dir.file("s.bmp").c_str(), 0644);
    EXPECT_EQ(run.out, "Load failed: failed to open file\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace

namespace {

// An allocation that fails ends that file's conversion with one line; list
// mode goes on with the next file. The address-space limit would also starve
// a sanitizer's or valgrind's own reservations, so those runs skip it.
TEST(Cli, OutOfMemoryIsOneLine) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
#endif
    if (std::getenv("RLE565_WRAPPER")) GTEST_SKIP() << "the checker needs the address space";
    TempDir dir;
    // A 1-bit 8000 x 8000 image: 8 MB on disk, 128 MB of RGB565 pixels.
    const int side = 8000;
    const int row = (side + 31) / 32 * 4;
    Bytes bmp{'B', 'M'};
    put32(bmp, static_cast<std::uint32_t>(62 + row * side));
    put32(bmp, 0);
    put32(bmp, 62);
    put32(bmp, 40);
    put32(bmp, side);
    put32(bmp, side);
    put16(bmp, 1);
    put16(bmp, 1);
    for (int i = 0; i < 6; ++i) put32(bmp, 0);
    put32(bmp, 0);
    put32(bmp, 0xFFFFFF);
    bmp.resize(bmp.size() + static_cast<std::size_t>(row) * side, 0);
    writeFile(dir.file("big.bmp"), bmp);
    const std::string limit = "ulimit -v 120000;";
    RunResult run = runIn(dir, {"r", "big.bmp", "big.rle"}, limit);
    EXPECT_EQ(run.out, "out of memory\n");
    EXPECT_EQ(run.status, 1);
    writeText(dir.file("list.txt"), "big.bmp\nnone.bmp\n");
    run = runIn(dir, {"l", "list.txt"}, limit);
    EXPECT_EQ(run.out,
              "[big.bmp] out of memory\n[none.bmp] Load failed: failed to open file\ndone\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("big.bmp")), bmp);
}

}  // namespace

// Targets that are not plain files in plain folders, kills, limits and logs:
// the files around a conversion stay whole, whatever happens to it.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iterator>
#include <thread>

namespace {

// Runs a shell command in the folder and returns its exit status.
int shellIn(const TempDir& dir, const std::string& command) {
    const int raw =
        std::system(("cd " + shellQuote(dir.path().string()) + " && " + command).c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::string binary() { return shellQuote(RLE565_BINARY); }

// A 24-bit image of a few colours and the RLE file the converter makes of it.
Bytes smallBmp() { return makeBmp(3, 2, 24, {1, MAGENTA, 2, 2, 3, 1}); }
Bytes smallRle(const TempDir& dir) {
    writeFile(dir.file("expected.bmp"), smallBmp());
    EXPECT_EQ(runIn(dir, {"r", "expected.bmp", "expected.rle"}).status, 0);
    Bytes rle = readFile(dir.file("expected.rle"));
    std::filesystem::remove(dir.file("expected.bmp"));
    std::filesystem::remove(dir.file("expected.rle"));
    return rle;
}

bool isSymlink(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// A character device of the machine's null (1, 3) or full (1, 7) kind. Root
// makes one of its own in the folder, so that a converter that replaces
// devices damages only that one; others cannot replace /dev's.
std::string deviceNode(const TempDir& dir, const std::string& name, unsigned minor) {
    if (geteuid() != 0) return "/dev/" + name;
    EXPECT_EQ(mknod(dir.file(name).c_str(), S_IFCHR | 0666, makedev(1, minor)), 0);
    return name;
}

bool isCharDevice(const TempDir& dir, const std::string& path) {
    struct stat info;
    const std::string full = path[0] == '/' ? path : dir.file(path);
    return stat(full.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

TEST(CliTargets, DevicesAndFifosAreWrittenAsTheyAre) {
    TempDir dir;
    writeFile(dir.file("s.bmp"), smallBmp());
    const Bytes rle = smallRle(dir);
    writeFile(dir.file("s.rle"), rle);
    const std::string null = deviceNode(dir, "null", 3);
    const std::string full = deviceNode(dir, "full", 7);
    // A null device stays the device, whoever converts into it.
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"r", "s.bmp", null}, {"b", "s.rle", null}}) {
        const RunResult run = runIn(dir, args);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(isCharDevice(dir, null));
    }
    // A device that refuses the bytes is a failed write.
    EXPECT_EQ(runIn(dir, {"r", "s.bmp", full}).out, "failed to write file\n");
    EXPECT_TRUE(isCharDevice(dir, full));

    // A FIFO gets the file's bytes and stays a FIFO.
    ASSERT_EQ(mkfifo(dir.file("out.fifo").c_str(), 0644), 0);
    Bytes received;
    std::thread reader([&] { received = readFile(dir.file("out.fifo")); });
    const RunResult run = runIn(dir, {"r", "s.bmp", "out.fifo"});
    reader.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(received, rle);
    struct stat info;
    ASSERT_EQ(stat(dir.file("out.fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    // A link to standard output, as /dev/stdout is, into a pipe: the bytes
    // come out of the pipe and the link stays.
    std::filesystem::create_symlink("/proc/self/fd/1", dir.file("stdout"));
    ASSERT_EQ(shellIn(dir, binary() + " r s.bmp stdout | cat > piped.rle"), 0);
    EXPECT_EQ(readFile(dir.file("piped.rle")), rle);
    EXPECT_TRUE(isSymlink(dir.file("stdout")));
    std::vector<std::string> expected{"out.fifo", "piped.rle", "s.bmp", "s.rle", "stdout"};
    if (null[0] != '/')
        expected = {"full", "null", "out.fifo", "piped.rle", "s.bmp", "s.rle", "stdout"};
    EXPECT_EQ(listFolder(dir.path()), expected);
}

TEST(CliTargets, LinksStayLinks) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("art"));
    writeFile(dir.file("art/s.bmp"), smallBmp());
    const Bytes rle = smallRle(dir);
    std::filesystem::create_symlink("art/s.bmp", dir.file("link.bmp"));

    // In place through the link: the file it leads to is replaced.
    RunResult run = runIn(dir, {"r", "link.bmp"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(isSymlink(dir.file("link.bmp")));
    EXPECT_EQ(readFile(dir.file("art/s.bmp")), rle);
    // And back, through a link to a link.
    std::filesystem::create_symlink("link.bmp", dir.file("link2"));
    run = runIn(dir, {"b", "link2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(isSymlink(dir.file("link2")));
    EXPECT_TRUE(isSymlink(dir.file("link.bmp")));
    EXPECT_EQ(readFile(dir.file("art/s.bmp"))[0], 'B');
    EXPECT_EQ(listFolder(dir.file("art")), (std::vector<std::string>{"s.bmp"}));

    // A link that leads nowhere is not written, nor replaced.
    std::filesystem::create_symlink("art/none.rle", dir.file("dangling"));
    run = runIn(dir, {"r", "art/s.bmp", "dangling"});
    EXPECT_EQ(run.out, "failed to write file\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(isSymlink(dir.file("dangling")));
    EXPECT_EQ(listFolder(dir.path()),
              (std::vector<std::string>{"art", "dangling", "link.bmp", "link2"}));
    EXPECT_EQ(listFolder(dir.file("art")), (std::vector<std::string>{"s.bmp"}));
}

// Temporary names do not grow with the target's: the longest names convert.
TEST(CliTargets, LongestNamesConvert) {
    TempDir dir;
    const std::string name = std::string(248, 'n') + ".bmp";
    writeFile(dir.file(name), smallBmp());
    const Bytes rle = smallRle(dir);
    RunResult run = runIn(dir, {"r", name});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file(name)), rle);
    const std::string longest(255, 'o');
    run = runIn(dir, {"b", name, longest});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{name, longest}));
}

// Makes the kernel refuse unnamed files (open with O_TMPFILE) to this process
// and the programs it runs, as some file systems do; false where the filter
// is not available.
bool refuseUnnamedFiles() {
#if defined(__x86_64__) || defined(__aarch64__)
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

// Starts the binary in the folder with standard output thrown away; its
// process id. With bNamed the binary cannot make unnamed files (it exits
// with status 126 where that cannot be arranged).
pid_t startIn(const TempDir& dir, const std::vector<std::string>& args, bool bNamed) {
    const pid_t pid = fork();
    if (pid == 0) {
        // The signals the tests send take their default course, whatever
        // the test run inherited: a background job of a script starts with
        // SIGINT ignored, nohup with SIGHUP, and the program keeps signals
        // ignored at its start ignored.
        for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_DFL);
        if (bNamed && !refuseUnnamedFiles()) _exit(126);
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        std::vector<std::string> all{RLE565_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Starts the binary as startIn() does, lets it run for up to `delay`, sends
// it `signal` and returns its wait status; sooner once ready() holds.
int killAfter(const TempDir& dir, const std::vector<std::string>& args,
              std::chrono::microseconds delay, int signal, bool bNamed = false,
              const std::function<bool()>& ready = {}) {
    const pid_t pid = startIn(dir, args, bNamed);
    // A run that ends before the delay is not waited for any longer.
    const auto until = std::chrono::steady_clock::now() + delay;
    int status = 0;
    while (std::chrono::steady_clock::now() < until && !(ready && ready())) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, signal);
    waitpid(pid, &status, 0);
    return status;
}

// Kills at many moments of r, b and l leave the input whole (or, once the run
// got through, its result) and no other file, hidden ones included.
TEST(CliTargets, KillsLeaveNothingBehind) {
    if (std::getenv("RLE565_WRAPPER")) GTEST_SKIP() << "the checker's own start takes the time";
    TempDir dir;
    writeFile(dir.file("big.bmp"), manyColours(1024, 512, 200));
    const Bytes bmp = readFile(dir.file("big.bmp"));
    const auto timed = [&dir](const std::vector<std::string>& args) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(runIn(dir, args).status, 0);
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
    };
    const auto tookR = timed({"r", "big.bmp", "big.rle"});
    const Bytes rle = readFile(dir.file("big.rle"));
    const auto tookB = timed({"b", "big.rle", "back.bmp"});
    const Bytes back = readFile(dir.file("back.bmp"));
    std::filesystem::remove(dir.file("back.bmp"));

    constexpr int KILLS = 8;
    int killed = 0;
    const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL};
    for (int k = 0; k < KILLS; ++k) {
        const int signal = signals[k % 4];
        SCOPED_TRACE(std::to_string(signal) + " at " + std::to_string(k + 1) + "/" +
                     std::to_string(KILLS));
        int status = killAfter(dir, {"r", "big.bmp"}, tookR * (k + 1) / KILLS, signal);
        if (WIFSIGNALED(status)) ++killed;
        const Bytes now = readFile(dir.file("big.bmp"));
        EXPECT_TRUE(now == bmp || now == rle);
        writeFile(dir.file("big.bmp"), bmp);
        status = killAfter(dir, {"b", "big.rle", "out.bmp"}, tookB * (k + 1) / KILLS, signal);
        if (WIFSIGNALED(status)) ++killed;
        if (std::filesystem::exists(dir.file("out.bmp"))) {
            EXPECT_EQ(readFile(dir.file("out.bmp")), back);
            std::filesystem::remove(dir.file("out.bmp"));
        }
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.bmp", "big.rle"}));
        EXPECT_EQ(readFile(dir.file("big.rle")), rle);
        writeText(dir.file("list.txt"), "big.bmp\n");
        status = killAfter(dir, {"l", "list.txt", "log.txt"}, tookR * (k + 1) / KILLS, signal);
        if (WIFSIGNALED(status)) ++killed;
        const Bytes listed = readFile(dir.file("big.bmp"));
        EXPECT_TRUE(listed == bmp || listed == rle);
        writeFile(dir.file("big.bmp"), bmp);
        std::filesystem::remove(dir.file("list.txt"));
        std::filesystem::remove(dir.file("log.txt"));
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.bmp", "big.rle"}));
    }
    // Most of them landed in the middle of a run.
    EXPECT_GE(killed, KILLS / 2);
}

// The hidden temporary file in the folder, or "" when there is none.
std::string temporaryIn(const TempDir& dir) {
    for (const std::string& name : listFolder(dir.path()))
        if (name.rfind(".rle565-", 0) == 0) return name;
    return "";
}

// Where the file system cannot make unnamed files, the output is a hidden
// named file, which SIGTERM, SIGINT and SIGHUP remove before they end the
// run. Each run is stopped while its temporary file is there, and only then
// sent the signal: every kill lands while the file exists.
TEST(CliTargets, NamedTemporaryFilesGoWithTheSignal) {
    TempDir dir;
    writeFile(dir.file("big.bmp"), manyColours(1024, 1024, 200));
    ASSERT_EQ(runIn(dir, {"r", "big.bmp", "big.rle"}).status, 0);
    std::filesystem::remove(dir.file("big.bmp"));
    const Bytes rle = readFile(dir.file("big.rle"));
    const std::vector<std::string> args = {"b", "big.rle", "out.bmp"};
    int status = 0;
    waitpid(startIn(dir, args, true), &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126) GTEST_SKIP() << "no seccomp filter";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const Bytes bmp = readFile(dir.file("out.bmp"));
    std::filesystem::remove(dir.file("out.bmp"));

    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    int killed = 0;
    // A run that ends between two looks at the folder is not killed; it
    // is tried again.
    for (int k = 0; k < 30 && killed < 6; ++k) {
        SCOPED_TRACE(k);
        const int signal = signals[killed % 3];
        const pid_t pid = startIn(dir, args, true);
        bool bStopped = false;
        // Mode b writes as it decodes: the file is there for most of the
        // run. The stops spread over its first milliseconds.
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (temporaryIn(dir).empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                continue;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(400 * (k % 4)));
            kill(pid, SIGSTOP);
            waitpid(pid, &status, WUNTRACED);
            bStopped = WIFSTOPPED(status);
            break;
        }
        bool bKilled = false;
        if (bStopped) {
            // Stopped, the process cannot rename its file away meanwhile.
            bKilled = !temporaryIn(dir).empty();
            if (bKilled) kill(pid, signal);
            kill(pid, SIGCONT);
            waitpid(pid, &status, 0);
        }
        if (bKilled) {
            ++killed;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(readFile(dir.file("out.bmp")), bmp);
            std::filesystem::remove(dir.file("out.bmp"));
        }
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"big.rle"}));
        EXPECT_EQ(readFile(dir.file("big.rle")), rle);
    }
    EXPECT_EQ(killed, 6);
}

// Past a file-size limit a write fails like any other: one line, nothing
// left, and a list goes on.
TEST(CliTargets, FileSizeLimitIsAFailedWrite) {
    TempDir dir;
    std::vector<std::uint32_t> px(200 * 200);
    std::mt19937 rng(7);
    for (auto& p : px) p = (rng() % 200) * 0x010101;
    writeFile(dir.file("big.bmp"), makeBmp(200, 200, 24, px));
    writeFile(dir.file("small.bmp"), makeBmp(2, 1, 24, {1, 2}));
    const Bytes before = readFile(dir.file("big.bmp"));
    RunResult run = runIn(dir, {"r", "big.bmp"}, "ulimit -f 8;");
    EXPECT_EQ(run.out, "failed to write file\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readFile(dir.file("big.bmp")), before);
    writeText(dir.file("list.txt"), "big.bmp\nsmall.bmp\n");
    run = runIn(dir, {"l", "list.txt", "log.txt"}, "ulimit -f 8;");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readText(dir.file("log.txt")), "[big.bmp] write failed\ndone\n");
    EXPECT_EQ(readFile(dir.file("big.bmp")), before);
    EXPECT_EQ(readFile(dir.file("small.bmp"))[0], 'R');
    EXPECT_EQ(listFolder(dir.path()),
              (std::vector<std::string>{"big.bmp", "list.txt", "log.txt", "small.bmp"}));
}

TEST(CliTargets, LogThatCannotBeWritten) {
    TempDir dir;
    writeText(dir.file("list.txt"), "missing.bmp\n");
    RunResult run = runIn(dir, {"l", "list.txt", deviceNode(dir, "full", 7)});
    EXPECT_EQ(run.out, "failed to write log file\n");
    EXPECT_EQ(run.status, 1);
    // The log on standard output, which is full.
    EXPECT_EQ(shellIn(dir, binary() + " l list.txt >/dev/full"), 1);
    // A log that can be written still gets status 0.
    EXPECT_EQ(shellIn(dir, binary() + " l list.txt >/dev/null"), 0);
}

// Each log line is in the file as soon as it is made: a run that waits for
// its second file, killed, keeps the first line.
TEST(CliTargets, LogLinesAreWrittenThrough) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("waits.bmp").c_str(), 0644), 0);
    writeText(dir.file("list.txt"), "missing.bmp\nwaits.bmp\n");
    const std::string line = "[missing.bmp] Load failed: failed to open file\n";
    const int status =
        killAfter(dir, {"l", "list.txt", "log.txt"}, std::chrono::seconds(5), SIGKILL, false,
                  [&] { return readText(dir.file("log.txt")) == line; });
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(readText(dir.file("log.txt")), line);
}

// A list line of any length is one name: a 1013-character path does not
// convert a file named by its last 14 characters.
TEST(CliTargets, LongListLineIsOneName) {
    TempDir dir;
    writeFile(dir.file("tail_image.bmp"), smallBmp());
    const std::string name = std::string(999, 'd') + "tail_image.bmp";
    writeText(dir.file("list.txt"), name + "\n");
    const RunResult run = runIn(dir, {"l", "list.txt"});
    EXPECT_EQ(run.out, "[" + name + "] Load failed: failed to open file\ndone\n");
    EXPECT_EQ(readFile(dir.file("tail_image.bmp")), smallBmp());
}

// A header that claims far more than a FIFO sends is refused at once,
// without taking the memory it claims.
TEST(CliTargets, LyingHeaderThroughAFifo) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
#endif
    if (std::getenv("RLE565_WRAPPER")) GTEST_SKIP() << "the checker needs the address space";
    TempDir dir;
    // 16384 x 16384 at 1 bit: 32 MiB of rows, 512 MiB of pixels; 1000 bytes sent.
    Bytes bmp{'B', 'M'};
    put32(bmp, 0);
    put32(bmp, 0);
    put32(bmp, 62);
    put32(bmp, 40);
    put32(bmp, 16384);
    put32(bmp, 16384);
    put16(bmp, 1);
    put16(bmp, 1);
    for (int i = 0; i < 6; ++i) put32(bmp, 0);
    put32(bmp, 0);
    put32(bmp, 0xFFFFFF);
    bmp.resize(1000, 0);
    writeFile(dir.file("lie.bmp"), bmp);
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0644), 0);
    const RunResult run =
        runIn(dir, {"r", "in.fifo", "out.rle"}, "(cat lie.bmp > in.fifo &); ulimit -v 200000;");
    EXPECT_EQ(run.out, "Load failed: truncated file\n");
    EXPECT_EQ(run.status, 1);
    // The whole file through a FIFO converts as it does from the disk.
    writeFile(dir.file("s.bmp"), smallBmp());
    const Bytes rle = smallRle(dir);
    EXPECT_EQ(runIn(dir, {"r", "in.fifo", "out.rle"}, "(cat s.bmp > in.fifo &);").status, 0);
    EXPECT_EQ(readFile(dir.file("out.rle")), rle);
}

// The POSIX ACL of a file as the kernel stores it in system.posix_acl_access:
// a version word, then (tag, permissions, id) per entry, in tag order.
Bytes aclBytes(const std::vector<std::array<std::uint32_t, 3>>& entries) {
    Bytes b;
    put32(b, 2);
    for (const auto& [tag, perm, id] : entries) {
        put16(b, tag);
        put16(b, perm);
        put32(b, id);
    }
    return b;
}

Bytes attribute(const std::string& path, const char* name) {
    Bytes value(256);
    const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

// In place, the new file keeps the owner, group, ACL and other attributes of
// the file it replaces, in modes r and l.
TEST(CliTargets, OwnerAclAndAttributesAreKept) {
    if (geteuid() != 0) GTEST_SKIP() << "only root gives files to other users";
    TempDir dir;
    constexpr std::uint32_t NONE = 0xFFFFFFFF;
    // user::rw-, user:4321:r--, group::r--, mask::rw-, other::---
    const Bytes acl =
        aclBytes({{1, 6, NONE}, {2, 4, 4321}, {4, 4, NONE}, {0x10, 6, NONE}, {0x20, 0, NONE}});
    const std::vector<std::string> names{"a.bmp", "b.bmp"};
    for (const std::string& name : names) {
        const std::string path = dir.file(name);
        writeFile(path, smallBmp());
        ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
        ASSERT_EQ(setxattr(path.c_str(), "user.origin", "pack 7", 6, 0), 0);
        ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    }
    writeText(dir.file("list.txt"), "b.bmp\n");
    ASSERT_EQ(runIn(dir, {"r", "a.bmp"}).status, 0);
    ASSERT_EQ(runIn(dir, {"l", "list.txt"}).out, "done\n");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        EXPECT_EQ(readFile(path)[0], 'R');
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 1234u);
        EXPECT_EQ(info.st_gid, 5678u);
        EXPECT_EQ(info.st_mode & 07777, 0660u);  // the group bits show the mask
        EXPECT_EQ(attribute(path, "system.posix_acl_access"), acl);
        EXPECT_EQ(attribute(path, "user.origin"), (Bytes{'p', 'a', 'c', 'k', ' ', '7'}));
    }
}

// An ordinary user who may replace a file but not keep its group gives the
// new file's group no more than everybody had; a file of its own keeps its
// attributes.
TEST(CliTargets, OrdinaryUserNeverWidensPermissions) {
    if (geteuid() != 0) GTEST_SKIP() << "the test hands files to another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string work = dir.file("work");
    std::filesystem::create_directory(work);
    ASSERT_EQ(chown(work.c_str(), 65534, 65534), 0);
    const std::string other = work + "/other.bmp";
    writeFile(other, smallBmp());
    ASSERT_EQ(chown(other.c_str(), 0, 1234), 0);
    ASSERT_EQ(chmod(other.c_str(), 0664), 0);
    const std::string own = work + "/own.bmp";
    writeFile(own, smallBmp());
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(own.c_str(), 0440), 0);
    ASSERT_EQ(setxattr(own.c_str(), "user.origin", "mine", 4, 0), 0);
    const std::string user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    ASSERT_EQ(runIn(dir, {"r", "work/other.bmp"}, user).status, 0);
    // A read-only file of its own, in a list: attributes and permissions kept.
    writeText(dir.file("list.txt"), "work/own.bmp\n");
    const mode_t before = umask(022);
    EXPECT_EQ(runIn(dir, {"l", "list.txt"}, user).out, "done\n");
    umask(before);
    struct stat info;
    ASSERT_EQ(stat(other.c_str(), &info), 0);
    EXPECT_EQ(readFile(other)[0], 'R');
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(own.c_str(), &info), 0);
    EXPECT_EQ(readFile(own)[0], 'R');
    EXPECT_EQ(info.st_mode & 07777, 0440u);
    EXPECT_EQ(attribute(own, "user.origin"), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(listFolder(work), (std::vector<std::string>{"other.bmp", "own.bmp"}));
}

// Width or height 0 at 32 bits: the alpha plane is there, of no pixels.
TEST(CliTargets, ZeroSizeImagesKeepTheirAlpha) {
    TempDir dir;
    writeFile(dir.file("z.bmp"), makeBmp(0, 3, 32, {}));
    RunResult run = runIn(dir, {"r", "z.bmp", "z.rle"});
    EXPECT_EQ(run.status, 0);
    // Flags 1, 0 x 3, one entry with its alpha byte, three empty lines.
    EXPECT_EQ(readFile(dir.file("z.rle")),
              (Bytes{0x52, 0x4C, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x03, 0x00, 0x1F,
                     0xF8, 0x20, 0x00, 0x00, 0x00}));
    run = runIn(dir, {"b", "z.rle", "back.bmp"});
    EXPECT_EQ(run.status, 0);
    Bytes expected = makeBmp(0, 3, 32, {});
    storeLe32(&expected[38], 7874);
    storeLe32(&expected[42], 7874);
    EXPECT_EQ(readFile(dir.file("back.bmp")), expected);
    EXPECT_EQ(expected[28], 32);
}

}  // namespace
