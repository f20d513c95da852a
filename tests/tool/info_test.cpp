// rle565-info run as a user would: what it prints on each stream, its exit
// status and the swatch it draws. The RLE files are written out byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "bytes.h"
#include "rle_builder.h"
#include "run_binary.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

RunResult runInfo(const TempDir& dir, const std::vector<std::string>& args) {
    return runIn(dir, args, "", RLE565_INFO_BINARY);
}

// 4 x 2, no alpha, N 3: entry 1 blue, entry 2 green. Line 0 is a run of four
// of entry 1; line 1 is skip, 2, 2, skip.
const Bytes SINGLE = {
    0x52, 0x4C, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x03, 0x00, 0x02, 0x00,  // header
    0x1F, 0xF8, 0x1F, 0x00, 0xE0, 0x07,                                      // palette
    0x03, 0x04,                                                              // line lengths
    0xFE, 0x01, 0x04,                                                        // line 0
    0x00, 0x02, 0x02, 0x00,                                                  // line 1
};

// 2 x 4, multi-palette, N 6. Line 0 has no switch code (base 0); lines 1 and
// 3 switch to base 2, line 2 to base 4: palettes of 2, 2 and 1 entries.
const Bytes MULTI = {
    0x52, 0x4C, 0x02, 0x00, 0x02, 0x00, 0x04, 0x00, 0x06, 0x00, 0x04, 0x00,  // header
    0x1F, 0xF8, 0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF, 0x00, 0x00,  // palette
    0x02, 0x05, 0x05, 0x05,                                                  // line lengths
    0x01, 0x02,                                                              // line 0
    0xFD, 0x02, 0x00, 0x01, 0x02,                                            // line 1
    0xFD, 0x04, 0x00, 0x01, 0x00,                                            // line 2
    0xFD, 0x02, 0x00, 0x02, 0x02,                                            // line 3
};

// 2 x 1 with an alpha palette: entry 1 at alpha 16, then a skipped pixel.
const Bytes ALPHA = {
    0x52, 0x4C, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00,  // header
    0x1F, 0xF8, 0x1F, 0x00,                                                  // palette
    0x20, 0x10,                                                              // alphas
    0x02,                                                                    // line length
    0x01, 0x00,                                                              // line 0
};

// SINGLE with line 1 ending in a run of five where two pixels are left.
const Bytes DAMAGED = {
    0x52, 0x4C, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x03, 0x00, 0x02, 0x00, 0x1F, 0xF8,
    0x1F, 0x00, 0xE0, 0x07, 0x03, 0x05, 0xFE, 0x01, 0x04, 0x00, 0x02, 0xFE, 0x02, 0x05,
};

std::string fileIn(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    writeFile(dir.file(name), bytes);
    return name;
}

