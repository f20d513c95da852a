// GIF input through the real rle565 binary: the first frame in mode r and in
// list mode, the one new message for damaged files.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/load.h>

#include <string>
#include <vector>

#include "gif_builder.h"
#include "run_binary.h"
#include "temp_dir.h"

namespace {

// Two frames of 3 x 2, index 2 transparent: the first frame red, blue and a
// hole on top, then a magenta pixel that must stay visible.
Bytes animation() {
    GifBuilder gif(3, 2);
    gif.color(0, 255, 0, 0).color(1, 0, 0, 255).color(2, 0, 0, 0).color(3, 255, 0, 255);
    gif.frame({0, 0, 3, 2, {0, 1, 2, 3, 0, 0}, 2, 1});
    gif.frame({0, 0, 3, 2, {1, 1, 1, 1, 1, 1}});
    return gif.build();
}

}  // namespace

TEST(CliGif, ModeRConvertsTheFirstFrame) {
    TempDir dir;
    writeFile(dir.file("a.gif"), animation());
    const RunResult run = runIn(dir, {"r", "a.gif", "a.rle"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    // 3 x 2 with alpha: entries 0, red, blue, magenta; line 0 is red, blue,
    // skip; line 1 magenta, red, red.
    const Bytes expected = {
        0x52, 0x4C, 0x01, 0x00, 0x03, 0x00, 0x02, 0x00, 0x04, 0x00, 0x02, 0x00,  // header
        0x1F, 0xF8, 0x00, 0xF8, 0x1F, 0x00, 0x1F, 0xF8,                          // palette
        0x20, 0x20, 0x20, 0x20,                                                  // alphas
        0x03, 0x03,                                                              // lengths
        0x01, 0x02, 0x00,                                                        // line 0
        0x03, 0x01, 0x01,                                                        // line 1
    };
    EXPECT_EQ(readFile(dir.file("a.rle")), expected);
}

TEST(CliGif, DamagedFilesGetOneLine) {
    TempDir dir;
    Bytes cut = animation();
    cut.resize(cut.size() - 15);  // into the second frame
    writeFile(dir.file("cut.gif"), cut);
    writeFile(dir.file("short.gif"), Bytes{'G', 'I', 'F', '8', '9', 'a', 3, 0});
    RunResult run = runIn(dir, {"r", "short.gif", "x.rle"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Load failed: GIF read error: No screen descriptor detected\n");
    writeText(dir.file("list.txt"), "cut.gif\nshort.gif\n");
    run = runIn(dir, {"l", "list.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "[short.gif] Load failed: GIF read error: No screen descriptor detected\ndone\n");
    // The first frame of the cut file is whole, so the file converts in place.
    EXPECT_EQ(readFile(dir.file("cut.gif"))[0], 'R');
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.rle")));
}
