// Small hostile files through the real programs: each is refused or
// converted with one line, in bounded time, and with memory that follows the
// bytes present rather than what a header claims. Peak memory is the child's
// own, from wait4, so one test's use never shows in another's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "gif_builder.h"
#include "rle_builder.h"
#include "temp_dir.h"

namespace {

// What a child did: its status, what it printed and its peak memory.
struct Child {
    int status = -1;
    std::string out;
    std::string err;
    long peakKiB = 0;
};

// Memory a small input may take: the programs' own start-up (the C++
// runtime, libspng, giflib; more under the sanitizers) and a few times the
// input. The faults these tests guard against took gigabytes.
constexpr long ALLOWED_KIB = 96 * 1024;

// Runs `command` with the shell in `folder`, killed after 60 s, and measures
// the shell and everything it waited for.
Child run(const TempDir& folder, const std::string& command) {
    const std::string outPath = folder.file(".out");
    const std::string errPath = folder.file(".err");
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.path().c_str()) != 0) _exit(126);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    Child child;
    int status = 0;
    rusage usage{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            ADD_FAILURE() << "still running after 60 s: " << command;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const Bytes out = readFile(outPath);
    const Bytes err = readFile(errPath);
    child.out.assign(out.begin(), out.end());
    child.err.assign(err.begin(), err.end());
    child.peakKiB = usage.ru_maxrss;
    return child;
}

std::string rle565(const std::string& args) { return std::string(RLE565_BINARY) + " " + args; }
std::string info(const std::string& args) { return std::string(RLE565_INFO_BINARY) + " " + args; }
std::string pack(const std::string& args) { return std::string(RLE565_PACK_BINARY) + " " + args; }

void put32be(Bytes& bytes, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<std::uint8_t>(v >> shift));
}