TEST(Info, DescribesSinglePaletteFile) {
    TempDir dir;
    const RunResult run = runInfo(dir, {fileIn(dir, "s.rle", SINGLE)});
    EXPECT_EQ(run.out,
              "s.rle\n"
              "  kind         RLE, single palette, no alpha\n"
              "  size         4 x 2 pixels\n"
              "  palette      3 entries\n"
              "  transparent  25.00% (2 of 8 pixels), partial alpha 0.00% (0)\n"
              "  file size    27 bytes, 34.62% of 78 bytes as a 24-bit BMP\n"
              "  sound        yes\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(Info, SizesPalettesFromTheBasesLinesSelect) {
    TempDir dir;
    const RunResult run = runInfo(dir, {fileIn(dir, "m.rle", MULTI)});
    EXPECT_EQ(run.out,
              "m.rle\n"
              "  kind         RLE, multi-palette, no alpha\n"
              "  size         2 x 4 pixels\n"
              "  palette      6 entries\n"
              "  palettes     3 in use, sizes 2, 2, 1\n"
              "  transparent  12.50% (1 of 8 pixels), partial alpha 0.00% (0)\n"
              "  file size    45 bytes, 52.33% of 86 bytes as a 24-bit BMP\n"
              "  sound        yes\n");
    EXPECT_EQ(run.status, 0);
}

// Alpha files compare with a 32-bit BMP and count partial coverage apart.
TEST(Info, DescribesAlphaFile) {
    TempDir dir;
    const RunResult run = runInfo(dir, {fileIn(dir, "a.rle", ALPHA)});
    EXPECT_EQ(run.out,
              "a.rle\n"
              "  kind         RLE, single palette, alpha\n"
              "  size         2 x 1 pixels\n"
              "  palette      2 entries\n"
              "  transparent  50.00% (1 of 2 pixels), partial alpha 50.00% (1)\n"
              "  file size    21 bytes, 33.87% of 62 bytes as a 32-bit BMP\n"
              "  sound        yes\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Info, NamesTheFaultAndLineOfDamagedFile) {
    TempDir dir;
    const RunResult run = runInfo(dir, {fileIn(dir, "d.rle", DAMAGED)});
    EXPECT_EQ(run.out,
              "d.rle\n"
              "  kind         RLE, single palette, no alpha\n"
              "  size         4 x 2 pixels\n"
              "  palette      3 entries\n"
              "  file size    28 bytes, 35.90% of 78 bytes as a 24-bit BMP\n"
              "  sound        no, run passes the end of the line (line 1)\n");
    EXPECT_EQ(run.err, "d.rle: RLE data corrupt: run passes the end of the line (line 1)\n");
    EXPECT_EQ(run.status, 1);

    // N 2 needs 4 palette bytes; the data block has 3.
    const Bytes tables = {0x52, 0x4C, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
                          0x02, 0x00, 0x01, 0x00, 0x1F, 0xF8, 0x1F};
    const RunResult tableRun = runInfo(dir, {fileIn(dir, "t.rle", tables)});
    EXPECT_EQ(tableRun.err, "t.rle: RLE data corrupt: palette tables reach past the data block\n");
    EXPECT_EQ(tableRun.status, 1);
}

// Depth and colour table come from the header; colours are the visible
// (colour, alpha) pairs, the colour key being transparent without alpha.
TEST(Info, DescribesBmp) {
    TempDir dir;
    const Bytes bmp = BmpBuilder(3, -2, 8)
                          .colorsUsed(3)
                          .color(255, 0, 255)
                          .color(0, 0, 255)
                          .color(0, 255, 0)
                          .row({0, 1, 2})
                          .row({1, 1, 1})
                          .build();
    const RunResult run = runInfo(dir, {fileIn(dir, "p.bmp", bmp)});
    EXPECT_EQ(run.out,
              "p.bmp\n"
              "  kind         BMP, 8 bits per pixel, top-down\n"
              "  size         3 x 2 pixels\n"
              "  palette      3 colour table entries\n"
              "  colours      2 visible, at most 2 in one line\n"
              "  verdict      single, fits one palette\n"
              "  transparent  16.67% (1 of 6 pixels), partial alpha 0.00% (0)\n"
              "  file size    74 bytes, 94.87% of 78 bytes as a 24-bit BMP\n"
              "  sound        yes\n");
    EXPECT_EQ(run.status, 0);
}

// Bit masks and RLE codes are named on the kind line, the masks on a line
// of their own; PNG files say their colour type, depth, tRNS and
// interlacing. Uncompressed BMP files keep their lines as they were.
TEST(Info, DescribesMasksCompressionAndPng) {
    TempDir dir;
    const Bytes masked = BmpBuilder(2, 1, 16)
                             .headerSize(124)
                             .compression(3)
                             .headerMasks({0x0F00, 0x00F0, 0x000F, 0xF000})
                             .row({0x00, 0xF0, 0x00, 0x0F})
                             .build();
    const RunResult run = runInfo(dir, {fileIn(dir, "m.bmp", masked)});
    EXPECT_EQ(run.out,
              "m.bmp\n"
              "  kind         BMP, 16 bits per pixel, bit masks\n"
              "  masks        red 0x00000F00, green 0x000000F0, blue 0x0000000F, alpha 0x0000F000\n"
              "  size         2 x 1 pixels\n"
              "  palette      none\n"
              "  colours      1 visible, at most 1 in one line\n"
              "  verdict      single, fits one palette\n"
              "  transparent  50.00% (1 of 2 pixels), partial alpha 0.00% (0)\n"
              "  file size    142 bytes, 229.03% of 62 bytes as a 32-bit BMP\n"
              "  sound        yes\n");
    EXPECT_EQ(run.status, 0);

    const Bytes rle = BmpBuilder(2, -1, 8)
                          .compression(1)
                          .colorsUsed(1)
                          .color(0, 0, 255)
                          .raw({0x01, 0x00, 0x00, 0x01})
                          .build();
    const RunResult coded = runInfo(dir, {fileIn(dir, "r.bmp", rle)});
    EXPECT_NE(coded.out.find("  kind         BMP, 8 bits per pixel, RLE8, top-down\n"
                             "  size         2 x 1 pixels\n"
                             "  palette      1 colour table entries\n"
                             "  colours      1 visible, at most 1 in one line\n"
                             "  verdict      single, fits one palette\n"
                             "  transparent  50.00% (1 of 2 pixels)"),
              std::string::npos)
        << coded.out;

    const std::string png = std::string(RLE565_TEST_DATA) + "/png/p4ti.png";
    const RunResult text = runInfo(dir, {png});
    EXPECT_NE(text.out.find("\n  kind         PNG, palette, 4 bits per index, tRNS, interlaced\n"
                            "  size         11 x 9 pixels\n"
                            "  palette      16 colour table entries\n"),
              std::string::npos)
        << text.out;
    const RunResult json = runInfo(dir, {"--json", png, "m.bmp", "r.bmp"});
    for (const char* field :
         {"\"kind\":\"png\",\"width\":11,\"height\":9,\"bit_depth\":4,\"color_type\":\"palette\","
          "\"interlaced\":true,\"trns\":true,\"alpha\":true,\"palette_entries\":16",
          "\"kind\":\"bmp\",\"width\":2,\"height\":1,\"bit_depth\":16,\"top_down\":false,"
          "\"compression\":\"bitfields\",\"masks\":[3840,240,15,61440],\"alpha\":true",
          "\"top_down\":true,\"compression\":\"rle8\",\"alpha\":false"})
        EXPECT_NE(json.out.find(field), std::string::npos) << field << "\n" << json.out;
    EXPECT_EQ(json.status, 0);
}

TEST(Info, JsonGivesOneObjectPerFileAndLine) {
    TempDir dir;
    const RunResult run = runInfo(
        dir, {"--json", fileIn(dir, "m.rle", MULTI), fileIn(dir, "d.rle", DAMAGED), "gone.rle"});
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(run.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
    }
    for (const char* field : {"{\"file\":\"m.rle\",\"kind\":\"rle\",\"width\":2,\"height\":4,",
                              "\"variant\":\"multi\"", "\"alpha\":false", "\"palette_entries\":6",
                              "\"palettes\":[{\"base\":0,\"size\":2},{\"base\":2,\"size\":2},"
                              "{\"base\":4,\"size\":1}]",
                              "\"transparent_pixels\":1", "\"transparent_share\":0.1250",
                              "\"file_size\":45", "\"bmp_size\":86", "\"sound\":true}"})
        EXPECT_NE(lines[0].find(field), std::string::npos) << field;
    for (const char* field : {"\"sound\":false", "\"error\":\"RLE data corrupt\"",
                              "\"fault\":\"run passes the end of the line\"", "\"fault_line\":1}"})
        EXPECT_NE(lines[1].find(field), std::string::npos) << field;
    EXPECT_EQ(lines[2],
              "{\"file\":\"gone.rle\",\"sound\":false,\"error\":\"failed to open file\"}");
    EXPECT_EQ(run.status, 1);
}

// 24-bit BMP, top-down, whose pixel (x, y) is colour(x, y) as 8-bit r, g, b.
template <class F>
Bytes bmp24(int width, int height, F colour) {
    BmpBuilder bmp(width, -height, 24);
    for (int y = 0; y < height; ++y) {
        Bytes row;
        for (int x = 0; x < width; ++x) {
            const std::array<std::uint8_t, 3> c = colour(x, y);
            row.insert(row.end(), {c[2], c[1], c[0]});
        }
        bmp.row(row);
    }
    return bmp.build();
}

// The verdict: one palette; several (two lines of 200 colours each, none
// shared); or neither (a line of 300), naming that line and its pairs.
TEST(Info, VerdictSaysHowAnImageCanBeStored) {
    TempDir dir;
    // 32 reds and 10 greens of RGB565, so that every x is a colour of its own.
    const auto distinct = [](int x, int y) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x % 32 * 8),
                                           static_cast<std::uint8_t>(x / 32 * 4),
                                           static_cast<std::uint8_t>(y * 8)};
    };
    const std::string single = fileIn(dir, "s.bmp", bmp24(252, 1, distinct));
    const std::string multi = fileIn(dir, "m.bmp", bmp24(200, 2, distinct));
    const std::string reduce =
        fileIn(dir, "r.bmp", bmp24(300, 3, [&](int x, int y) {
                   return y == 2 ? distinct(x, 0) : std::array<std::uint8_t, 3>{0, 0, 0};
               }));
    // Each line 251 colours, each line's window one colour on from the line above's: no two
    // lines merge, and 270 palettes of 251 entries are more than the table holds.
    const std::string wide =
        fileIn(dir, "w.bmp", bmp24(251, 270, [](int x, int y) {
                   const int v = x + y;  // an RGB565 value: green and blue only
                   return std::array<std::uint8_t, 3>{0, static_cast<std::uint8_t>((v >> 5) << 2),
                                                      static_cast<std::uint8_t>((v & 31) << 3)};
               }));
    const RunResult run = runInfo(dir, {single, multi, reduce, wide});
    EXPECT_EQ(run.status, 0);
    for (const char* line :
         {"s.bmp\n", "  verdict      single, fits one palette\n", "m.bmp\n",
          "  verdict      multipal, needs several palettes (-v2)\n", "r.bmp\n",
          "  verdict      reduce, line 2 holds 300 pairs, more than a palette takes (251)\n",
          "  verdict      reduce, line 0 holds 251 pairs, too many pairs in all for the "
          "palettes\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line;

    const RunResult json = runInfo(dir, {"--json", single, multi, reduce});
    for (const char* field :
         {"\"verdict\":\"single\"", "\"verdict\":\"multipal\"",
          "\"verdict\":\"reduce\",\"verdict_line\":2,\"verdict_line_pairs\":300"})
        EXPECT_NE(json.out.find(field), std::string::npos) << field;
    EXPECT_EQ(json.out.find("verdict_line\":0"), std::string::npos);
}

// A single-palette table in rows of 16 from entry 0; a multi-palette one a
// row per palette, cells 16 pixels square.
TEST(Info, SwatchDrawsOneCellPerEntry) {
    TempDir dir;
    ASSERT_EQ(runInfo(dir, {"--swatch", "s.bmp", fileIn(dir, "s.rle", SINGLE)}).status, 0);
    const Bytes single = readFile(dir.file("s.bmp"));
    ASSERT_EQ(single.size(), 54u + 16 * 144);
    EXPECT_EQ(loadLe32(&single[18]), 48u);
    EXPECT_EQ(loadLe32(&single[22]), 16u);
    EXPECT_EQ(loadLe16(&single[28]), 24u);
    // Bottom row: entry 0 is the colour key, entry 1 blue, entry 2 green.
    EXPECT_EQ((Bytes(single.begin() + 54, single.begin() + 57)), (Bytes{0xFF, 0x00, 0xFF}));
    EXPECT_EQ((Bytes(single.begin() + 54 + 16 * 3, single.begin() + 57 + 16 * 3)),
              (Bytes{0xFF, 0x00, 0x00}));
    EXPECT_EQ((Bytes(single.begin() + 54 + 32 * 3, single.begin() + 57 + 32 * 3)),
              (Bytes{0x00, 0xFF, 0x00}));

    ASSERT_EQ(runInfo(dir, {"--swatch=m.bmp", fileIn(dir, "m.rle", MULTI)}).status, 0);
    const Bytes multi = readFile(dir.file("m.bmp"));
    ASSERT_GE(multi.size(), 54u);
    EXPECT_EQ(loadLe32(&multi[18]), 32u);
    EXPECT_EQ(loadLe32(&multi[22]), 48u);
}

TEST(Info, SwatchNeedsOneRleFile) {
    TempDir dir;
    const Bytes bmp = BmpBuilder(1, 1, 24).row({0, 0, 0}).build();
    RunResult run = runInfo(dir, {"--swatch", "x.bmp", fileIn(dir, "p.bmp", bmp)});
    EXPECT_EQ(run.err, "p.bmp: no palette to draw, not an RLE file\n");
    EXPECT_EQ(run.status, 1);
    run = runInfo(dir, {"--swatch", "x.bmp", fileIn(dir, "s.rle", SINGLE), "s.rle"});
    EXPECT_EQ(run.err, "rle565-info: --swatch takes exactly one file\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"p.bmp", "s.rle"}));
}

TEST(Info, CommandLineMistakesGiveOneLineAndStatus1) {
    TempDir dir;
    RunResult run = runInfo(dir, {"--bogus", "x.rle"});
    EXPECT_EQ(run.err, "rle565-info: unknown option '--bogus'\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 1);
    run = runInfo(dir, {});
    EXPECT_EQ(run.err, "usage: rle565-info [--json] [--swatch out.bmp] file...\n");
    EXPECT_EQ(run.status, 1);
    run = runInfo(dir, {"--swatch"});
    EXPECT_EQ(run.err, "rle565-info: option '--swatch' needs a file name\n");
    EXPECT_EQ(run.status, 1);
}

// Each file that does not load gets the loader's message; the others are
// still described.
TEST(Info, FilesThatDoNotLoadGiveTheLoaderMessage) {
    TempDir dir;
    writeText(dir.file("t.txt"), "hello");
    const RunResult run = runInfo(dir, {"missing.rle", fileIn(dir, "s.rle", SINGLE), "t.txt",
                                        fileIn(dir, "h.rle", {0x52, 0x4C, 0x00})});
    EXPECT_EQ(run.err,
              "missing.rle: failed to open file\n"
              "t.txt: unknown format\n"
              "h.rle: RLE header read error\n");
    EXPECT_EQ(run.out.rfind("s.rle\n", 0), 0u);
    EXPECT_EQ(run.status, 1);
}

TEST(Info, HelpAndVersion) {
    TempDir dir;
    RunResult run = runInfo(dir, {"--help"});
    EXPECT_EQ(run.out.rfind("usage: rle565-info [--json] [--swatch out.bmp] file...\n", 0), 0u);
    EXPECT_EQ(run.status, 0);
    run = runInfo(dir, {"--version"});
    EXPECT_EQ(run.out.rfind("rle565-info ", 0), 0u);
    EXPECT_EQ(run.status, 0);
}

// A FIFO is read once and described by what it sent, as the file would be;
// a FIFO whose writer has gone is an empty file, not a wait.
TEST(Info, ReadsAFifoOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0644), 0);
    fileIn(dir, "s.rle", SINGLE);
    const RunResult file = runInfo(dir, {"s.rle"});
    RunResult run =
        runIn(dir, {"in.fifo"}, "(cat s.rle > in.fifo &); timeout 10", RLE565_INFO_BINARY);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "in.fifo" + file.out.substr(file.out.find('\n')));
    EXPECT_NE(run.out.find("file size    27 bytes"), std::string::npos);
    run = runIn(dir, {"in.fifo"}, "(: > in.fifo &); timeout 10", RLE565_INFO_BINARY);
    EXPECT_EQ(run.err, "in.fifo: unknown format\n");
    EXPECT_EQ(run.status, 1);
}

