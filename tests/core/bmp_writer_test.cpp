#include <gtest/gtest.h>
#include <rle565/bmp_writer.h>
#include <rle565/load.h>
#include <sys/resource.h>

#include <csignal>
#include <random>
#include <string>

#include "bytes.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

Image makeImage(std::int32_t width, std::int32_t height, std::vector<std::uint16_t> pixels,
                std::vector<std::uint8_t> alpha = {}) {
    Image image;
    image.width = width;
    image.height = height;
    image.pixels = std::move(pixels);
    image.alpha = std::move(alpha);
    return image;
}

// Writes through the file path and checks that the in-memory form agrees.
Bytes written(const Image& image) {
    const TempDir dir;
    const std::string path = dir.file("out.bmp");
    EXPECT_TRUE(writeBmp(image, path.c_str()));
    const Bytes bytes = readFile(path);
    EXPECT_EQ(encodeBmp(image), bytes);
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

TEST(WriteBmp, OneByOneWithoutAlpha) {
    EXPECT_EQ(written(makeImage(1, 1, {0xF81F})),
              (Bytes{0x42, 0x4D, 0x3A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00,
                     0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                     0x00, 0x00, 0x01, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
                     0x00, 0x00, 0xC2, 0x1E, 0x00, 0x00, 0xC2, 0x1E, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00}));
}

// 32 bits with alpha, no fill; the bottom line comes first. 0x8410 has the
// middle values 16, 32, 16, which widen to 131, 129, 131.
TEST(WriteBmp, TwoByTwoWithAlpha) {
    const Image image = makeImage(2, 2, {0xF81F, 0xFFFF, 0x0000, 0x8410}, {32, 0, 1, 31});
    EXPECT_EQ(
        written(image),
        concat({{0x42, 0x4D, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00,
                 0x28, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0xC2, 0x1E, 0x00, 0x00,
                 0xC2, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                {0x00, 0x00, 0x00, 0x08, 0x83, 0x81, 0x83, 0xF8},
                {0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}}));
}

// 24-bit rows of 9 bytes get 3 zero bytes each.
TEST(WriteBmp, RowsArePaddedWithZeros) {
    const Image image = makeImage(3, 2, {0x001F, 0x07E0, 0xF800, 0x0821, 0x8410, 0xFFFF});
    const Bytes bytes = written(image);
    ASSERT_EQ(bytes.size(), 78u);
    EXPECT_EQ(Bytes(bytes.begin() + 2, bytes.begin() + 6), (Bytes{0x4E, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(bytes.begin() + 34, bytes.begin() + 38), (Bytes{0x18, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()),
              (Bytes{0x08, 0x04, 0x08, 0x83, 0x81, 0x83, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                     0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00}));
}

// Steps of 8, opaque as 255; values above 32 count as opaque.
TEST(WriteBmp, AlphaBytes) {
    const Image image = makeImage(6, 1, std::vector<std::uint16_t>(6, 0), {0, 1, 31, 32, 33, 200});
    const Bytes bytes = written(image);
    ASSERT_EQ(bytes.size(), 54u + 24u);
    Bytes alpha;
    for (std::size_t i = 57; i < bytes.size(); i += 4) alpha.push_back(bytes[i]);
    EXPECT_EQ(alpha, (Bytes{0, 8, 248, 255, 255, 255}));
}

TEST(WriteBmp, EmptyImagesAreTheHeaderAlone) {
    for (const auto& [width, height] : {std::pair{5, 0}, {0, 3}, {0, 0}, {0, 0x40000000}}) {
        const Bytes bytes = written(makeImage(width, height, {}));
        ASSERT_EQ(bytes.size(), 54u);
        EXPECT_EQ(Bytes(bytes.begin() + 2, bytes.begin() + 6), (Bytes{0x36, 0x00, 0x00, 0x00}));
        EXPECT_EQ(loadLe32(&bytes[18]), static_cast<std::uint32_t>(width));
        EXPECT_EQ(loadLe32(&bytes[22]), static_cast<std::uint32_t>(height));
    }
}

// Whatever is written reads back as the same pixels and alpha values.
TEST(WriteBmp, RoundTripThroughReader) {
    std::mt19937 random(565);
    const TempDir dir;
    const std::string path = dir.file("round.bmp");
    for (int i = 0; i < 60; ++i) {
        const bool bAlpha = i % 2 == 1;
        const auto width = static_cast<std::int32_t>(random() % 70);
        const auto height = static_cast<std::int32_t>(random() % 40);
        const auto count = static_cast<std::size_t>(width * height);
        std::vector<std::uint16_t> pixels(count);
        std::vector<std::uint8_t> alpha(bAlpha ? count : 0);
        for (auto& p : pixels) p = static_cast<std::uint16_t>(random());
        for (auto& a : alpha) a = static_cast<std::uint8_t>(random() % 33);
        const Image image = makeImage(width, height, pixels, alpha);

        ASSERT_TRUE(writeBmp(image, path.c_str()));
        ErrorText errorText{};
        const auto back = loadImage(path.c_str(), errorText);
        ASSERT_TRUE(back) << errorText.data();
        EXPECT_EQ(back->width, width);
        EXPECT_EQ(back->height, height);
        EXPECT_EQ(back->pixels, pixels) << width << "x" << height;
        EXPECT_EQ(back->alpha, alpha);
    }
}

TEST(WriteBmp, FailureLeavesNoTrace) {
    const TempDir dir;
    const Image image = makeImage(1, 1, {0});

    std::filesystem::create_directory(dir.file("folder"));
    writeText(dir.file("folder/inside.txt"), "kept");
    EXPECT_FALSE(writeBmp(image, dir.file("folder").c_str()));
    EXPECT_FALSE(writeBmp(image, dir.file("missing/out.bmp").c_str()));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"folder"}));
    EXPECT_EQ(listFolder(dir.file("folder")), (std::vector<std::string>{"inside.txt"}));

    // A write that the file system refuses halfway: the old target stays.
    writeText(dir.file("old.bmp"), "old");
    const Image big = makeImage(100, 100, std::vector<std::uint16_t>(10000, 0x1234));
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool bWritten = writeBmp(big, dir.file("old.bmp").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(bWritten);
    EXPECT_EQ(readFile(dir.file("old.bmp")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"folder", "old.bmp"}));
}

// A record whose buffers do not match its size is refused, not written from
// past their ends (and never ends the caller's process).
TEST(WriteBmp, InconsistentRecordIsRefused) {
    const TempDir dir;
    writeText(dir.file("old.bmp"), "old");
    const Image short1 = makeImage(2, 2, {1, 2, 3});
    const Image shortAlpha = makeImage(2, 1, {1, 2}, {32});
    const Image negative = makeImage(-1, 1, {});
    for (const Image* image : {&short1, &shortAlpha, &negative}) {
        EXPECT_FALSE(writeBmp(*image, dir.file("old.bmp").c_str()));
        EXPECT_TRUE(encodeBmp(*image).empty());
    }
    EXPECT_EQ(readFile(dir.file("old.bmp")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"old.bmp"}));
}
