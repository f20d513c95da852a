#include "formats/gif_reader.h"

#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gif_builder.h"

using namespace rle565;

namespace {

// RGB565 of the colours the tests use, worked out by hand.
constexpr std::uint16_t RED = 0xF800;
constexpr std::uint16_t GREEN = 0x07E0;
constexpr std::uint16_t BLUE = 0x001F;
constexpr std::uint16_t GREY = 0x8410;  // 128, 128, 128
constexpr std::uint16_t KEY = 0xF81F;   // magenta: the colour key

GifBuilder palette(int width, int height) {
    GifBuilder gif(width, height);
    gif.color(0, 255, 0, 0).color(1, 0, 255, 0).color(2, 0, 0, 255).color(3, 128, 128, 128);
    gif.color(4, 255, 0, 255);
    return gif;
}

std::unique_ptr<Image> load(const GifBuilder::Bytes& bytes, std::string& error) {
    ErrorText text{};
    auto image = loadImageFromMemory(bytes, text);
    error = text.data();
    return image;
}

std::vector<Image> frames(const GifBuilder::Bytes& bytes, bool& bOk, std::string& error) {
    std::vector<Image> all;
    ErrorText text{};
    bOk = loadImageFrames(bytes, text, [&](Image& frame) { all.push_back(frame); });
    error = text.data();
    return all;
}

}  // namespace

TEST(ReadGif, FirstFrameWithoutTransparencyHasNoAlphaPlane) {
    const auto bytes = palette(3, 2).frame({0, 0, 3, 2, {0, 1, 2, 3, 2, 1}}).build();
    std::string error;
    const auto image = load(bytes, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->flags, 0u);
    EXPECT_EQ(image->pixels, (std::vector<std::uint16_t>{RED, GREEN, BLUE, GREY, BLUE, GREEN}));
    EXPECT_FALSE(image->hasAlpha());
}

// The transparent index becomes alpha 0 and everything else alpha 32, in an
// alpha plane, so that a visible magenta pixel is not taken for the key.
TEST(ReadGif, TransparentIndexAndVisibleKeyColourGiveAnAlphaPlane) {
    const auto keyed = palette(2, 2).frame({0, 0, 2, 2, {0, 3, 3, 1}, 3}).build();
    std::string error;
    auto image = load(keyed, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->alpha, (std::vector<std::uint8_t>{32, 0, 0, 32}));
    EXPECT_EQ(image->pixels[0], RED);
    EXPECT_EQ(image->pixels[3], GREEN);

    const auto magenta = palette(2, 1).frame({0, 0, 2, 1, {4, 0}}).build();
    image = load(magenta, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->pixels, (std::vector<std::uint16_t>{KEY, RED}));
    EXPECT_EQ(image->alpha, (std::vector<std::uint8_t>{32, 32}));
}

// A frame smaller than the screen leaves the rest transparent; one that
// reaches past a smaller screen grows the canvas.
TEST(ReadGif, FramePlacedOnTheScreen) {
    std::string error;
    auto image = load(palette(3, 2).frame({1, 1, 2, 1, {2, 2}}).build(), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->alpha, (std::vector<std::uint8_t>{0, 0, 0, 0, 32, 32}));
    EXPECT_EQ(image->pixels[4], BLUE);

    image = load(palette(1, 1).frame({1, 0, 2, 2, {0, 1, 2, 3}}).build(), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->pixels[1], RED);
    EXPECT_EQ(image->pixels[5], GREY);
}

TEST(ReadGif, InterlacedRowsGoToTheirPlaces) {
    GifFrame frame{0, 0, 1, 10, {}};
    for (std::uint8_t y = 0; y < 10; ++y) frame.indices.push_back(y % 4);
    frame.bInterlaced = true;
    std::string error;
    const auto image = load(palette(1, 10).frame(frame).build(), error);
    ASSERT_TRUE(image) << error;
    const std::uint16_t byIndex[] = {RED, GREEN, BLUE, GREY};
    for (int y = 0; y < 10; ++y)
        EXPECT_EQ(image->pixels[static_cast<std::size_t>(y)], byIndex[y % 4]) << y;
}

