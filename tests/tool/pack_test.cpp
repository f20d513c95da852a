// rle565-pack through the real binary: folders to sprite files and a C
// array, inputs never touched, the refusals before anything is written, and
// the messages and statuses.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "gif_builder.h"
#include "run_binary.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

RunResult pack(const TempDir& dir, const std::vector<std::string>& args) {
    return runIn(dir, args, "", RLE565_PACK_BINARY);
}

// A 24-bit BMP whose pixel (x, y) has the colour f(x, y), as 8-bit r, g, b.
template <class F>
Bytes bmp24(int width, int height, F f) {
    BmpBuilder bmp(width, -height, 24);
    for (int y = 0; y < height; ++y) {
        Bytes row;
        for (int x = 0; x < width; ++x) {
            const auto [r, g, b] = f(x, y);
            row.insert(row.end(), {b, g, r});
        }
        bmp.row(row);
    }
    return bmp.build();
}

struct Rgb {
    std::uint8_t r, g, b;
};

// Two frames with a transparent index: a walking figure.
Bytes walkGif() {
    GifBuilder gif(4, 3);
    gif.color(0, 255, 0, 0).color(1, 0, 0, 255).color(2, 0, 0, 0);
    gif.frame({0, 0, 4, 3, {2, 0, 0, 2, 2, 1, 1, 2, 2, 0, 2, 2}, 2, 2});
    gif.frame({0, 0, 4, 3, {2, 2, 0, 0, 2, 2, 1, 1, 2, 2, 2, 0}, 2, 2});
    return gif.build();
}

// The art folder of the tests: sprites in sub-folders, an animation, an
// image of 400 colours that needs several palettes, and a text file.
std::map<std::string, Bytes> makeArt(const TempDir& dir) {
    std::map<std::string, Bytes> art;
    art["art/chars/hero-1.bmp"] = bmp24(6, 5, [](int x, int y) {
        return x == 0
                   ? Rgb{255, 0, 255}
                   : Rgb{static_cast<std::uint8_t>(40 * x), 0, static_cast<std::uint8_t>(50 * y)};
    });
    art["art/ui/button.bmp"] = bmp24(5, 3, [](int, int y) {
        return Rgb{0, static_cast<std::uint8_t>(100 + y * 8), 0};
    });
    art["art/walk.gif"] = walkGif();
    art["art/wide.bmp"] = bmp24(200, 2, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x % 32 * 8), static_cast<std::uint8_t>(x / 32 * 4),
                   static_cast<std::uint8_t>(y * 128)};
    });
    art["art/notes.txt"] = Bytes{'h', 'i'};
    for (const auto& [name, bytes] : art) {
        fs::create_directories(fs::path(dir.file(name)).parent_path());
        writeFile(dir.file(name), bytes);
    }
    return art;
}

void expectUntouched(const TempDir& dir, const std::map<std::string, Bytes>& art) {
    for (const auto& [name, bytes] : art) EXPECT_EQ(readFile(dir.file(name)), bytes) << name;
}

// What a sprite draws onto a frame of its own size filled with 0x1234; for
// a plain image, what it holds: its visible pixels (the tests' images have
// no partial alpha), the background where it is transparent.
std::vector<std::uint16_t> drawn(const Image& image) {
    std::vector<std::uint16_t> frame(static_cast<std::size_t>(image.width) * image.height, 0x1234);
    if (image.isRle()) {
        blitImage(image, 0, 0, Surface{frame, {}, image.width});
        return frame;
    }
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const bool bVisible = image.hasAlpha() ? image.alpha[i] != 0 : image.pixels[i] != COLOR_KEY;
        if (bVisible) frame[i] = image.pixels[i];
    }
    return frame;
}

std::vector<std::uint16_t> drawnFile(const std::string& path) {
    ErrorText error{};
    const auto image = loadImage(path.c_str(), error);
    EXPECT_TRUE(image) << path << ": " << error.data();
    return image ? drawn(*image) : std::vector<std::uint16_t>{};
}

std::vector<std::vector<std::uint16_t>> drawnFrames(const Bytes& bytes) {
    std::vector<std::vector<std::uint16_t>> frames;
    ErrorText error{};
    EXPECT_TRUE(
        loadImageFrames(bytes, error, [&](Image& frame) { frames.push_back(drawn(frame)); }));
    return frames;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

}  // namespace

