// The driver in process: every line goes to the stream it is handed.
#include "driver.h"

using namespace rle565;

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

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

TEST(RunDriver, PrintsOnTheGivenStream) {
    TempDir dir;
    const Captured usage = run({});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out.rfind("usage: <prg> <r|b> [option] in.bmp [out.bmp]\n", 0), 0u);

    const Captured missing = run({"b", dir.file("none.rle")});
    EXPECT_EQ(missing.out, "Load failed: failed to open file\n");
    EXPECT_EQ(missing.status, 1);
}

TEST(RunDriver, ListModeLogsToTheStreamWithoutLogName) {
    TempDir dir;
    writeText(dir.file("list.txt"), dir.file("a") + "\n" + dir.file("b") + "\r\n");
    writeFile(dir.file("b"), {'G', 'I', 'F'});
    const Captured list = run({"l", "-v2", dir.file("list.txt")});
    EXPECT_EQ(list.status, 0);
    const std::string expected = std::string("[").append(dir.file("a")) +
                                 "] Load failed: failed to open file\n[" + dir.file("b") +
                                 "] Load failed: unknown format\ndone\n";
    EXPECT_EQ(list.out, expected);
}

// Each run starts from its own values: an option given to one run does not
// leak into the next.
TEST(RunDriver, RunsAreIndependent) {
    TempDir dir;
    EXPECT_EQ(run({"x", "-v2", "a"}).status, 0);
    EXPECT_EQ(run({"r", dir.file("none.bmp")}).out, "Load failed: failed to open file\n");
}

}  // namespace