// Frame 1 draws over frame 0 with a transparent hole, then is cleared to
// transparent (restore to background); frame 2 is drawn and put back to
// what was there before it (restore to previous); frame 3 shows that.
TEST(ReadGif, FramesComposedAsTheirDisposalSays) {
    const auto bytes = palette(2, 2)
                           .frame({0, 0, 2, 2, {0, 0, 0, 0}, -1, 1})
                           .frame({0, 0, 2, 1, {1, 3}, 3, 2})
                           .frame({1, 1, 1, 1, {2}, -1, 3})
                           .frame({0, 1, 1, 1, {3}})
                           .build();
    bool bOk = false;
    std::string error;
    const std::vector<Image> all = frames(bytes, bOk, error);
    ASSERT_TRUE(bOk) << error;
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(countImageFrames(bytes), 4u);
    EXPECT_EQ(all[0].pixels, (std::vector<std::uint16_t>{RED, RED, RED, RED}));
    EXPECT_FALSE(all[0].hasAlpha());
    EXPECT_EQ(all[1].pixels, (std::vector<std::uint16_t>{GREEN, RED, RED, RED}));
    // Frame 1's rectangle is transparent now, its hole included.
    EXPECT_EQ(all[2].alpha, (std::vector<std::uint8_t>{0, 0, 32, 32}));
    EXPECT_EQ(all[2].pixels[3], BLUE);
    EXPECT_EQ(all[3].alpha, (std::vector<std::uint8_t>{0, 0, 32, 32}));
    EXPECT_EQ(all[3].pixels[2], GREY);
    EXPECT_EQ(all[3].pixels[3], RED);

    // Loading takes the first frame.
    const auto first = load(bytes, error);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->pixels, all[0].pixels);
}

// Cut anywhere, a file loads or fails with one of the reader's messages; a
// file cut after a whole frame keeps the frames it has.
TEST(ReadGif, CutFilesFailCleanly) {
    const auto bytes = palette(3, 3)
                           .frame({0, 0, 3, 3, {0, 1, 2, 3, 0, 1, 2, 3, 0}})
                           .frame({0, 0, 1, 1, {2}})
                           .build();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const GifBuilder::Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        std::string error;
        if (!load(cut, error)) {
            EXPECT_TRUE(error == "unknown format" || error.rfind("GIF read error: ", 0) == 0)
                << n << ": " << error;
        }
    }
    const auto noTrailer = palette(1, 1).frame({0, 0, 1, 1, {1}}).withoutTrailer().build();
    bool bOk = false;
    std::string error;
    EXPECT_EQ(frames(noTrailer, bOk, error).size(), 1u);
    EXPECT_TRUE(bOk) << error;
}

TEST(ReadGif, DamagedFilesGetTheirMessage) {
    std::string error;
    EXPECT_FALSE(load(palette(2, 2).build(), error));
    EXPECT_EQ(error, "GIF read error: No Image Descriptor detected");
    const GifBuilder::Bytes screenOnly = {'G', 'I', 'F', '8', '9', 'a', 1, 0};
    EXPECT_FALSE(load(screenOnly, error));
    EXPECT_EQ(error, "GIF read error: No screen descriptor detected");
}

// The canvas is refused before it is made: 16384 × 16384 pixels at most.
TEST(ReadGif, HugeCanvasIsTooLarge) {
    std::string error;
    EXPECT_FALSE(load(palette(16385, 16384).frame({0, 0, 1, 1, {0}}).build(), error));
    EXPECT_EQ(error, "image too large");
}

// Files above the size that is read whole go through the stream path,
// which must give the same image.
TEST(ReadGif, StreamAndMemoryAgree) {
    GifFrame big{0, 0, 1200, 1000, std::vector<std::uint8_t>(1200 * 1000)};
    for (std::size_t i = 0; i < big.indices.size(); ++i)
        big.indices[i] = static_cast<std::uint8_t>(i % 5);
    const auto bytes = palette(1200, 1000).frame(big).build();
    ASSERT_GT(bytes.size(), std::size_t{1} << 20);
    std::vector<std::uint8_t> copy = bytes;
    const FilePtr file(fmemopen(copy.data(), copy.size(), "rb"));
    ErrorText text{};
    const auto fromStream = loadImageFromStream(file.get(), text);
    std::string error;
    const auto fromMemory = load(bytes, error);
    ASSERT_TRUE(fromStream) << text.data();
    ASSERT_TRUE(fromMemory) << error;
    EXPECT_EQ(fromStream->pixels, fromMemory->pixels);
    EXPECT_EQ(fromStream->alpha, fromMemory->alpha);
}