void pngChunk(Bytes& png, const char* type, const Bytes& data) {
    put32be(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32be(png, static_cast<std::uint32_t>(
                     crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

Bytes deflate(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// `count` zero bytes deflated a block at a time: the test's own memory
// stays small, so that the children it forks start small.
Bytes deflateZeros(std::size_t count) {
    z_stream z{};
    deflateInit(&z, 9);
    const Bytes zeros(1 << 20, 0);
    Bytes out;
    Bytes block(1 << 16);
    for (std::size_t left = count;;) {
        const std::size_t n = std::min(left, zeros.size());
        z.next_in = const_cast<Bytef*>(zeros.data());
        z.avail_in = static_cast<uInt>(n);
        left -= n;
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = block.data();
            z.avail_out = static_cast<uInt>(block.size());
            deflate(&z, flush);
            out.insert(out.end(), block.data(), block.data() + (block.size() - z.avail_out));
        } while (z.avail_out == 0);
        if (left == 0) break;
    }
    deflateEnd(&z);
    return out;
}

// A PNG file: the header's fields, then chunks; the image data is `idat`.
Bytes makePng(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t colorType,
              std::uint8_t interlace, const Bytes& idat,
              const std::vector<std::pair<const char*, Bytes>>& before = {}) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put32be(ihdr, width);
    put32be(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colorType, 0, 0, interlace});
    pngChunk(png, "IHDR", ihdr);
    for (const auto& [type, data] : before) pngChunk(png, type, data);
    pngChunk(png, "IDAT", idat);
    pngChunk(png, "IEND", {});
    return png;
}

// A BI_RLE8 file whose header claims width x height and whose codes are `codes`.
Bytes makeRle8(std::int32_t width, std::int32_t height, const Bytes& codes) {
    BmpBuilder builder(width, height, 8);
    builder.compression(1).colorsUsed(2).color(0, 0, 0).color(255, 255, 255).raw(codes);
    return builder.build();
}

void expectSmall(const Child& child, const Bytes& input) {
    EXPECT_LT(child.peakKiB, ALLOWED_KIB + static_cast<long>(4 * input.size() / 1024))
        << child.out << child.err;
}

// Headers that claim pictures far past the pixel limit are refused before
// anything is allocated.
TEST(Hostile, HeadersClaimingHugePictures) {
    const TempDir dir;
    struct Case {
        const char* name;
        Bytes file;
    };
    const std::vector<Case> cases = {
        {"rgba.png", makePng(65535, 32767, 8, 6, 0, deflate(Bytes(10, 0)))},
        {"grey.png", makePng(1073741823, 2, 8, 0, 0, deflate(Bytes(10, 0)))},
        {"wide.bmp", makeRle8(65535, 32767, {0, 1})},
        {"long.bmp", makeRle8(2147483647, 1, {0, 1})},
    };
    for (const Case& c : cases) {
        writeFile(dir.file(c.name), c.file);
        const Child child = run(dir, rle565(std::string("r ") + c.name + " out.rle"));
        EXPECT_EQ(child.out, "Load failed: image too large\n") << c.name;
        EXPECT_EQ(child.status, 1) << c.name;
        expectSmall(child, c.file);
    }
}

// Pictures within the limit whose data is missing: memory grows with what
// the data fills, not with the header.
TEST(Hostile, LargeHeadersWithoutTheirData) {
    const TempDir dir;
    const Bytes png = makePng(16384, 16384, 8, 6, 0, deflate(Bytes(10, 0)));
    writeFile(dir.file("cut.png"), png);
    Child child = run(dir, rle565("r cut.png out.rle"));
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out.rfind("Load failed: PNG read error: ", 0), 0u) << child.out;
    expectSmall(child, png);

    // A stream of a BMP header alone: its rows are awaited, not allocated.
    BmpBuilder builder(16384, 16384, 24);
    const Bytes header = builder.build();
    writeFile(dir.file("head.bmp"), Bytes(header.begin(), header.begin() + 54));
    child = run(dir, "cat head.bmp | " + rle565("r /dev/stdin out.rle"));
    EXPECT_EQ(child.out, "Load failed: truncated file\n");
    expectSmall(child, header);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.rle")));
}

// Codes that leave a picture undrawn may stand for no more than the file's
// share: a few bytes are not a 16384 x 16384 transparent picture. Smaller
// ones, and the same codes in a file of their size, still convert.
TEST(Hostile, UndrawnPicturesFollowTheFile) {
    const TempDir dir;
    GifFrame dot;
    dot.width = 1;
    dot.height = 1;
    dot.indices = {1};
    struct Case {
        const char* name;
        Bytes file;
        const char* out;
    };
    const std::vector<Case> cases = {
        {"eob.bmp", makeRle8(16384, 16384, {0, 1}), "Load failed: image too large\n"},
        {"delta.bmp", makeRle8(16384, 16384, {0, 2, 255, 255, 1, 1, 0, 1}),
         "Load failed: image too large\n"},
        {"screen.gif", GifBuilder(16384, 16384).color(1, 255, 0, 0).frame(dot).build(),
         "Load failed: image too large\n"},
        {"small.bmp", makeRle8(1024, 1024, {0, 1}), ""},
        {"small.gif", GifBuilder(1024, 1024).color(1, 255, 0, 0).frame(dot).build(), ""},
    };
    for (const Case& c : cases) {
        writeFile(dir.file(c.name), c.file);
        const Child child = run(dir, rle565(std::string("r ") + c.name + " out.rle"));
        EXPECT_EQ(child.out, c.out) << c.name;
        EXPECT_EQ(child.status, c.out[0] == '\0' ? 0 : 1) << c.name;
        expectSmall(child, c.file);
    }
}

// A stream is parsed as it arrives: an endless one that goes wrong at its
// first chunk is refused there.
TEST(Hostile, EndlessStreamIsRefusedAtOnce) {
    const TempDir dir;
    const Child child = run(
        dir, "(printf '\\211PNG\\r\\n\\032\\n'; cat /dev/zero) | " + rle565("r /dev/stdin o.rle"));
    EXPECT_EQ(child.out, "Load failed: PNG read error: invalid IHDR chunk size\n");
    EXPECT_EQ(child.status, 1);
    expectSmall(child, {});
    const Child inspected =
        run(dir, "(printf '\\211PNG\\r\\n\\032\\n'; cat /dev/zero) | " + info("/dev/stdin"));
    EXPECT_EQ(inspected.err, "/dev/stdin: PNG read error: invalid IHDR chunk size\n");
    EXPECT_EQ(inspected.status, 1);
    expectSmall(inspected, {});
}

// Chunks that are ignored are not inflated: profiles and text that would
// inflate to 256 MiB cost nothing.
TEST(Hostile, IgnoredChunksAreNotInflated) {
    const TempDir dir;
    Bytes rows;
    for (int y = 0; y < 4; ++y)
        rows.insert(rows.end(), {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120});
    const Bytes bomb = deflateZeros(std::size_t{256} << 20);
    Bytes iccp = {'p', 0, 0};
    iccp.insert(iccp.end(), bomb.begin(), bomb.end());
    Bytes ztxt = {'C', 0, 0};
    ztxt.insert(ztxt.end(), bomb.begin(), bomb.end());
    for (const auto& [type, data] : {std::pair{"iCCP", iccp}, std::pair{"zTXt", ztxt}}) {
        const Bytes png = makePng(4, 4, 8, 2, 0, deflate(rows), {{type, data}});
        writeFile(dir.file("bomb.png"), png);
        const Child child = run(dir, rle565("r bomb.png out.rle"));
        EXPECT_EQ(child.status, 0) << type << child.out;
        expectSmall(child, png);
    }
}

// Large files of which the programs need only the start: a sparse file
// holding a small picture and gigabytes after it.
TEST(Hostile, SparseFilesAreReadOnlyAsFarAsNeeded) {
    const TempDir dir;
    BmpBuilder builder(64, 64, 24);
    for (int y = 0; y < 64; ++y) builder.row(Bytes(64 * 3, static_cast<std::uint8_t>(y * 4)));
    const Bytes bmp = builder.build();
    writeFile(dir.file("small.bmp"), bmp);
    writeFile(dir.file("sparse.bmp"), bmp);
    if (truncate(dir.file("sparse.bmp").c_str(), off_t{6} << 30) != 0)
        GTEST_SKIP() << "no sparse files here";
    Child child = run(dir, info("sparse.bmp"));
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_NE(child.out.find("size         64 x 64 pixels"), std::string::npos) << child.out;
    expectSmall(child, bmp);

    // An RLE file with 3 GiB after its lines is already RLE, and the
    // inspector describes it.
    ASSERT_EQ(run(dir, rle565("r small.bmp small.rle")).status, 0);
    ASSERT_EQ(rename(dir.file("small.rle").c_str(), dir.file("sparse.rle").c_str()), 0);
    ASSERT_EQ(truncate(dir.file("sparse.rle").c_str(), off_t{3} << 30), 0);
    child = run(dir, rle565("r sparse.rle"));
    EXPECT_EQ(child.out, "already RLE\n");
    EXPECT_EQ(child.status, 1);
    expectSmall(child, bmp);
    child = run(dir, info("sparse.rle"));
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_NE(child.out.find("size         64 x 64 pixels"), std::string::npos) << child.out;
    expectSmall(child, bmp);
    // rle565-pack converts the picture and calls the RLE file what it is.
    child = run(dir, pack("-o out sparse.bmp"));
    EXPECT_EQ(child.status, 0) << child.err;
    ASSERT_EQ(run(dir, rle565("r small.bmp ref.rle")).status, 0);
    EXPECT_EQ(readFile(dir.file("out/sparse.rle")), readFile(dir.file("ref.rle")));
    expectSmall(child, bmp);
    child = run(dir, pack("-o out2 sparse.rle"));
    EXPECT_EQ(child.status, 1) << child.err;
    EXPECT_NE(child.err.find("already RLE"), std::string::npos) << child.err;
    expectSmall(child, bmp);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("sparse.rle").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t{3} << 30);  // left as it was
}