// Names come from outside: in text, control characters and bytes that are
// not UTF-8 show as \xNN (a backslash as \\), so a name cannot move the
// cursor or forge a line; printable UTF-8 stays. In JSON every line is valid
// UTF-8, a stray byte becoming U+FFFD.
TEST(Info, NamesAreShownSafely) {
    TempDir dir;
    const std::string hostile = "a\x1b[2J\nb\\\xff\xc2\x85.rle";
    const std::string accented = "\xc3\xa9t\xc3\xa9.rle";  // été.rle
    fileIn(dir, hostile, SINGLE);
    fileIn(dir, accented, SINGLE);
    RunResult run = runInfo(dir, {hostile, accented, "missing\x07.rle"});
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              "a\\x1B[2J\\x0Ab\\\\\\xFF\\xC2\\x85.rle\n");
    EXPECT_NE(run.out.find("\n" + accented + "\n"), std::string::npos);
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.err, "missing\\x07.rle: failed to open file\n");
    run = runInfo(dir, {"--json", hostile, accented});
    const std::string first = run.out.substr(0, run.out.find('\n'));
    EXPECT_EQ(first.rfind("{\"file\":\"a\\u001b[2J\\u000ab\\\\\\ufffd\\u0085.rle\",", 0), 0u)
        << first;
    EXPECT_NE(run.out.find("{\"file\":\"" + accented + "\","), std::string::npos);
}