// The whole way: every image below the folder, the tree mirrored, the
// lossless choice reported, and every sprite drawing what its image does.
TEST(Pack, ConvertsAnArtFolderLosslessly) {
    TempDir dir;
    const auto art = makeArt(dir);
    const RunResult run = pack(dir, {"-o", "out", "-j", "2", "art"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Sizes by hand: hero-1 12 header + 26 colours + 5 lengths + 5 lines of a skip and 5
    // literals; button 12 + 4 colours + 3 lengths + 3 runs; each walk frame 12 + 3
    // colours + 3 alphas + 3 lengths + 12 one-byte codes.
    EXPECT_EQ(
        lines(run.out),
        (std::vector<std::string>{
            "art/chars/hero-1.bmp -> out/chars/hero-1.rle: 6 x 5, single palette, 26 entries, 99 "
            "bytes",
            "art/ui/button.bmp -> out/ui/button.rle: 5 x 3, single palette, 4 entries, 32 bytes",
            "art/walk.gif -> out/walk-0.rle: 4 x 3, single palette, 3 entries, 36 bytes",
            "art/walk.gif -> out/walk-1.rle: 4 x 3, single palette, 3 entries, 36 bytes",
            "art/wide.bmp -> out/wide.rle: 200 x 2, multi-palette, 401 entries, 1219 bytes",
            "5 converted (4 single palette, 1 multi-palette, 0 reduced), 0 failed; 2366 bytes in, "
            "1422 bytes out, 151.6% of 938 bytes as raw RGB565"}));
    expectUntouched(dir, art);
    EXPECT_EQ(listFolder(dir.path() / "out"),
              (std::vector<std::string>{"chars", "ui", "walk-0.rle", "walk-1.rle", "wide.rle"}));
    for (const char* name : {"chars/hero-1", "ui/button", "wide"}) {
        EXPECT_EQ(drawnFile(dir.file(std::string("out/") + name + ".rle")),
                  drawnFile(dir.file(std::string("art/") + name + ".bmp")))
            << name;
    }
    const auto frames = drawnFrames(art.at("art/walk.gif"));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(drawnFile(dir.file("out/walk-0.rle")), frames[0]);
    EXPECT_EQ(drawnFile(dir.file("out/walk-1.rle")), frames[1]);
    EXPECT_NE(frames[0], frames[1]);
}

TEST(Pack, JsonLinesHoldTheKeysOfEverySprite) {
    TempDir dir;
    makeArt(dir);
    writeFile(dir.file("art/broken.gif"), Bytes{'G', 'I', 'F', '8', '9', 'a', 1});
    const RunResult run = pack(dir, {"--json", "-o", "out", "art/ui", "art/broken.gif"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        lines(run.out),
        (std::vector<std::string>{
            R"({"input":"art/ui/button.bmp","output":"out/button.rle","width":5,"height":3,"entries":4,"multipal":false,"reduced":false,"psnr":null,"bytes":32,"error":null})",
            R"({"input":"art/broken.gif","output":"out/broken.rle","width":null,"height":null,"entries":null,"multipal":false,"reduced":false,"psnr":null,"bytes":null,"error":"GIF read error: No screen descriptor detected"})"}));
    // The summary goes to the error stream, away from the JSON lines.
    EXPECT_EQ(lines(run.err),
              (std::vector<std::string>{
                  "art/broken.gif: GIF read error: No screen descriptor detected",
                  "1 converted (1 single palette, 0 multi-palette, 0 reduced), 1 failed; 109 bytes "
                  "in, 32 bytes out, 106.7% of 30 bytes as raw RGB565"}));
}

// File names may hold any bytes: quotes and control characters are escaped,
// UTF-8 passes, and a byte that is not UTF-8 becomes U+FFFD.
TEST(Pack, JsonEscapesFileNames) {
    TempDir dir;
    const std::string name = "q\"\x01\xc3\xa9\xff.bmp";
    writeFile(dir.file(name), bmp24(1, 1, [](int, int) { return Rgb{0, 0, 0}; }));
    const RunResult run = pack(dir, {"--json", "--c-array", "s.c", name});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string start = "{\"input\":\"q\\\"\\u0001\xc3\xa9\\ufffd.bmp\",\"output\":null,";
    EXPECT_EQ(run.out.substr(0, start.size()), start);
}

// An image that no palette layout takes fails with its fullest line and
// the way out; the other files still convert.
TEST(Pack, TooManyColoursNameTheLineAndSuggestColors) {
    TempDir dir;
    makeArt(dir);
    writeFile(dir.file("busy.bmp"), bmp24(300, 3, [](int x, int y) {
                  return y == 1 ? Rgb{static_cast<std::uint8_t>(x % 32 * 8),
                                      static_cast<std::uint8_t>(x / 32 * 4), 9}
                                : Rgb{0, 0, 0};
              }));
    const RunResult run = pack(dir, {"-o", "out", "busy.bmp", "art/ui/button.bmp"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "busy.bmp: too many colours: line 1 holds 300 (colour, alpha) pairs, a palette takes "
              "251; reduce them with --colors\n");
    EXPECT_EQ(listFolder(dir.path() / "out"), (std::vector<std::string>{"button.rle"}));
}

// An output that is an input by any route is refused before a single
// file or folder is made: a link, a hard link, two inputs of one name.
TEST(Pack, NeverWritesOverAnInput) {
    TempDir dir;
    const auto art = makeArt(dir);
    fs::create_directories(dir.file("linked"));
    fs::create_symlink("../art/ui/button.bmp", dir.file("linked/button.rle"));
    RunResult run = pack(dir, {"-o", "linked", "art/ui"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "rle565-pack: linked/button.rle would write over the input art/ui/button.bmp\n"
              "rle565-pack: nothing written\n");
    EXPECT_EQ(listFolder(dir.path() / "linked"), (std::vector<std::string>{"button.rle"}));

    fs::create_directories(dir.file("hard/chars"));
    fs::create_hard_link(dir.file("art/chars/hero-1.bmp"), dir.file("hard/chars/hero-1.rle"));
    run = pack(dir, {"-o", "hard/", "--c-array", "new/sprites.c", "art"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "rle565-pack: hard/chars/hero-1.rle would write over the input art/chars/hero-1.bmp\n"
              "rle565-pack: nothing written\n");
    EXPECT_FALSE(fs::exists(dir.file("new")));
    EXPECT_EQ(listFolder(dir.path() / "hard"), (std::vector<std::string>{"chars"}));

    GifBuilder still(1, 1);
    writeFile(dir.file("button.gif"), still.frame({0, 0, 1, 1, {0}}).build());
    run = pack(dir, {"-o", "fresh", "art/ui", "button.gif"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "rle565-pack: art/ui/button.bmp and button.gif would both write fresh/button.rle\n"
              "rle565-pack: nothing written\n");
    EXPECT_FALSE(fs::exists(dir.file("fresh")));

    run = pack(dir, {"-o", "fresh", "art/ui/button.bmp", "art/ui"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(
        run.err,
        "rle565-pack: art/ui/button.bmp and art/ui/button.bmp would both write fresh/button.rle\n"
        "rle565-pack: nothing written\n");
    EXPECT_FALSE(fs::exists(dir.file("fresh")));
    expectUntouched(dir, art);
}

TEST(Pack, CNamesFromPathsAndTheirCollisions) {
    TempDir dir;
    fs::create_directories(dir.file("in/2d"));
    const Bytes dot = bmp24(1, 1, [](int, int) { return Rgb{1, 2, 3}; });
    writeFile(dir.file("in/2d/Hero Sprite.bmp"), dot);
    RunResult run = pack(dir, {"--c-array", "s.c", "--prefix", "gfx_", "in"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string header = readText(dir.file("s.h"));
    EXPECT_NE(header.find("#define GFX__2D_HERO_SPRITE_SIZE 18\n"
                          "#define GFX__2D_HERO_SPRITE_WIDTH 1\n"
                          "#define GFX__2D_HERO_SPRITE_HEIGHT 1\n"
                          "extern const uint8_t gfx__2d_hero_sprite[GFX__2D_HERO_SPRITE_SIZE];\n"),
              std::string::npos)
        << header;

    writeFile(dir.file("in/2d/hero-sprite.bmp"), dot);
    writeFile(dir.file("in/int.bmp"), dot);
    run = pack(dir, {"--c-array", "t.c", "in"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "rle565-pack: in/2d/Hero Sprite.bmp and in/2d/hero-sprite.bmp both make the C name "
              "_2d_hero_sprite\n"
              "rle565-pack: in/int.bmp: 'int' cannot name a C array; use --prefix\n"
              "rle565-pack: nothing written\n");
    EXPECT_FALSE(fs::exists(dir.file("t.c")));
    EXPECT_FALSE(fs::exists(dir.file("t.h")));
}

TEST(Pack, CommandLineErrorsEndWithStatus2) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"in"}, "nothing to write: give -o DIR, --c-array FILE.c or both"},
        {{"-o", "out", "--colors", "0", "in"}, "--colors takes a number from 1 to 252, not '0'"},
        {{"-o", "out", "--colors=253", "in"}, "--colors takes a number from 1 to 252, not '253'"},
        {{"-o", "out", "--dither", "in"}, "--dither needs --colors"},
        {{"-o", "out", "-j0", "in"}, "-j takes a number from 1 to 256, not '0'"},
        {{"--c-array", "s.txt", "in"}, "--c-array needs a file name ending in .c"},
        {{"--c-array", "s.c", "--prefix", "9x", "in"},
         "--prefix '9x' is not the start of a C name (letters, digits, _)"},
        {{"--c-array", "s.c", "--section", "a\"b", "in"},
         "--section 'a\"b' is not a section name (letters, digits, . _ $)"},
        {{"-o", "out", "--prefix", "p", "in"}, "--prefix and --section go with --c-array"},
        {{"-o", "out", "--frobnicate", "in"}, "unknown option '--frobnicate'"},
        // What the command line brings is shown safely, as names are.
        {{"-o", "out", "--\x1b]0;x\x07", "in"}, "unknown option '--\\x1B]0;x\\x07'"},
        {{"-o"}, "option '-o' needs a value"},
    };
    for (const auto& [args, message] : cases) {
        const RunResult run = pack(dir, args);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_EQ(run.err,
                  "rle565-pack: " + message + "\nTry 'rle565-pack --help' for more information.\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(pack(dir, {}).status, 2);
    EXPECT_TRUE(listFolder(dir.path()).empty());
    const RunResult help = pack(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: rle565-pack", 0), 0u);
    EXPECT_EQ(pack(dir, {"--version"}).out, "rle565-pack 1.0.0\n");
}

// The C array built into a C99 program that draws every sprite with the
// drawing runtime: each draws what its image does.
TEST(Pack, CArrayDrawsInAC99Program) {
    TempDir dir;
    const auto art = makeArt(dir);
    const RunResult run =
        pack(dir, {"--c-array", "gen/sprites.c", "--section", ".rodata.sprites", "art"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string source = readText(dir.file("gen/sprites.c"));
    EXPECT_NE(source.find("__attribute__((aligned(4), section(\".rodata.sprites\")))"),
              std::string::npos);
    writeText(dir.file("main.c"), R"(#include <stdio.h>
#include <rle565/draw.h>
#include "gen/sprites.h"

static uint16_t frame[400 * 5];

static void show(const char* name, const uint8_t* bytes, size_t size, int32_t w, int32_t h) {
    rle565_sprite sprite;
    int error = rle565_sprite_open(&sprite, bytes, size);
    rle565_target target = {frame, NULL, w, w, h, 0};
    int32_t i;
    if (error != RLE565_OK || sprite.width != w || sprite.height != h || ((uintptr_t)bytes & 3) != 0) {
        printf("%s: bad\n", name);
        return;
    }
    for (i = 0; i < w * h; ++i) frame[i] = 0x1234;
    rle565_draw(&sprite, &target, 0, 0);
    printf("%s", name);
    for (i = 0; i < w * h; ++i) printf(" %04x", (unsigned)frame[i]);
    printf("\n");
}

#define SHOW(n, N) show(#n, n, N##_SIZE, N##_WIDTH, N##_HEIGHT)
int main(void) {
    SHOW(chars_hero_1, CHARS_HERO_1);
    SHOW(ui_button, UI_BUTTON);
    SHOW(walk_0, WALK_0);
    SHOW(walk_1, WALK_1);
    SHOW(wide, WIDE);
    return 0;
}
)");
    const std::string build = std::string(RLE565_C_COMPILER) +
                              " -std=c99 -Wall -Wextra -Wpedantic -Werror -I" RLE565_INCLUDE_DIR
                              " -o draw main.c gen/sprites.c " +
                              RLE565_DRAW_LIBRARY + " " + RLE565_LINK_FLAGS;
    ASSERT_EQ(std::system(("cd " + shellQuote(dir.path().string()) + " && " + build).c_str()), 0);
    const RunResult drawnByC = runIn(dir, {}, "", dir.file("draw"));
    ASSERT_EQ(drawnByC.status, 0);

    const auto frames = drawnFrames(art.at("art/walk.gif"));
    const std::vector<std::pair<std::string, std::vector<std::uint16_t>>> expected = {
        {"chars_hero_1", drawnFile(dir.file("art/chars/hero-1.bmp"))},
        {"ui_button", drawnFile(dir.file("art/ui/button.bmp"))},
        {"walk_0", frames.at(0)},
        {"walk_1", frames.at(1)},
        {"wide", drawnFile(dir.file("art/wide.bmp"))}};
    std::string want;
    for (const auto& [name, pixels] : expected) {
        want += name;
        for (const std::uint16_t p : pixels) {
            char hex[8];
            std::snprintf(hex, sizeof hex, " %04x", unsigned{p});
            want += hex;
        }
        want += "\n";
    }
    EXPECT_EQ(drawnByC.out, want);
    expectUntouched(dir, art);
}
