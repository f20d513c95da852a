// The real binary, run as a user would: what it prints, its exit status, and
// the files it leaves behind.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/rle_reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
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
// that create any file.
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
        if (line.find("O_CREAT") != std::string::npos) ++opens.nCreated;
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

    // A line of 1200 characters is read as a piece of 999 and one of 201.
    const std::string longName(1200, 'a');
    writeText(dir.file("long.txt"), longName + "\n");
    run = runIn(dir, {"l", "long.txt"});
    EXPECT_EQ(run.out, "[" + std::string(999, 'a') + "] Load failed: failed to open file\n[" +
                           std::string(201, 'a') + "] Load failed: failed to open file\ndone\n");

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
    EXPECT_EQ(converted, 37);
    EXPECT_EQ(refused, 53);
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