// A multi-palette file of 140 KB whose line names 4096 palettes draws a
// swatch of a few MiB, in memory to match.
TEST(Hostile, SwatchOfThousandsOfPalettes) {
    const TempDir dir;
    const Bytes file = manyPalettesFile(4096);
    writeFile(dir.file("m.rle"), file);
    const Child child = run(dir, info("--swatch sw.bmp m.rle"));
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_LT(readFile(dir.file("sw.bmp")).size(), std::size_t{16} << 20);
    expectSmall(child, file);
}

// An interlaced PNG of one line, whose last passes are empty, converts.
TEST(Hostile, InterlacedPngOfOneLine) {
    const TempDir dir;
    // Three RGB pixels, one in each of passes 1, 4 and 6; the last pass is
    // empty.
    const Bytes png = makePng(3, 1, 8, 2, 1, deflate({0, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9}));
    writeFile(dir.file("il.png"), png);
    ASSERT_EQ(run(dir, rle565("r il.png il.rle")).status, 0);
    // The same pixels without interlacing make the same file.
    writeFile(dir.file("plain.png"),
              makePng(3, 1, 8, 2, 0, deflate({0, 1, 2, 3, 7, 8, 9, 4, 5, 6})));
    ASSERT_EQ(run(dir, rle565("r plain.png plain.rle")).status, 0);
    EXPECT_EQ(readFile(dir.file("il.rle")), readFile(dir.file("plain.rle")));
    EXPECT_FALSE(readFile(dir.file("il.rle")).empty());
}

// Outputs that would block or land in the input's own stream end at once
// with the failed write's line; nothing is lost or left hanging.
TEST(Hostile, OutputsIntoTheInputsOwnStream) {
    const TempDir dir;
    BmpBuilder builder(300, 300, 24);
    for (int y = 0; y < 300; ++y) builder.row(Bytes(900, static_cast<std::uint8_t>(y)));
    const Bytes bmp = builder.build();  // its RLE file is past a pipe's 64 KiB
    writeFile(dir.file("s.bmp"), bmp);
    ASSERT_EQ(mkfifo(dir.file("f").c_str(), 0644), 0);
    Child child = run(dir, "(cat s.bmp > f &); " + rle565("r f"));
    EXPECT_EQ(child.out, "failed to write file\n");
    EXPECT_EQ(child.status, 1);
    child = run(dir, "cat s.bmp | " + rle565("r /dev/stdin"));
    EXPECT_EQ(child.out, "failed to write file\n");
    EXPECT_EQ(child.status, 1);
    // A FIFO that nobody reads.
    child = run(dir, rle565("r s.bmp f"));
    EXPECT_EQ(child.out, "failed to write file\n");
    // One with a reader gets the file (tried until the reader is there).
    child = run(dir, "(cat f > got.rle &); for i in $(seq 100); do " + rle565("r s.bmp f") +
                         " && break; sleep 0.1; done; sleep 0.2; " + rle565("r s.bmp want.rle"));
    EXPECT_EQ(child.status, 0) << child.out;
    EXPECT_EQ(readFile(dir.file("got.rle")), readFile(dir.file("want.rle")));
}

}  // namespace
