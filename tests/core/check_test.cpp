// Failed consistency checks and their report. No input makes a check fail,
// so this test has the encoders and check.cpp built with
// RLE565_FAULT_INJECTION, where failCheckAt() names the check that fails.
#include "check.h"

#include <gtest/gtest.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "driver.h"
#include "image_maker.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

// The line of the source file that a check reports, or "" when there is none.
std::string sourceLine(const CheckFailure& failure) {
    std::ifstream in(failure.file);
    std::string line;
    for (int k = 0; k < failure.line; ++k) {
        if (!std::getline(in, line)) return "";
    }
    return failure.line > 0 ? line : "";
}

// Makes each check of one conversion fail in turn, the first, the second
// and so on, until a conversion runs past all of them. Each failure must be
// CheckFailed with the place and text of a check and leave the folder as it
// was; what the failures named is in `texts`, by source file.
void failEachCheck(const Image& image, bool bMultipal, std::set<std::string>& texts) {
    TempDir dir;
    const std::string target = dir.file("t.rle");
    std::int32_t nColors = 0;
    ASSERT_EQ(convertToRle(image, target.c_str(), bMultipal, nColors), EncodeResult::Written);
    const Bytes written = readFile(target);
    std::filesystem::remove(target);
    for (int n = 1; n < 10000; ++n) {
        SCOPED_TRACE(n);
        // A new target at first, then one that exists already.
        if (n == 2) writeFile(target, {1, 2, 3});
        const auto before = listFolder(dir.path());
        CheckFailure failure;
        failCheckAt(n);
        const EncodeResult result =
            convertToRle(image, target.c_str(), bMultipal, nColors, &failure);
        failCheckAt(0);
        if (result == EncodeResult::Written) {
            ASSERT_GT(n, 1);
            EXPECT_EQ(readFile(target), written);
            return;
        }
        ASSERT_EQ(result, EncodeResult::CheckFailed);
        const std::string line = sourceLine(failure);
        EXPECT_NE(line.find("RLE_CHECK("), std::string::npos) << line;
        EXPECT_NE(line.find('"' + std::string(failure.text) + '"'), std::string::npos) << line;
        const std::string file = failure.file;
        texts.insert(file.substr(file.rfind('/') + 1) + ": " + failure.text);
        EXPECT_EQ(listFolder(dir.path()), before);
        if (n >= 2) {
            EXPECT_EQ(readFile(target), (Bytes{1, 2, 3}));
        }
    }
    ADD_FAILURE() << "no conversion ran past its checks";
}

// Every check the encoders run stops the conversion with its own report
// and writes nothing; between them, the two images reach every check.
TEST(ConvertToRle, FailedCheckWritesNothing) {
    std::set<std::string> texts;
    failEachCheck(makeNoisyImage(7, 3, 5, 1), false, texts);
    EXPECT_EQ(texts,
              (std::set<std::string>{"encode_single.cpp: color>0 && color < nPaletteCount"}));
    // Multi-palette: the pairs are counted first, then the palettes merged
    // and the lines coded.
    texts.clear();
    ImageMaker maker(2);
    Image image = makeBlankImage(50, 12, true);
    const std::vector<Pair> pool = maker.randomPairs(400, true);
    for (std::int32_t y = 0; y < image.height; ++y)
        maker.fillLine(image, y, maker.pick(pool, 50), 5);
    failEachCheck(image, true, texts);
    EXPECT_EQ(texts, (std::set<std::string>{
                         "encode_single.cpp: color>0 && color < nPaletteCount",
                         "encode_multipal.cpp: entries.size()<=SORT_MAX",
                         "encode_multipal.cpp: result.size()==num_col",
                         "encode_multipal.cpp: cnt==nPaletteSize",
                         "encode_multipal.cpp: pal.nUseCount",
                         "encode_multipal.cpp: pal.nPtr<65536",
                         "encode_multipal.cpp: key==keysEnd",
                     }));
}

struct Captured {
    int status;
    std::string out;
};

Captured run(std::vector<std::string> args) {
    args.insert(args.begin(), "rle565");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    const int status = runDriver(static_cast<int>(args.size()), argv.data(), out);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    return {status, text};
}

// A 24-bit BMP of three colours and the colour key.
Bytes smallBmp() {
    return BmpBuilder(3, 2, 24)
        .row({0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF})
        .row({0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0xFF})
        .build();
}

// The driver prints the one line "error: FILE:LINE TEXT" and ends the run
// with status 1, in every mode; the input stays as it was.
TEST(RunDriver, ReportsAFailedCheck) {
    TempDir dir;
    const std::string input = dir.file("in.bmp");
    writeFile(input, smallBmp());
    // The report the first check gives, as the encoder hands it over.
    ErrorText errorText{};
    const auto image = loadImage(input.c_str(), errorText);
    ASSERT_TRUE(image);
    CheckFailure failure;
    std::int32_t nColors = 0;
    failCheckAt(1);
    ASSERT_EQ(convertToRle(*image, dir.file("x.rle").c_str(), false, nColors, &failure),
              EncodeResult::CheckFailed);
    const std::string report = "error: " + std::string(failure.file) + ":" +
                               std::to_string(failure.line) + " color>0 && color < nPaletteCount\n";

    const std::vector<std::vector<std::string>> runs = {
        {"r", input}, {"r", input, dir.file("out.rle")}, {"r", "-v2", input}};
    for (const auto& args : runs) {
        failCheckAt(1);
        const Captured captured = run(args);
        EXPECT_EQ(captured.out, report) << args.size();
        EXPECT_EQ(captured.status, 1);
        EXPECT_EQ(readFile(input), smallBmp());
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"in.bmp"}));
    }

    // A list ends at the failed check: no later file converts and the log
    // has no closing line.
    writeFile(dir.file("next.bmp"), smallBmp());
    writeText(dir.file("list.txt"), input + "\n" + dir.file("next.bmp") + "\n");
    failCheckAt(1);
    const Captured list = run({"l", dir.file("list.txt"), dir.file("log.txt")});
    EXPECT_EQ(list.out, report);
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(readFile(dir.file("log.txt")), Bytes{});
    EXPECT_EQ(readFile(input), smallBmp());
    EXPECT_EQ(readFile(dir.file("next.bmp")), smallBmp());
    failCheckAt(0);
}

}  // namespace