// Bytes after the last line's codes load and change nothing, but the
// inspector says they are there: a header of no lines followed by other
// bytes is not a plain sound file.
TEST(Info, SaysWhatBytesNoLineUses) {
    TempDir dir;
    const Bytes empty = {0x52, 0x4C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'j', 'u', 'n', 'k'};
    RunResult run = runInfo(dir, {fileIn(dir, "e.rle", empty)});
    EXPECT_NE(run.out.find("\n  unused       4 bytes after the last line's codes\n"
                           "  sound        yes\n"),
              std::string::npos)
        << run.out;
    Bytes tail = SINGLE;
    tail.push_back(0xAB);
    run = runInfo(dir, {"--json", fileIn(dir, "t.rle", tail)});
    EXPECT_NE(run.out.find(",\"unused_bytes\":1,"), std::string::npos) << run.out;
    run = runInfo(dir, {"--json", fileIn(dir, "s.rle", SINGLE)});
    EXPECT_NE(run.out.find(",\"unused_bytes\":0,"), std::string::npos) << run.out;
}

// A multi-palette file whose lines switch to thousands of palettes draws a
// swatch of at most 64 rows of 255 cells, and says how many it left out.
TEST(Info, SwatchStaysSmall) {
    TempDir dir;
    constexpr int N_PALETTES = 2048;
    const Bytes file = manyPalettesFile(N_PALETTES);
    RunResult run = runInfo(dir, {"--swatch", "sw.bmp", fileIn(dir, "m.rle", file)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "sw.bmp: the swatch shows the first 64 rows; " +
                           std::to_string(N_PALETTES - 64) + " more palettes are left out\n");
    const Bytes bmp = readFile(dir.file("sw.bmp"));
    ASSERT_GE(bmp.size(), 26u);
    EXPECT_EQ(loadLe32(&bmp[18]), 255u * 16);  // width: 255 cells, the most codes reach
    EXPECT_EQ(loadLe32(&bmp[22]), 64u * 16);   // height: 64 rows
}

// An option is text from outside too: the line that refuses it escapes it.
TEST(Info, UnknownOptionIsShownSafely) {
    TempDir dir;
    const RunResult run = runInfo(dir, {"--\x1b]0;owned\x07\n"});
    EXPECT_EQ(run.err, "rle565-info: unknown option '--\\x1B]0;owned\\x07\\x0A'\n");
    EXPECT_EQ(run.status, 1);
}

// Each kind of ill-formed UTF-8 is a U+FFFD a byte; C1 controls, which a
// terminal may obey when the line is shown, are escaped by their code point;
// well-formed UTF-8 of two to four bytes stays as it is.
TEST(Info, JsonStringsAreValidUtf8) {
    TempDir dir;
    const std::string name =
        "\x7f \xc2\x9b "                  // DEL, C1 (CSI)
        "\xc0\xaf \xe0\x80\xaf "          // overlong forms
        "\xed\xa0\x80 \xf4\x90\x80\x80 "  // a surrogate, past U+10FFFF
        "\xe2\x82 \x80 "                  // cut short, a stray continuation byte
        "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf.rle";
    const RunResult run = runInfo(dir, {"--json", name});
    EXPECT_EQ(run.out,
              "{\"file\":\"\\u007f \\u009b "
              "\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd "
              "\\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd\\ufffd "
              "\\ufffd\\ufffd \\ufffd "
              "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf.rle\","
              "\"sound\":false,\"error\":\"failed to open file\"}\n");
}

// The unused bytes are counted past the alpha table and three-byte line
// lengths too.
TEST(Info, CountsUnusedBytesAfterEveryTable) {
    TempDir dir;
    const Bytes alpha = RleBuilder()
                            .flags(RLE_ALPHA)
                            .size(1, 2)
                            .palette({0x0000, 0xF800})
                            .alphas({0, 16})
                            .line({0x01})
                            .line({0x00})
                            .trailing({0x01, 0x02})
                            .bytes();
    const Bytes longLengths = RleBuilder()
                                  .flags(RLE_MULTIPAL)
                                  .size(2, 1)
                                  .palette({0x0000, 0x001F})
                                  .line({0x01, 0x01})
                                  .longLengths()
                                  .trailing({0xFF, 0xFF, 0xFF})
                                  .bytes();
    const RunResult run =
        runInfo(dir, {"--json", fileIn(dir, "a.rle", alpha), fileIn(dir, "l.rle", longLengths)});
    const std::size_t second = run.out.find('\n');
    ASSERT_NE(second, std::string::npos) << run.out;
    EXPECT_NE(run.out.substr(0, second).find(",\"unused_bytes\":2,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(",\"unused_bytes\":3,", second), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 0);
}

// A run's index byte reaches local number 255, past the literals' 252: the
// swatch row shows it. A single palette of 5,000 entries draws its first 64
// rows of 16.
TEST(Info, SwatchShowsWhatCodesReachAndNoMore) {
    TempDir dir;
    std::vector<std::uint16_t> colors(300, 0x001F);
    colors[255] = 0xF800;  // red, drawn by the run below
    const Bytes runFile = RleBuilder()
                              .flags(RLE_MULTIPAL)
                              .size(1, 1)
                              .palette(colors)
                              .line({0xFE, 0xFF, 0x01})  // a run of one, local 255
                              .bytes();
    RunResult run = runInfo(dir, {"--swatch", "r.bmp", fileIn(dir, "r.rle", runFile)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Bytes bmp = readFile(dir.file("r.bmp"));
    ASSERT_EQ(bmp.size(), 54u + 255 * 16 * 3 * 16);
    EXPECT_EQ(loadLe32(&bmp[18]), 255u * 16);
    // Column 254 of the bottom pixel line, blue, green, red.
    const std::size_t at = 54 + 254 * 16 * 3;
    EXPECT_EQ((Bytes(bmp.begin() + at, bmp.begin() + at + 3)), (Bytes{0x00, 0x00, 0xFF}));

    const Bytes single = RleBuilder()
                             .size(1, 1)
                             .palette(std::vector<std::uint16_t>(5000, 0x07E0))
                             .line({0x00})
                             .bytes();
    run = runInfo(dir, {"--swatch", "s.bmp", fileIn(dir, "s.rle", single)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err,
              "s.bmp: the swatch shows the first 64 rows; 249 more rows of entries are "
              "left out\n");
    bmp = readFile(dir.file("s.bmp"));
    ASSERT_GE(bmp.size(), 26u);
    EXPECT_EQ(loadLe32(&bmp[18]), 16u * 16);
    EXPECT_EQ(loadLe32(&bmp[22]), 64u * 16);
}

}  // namespace
