// Files that are not regular (pipes, FIFOs, devices) are read whole as their
// bytes arrive, and only as far as an image file can use them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "read_bytes.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

// A pipe holding `bytes`, its writing end closed: the reading end.
int pipeOf(const Bytes& bytes) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    return ends[0];
}

Bytes bytesOf(const FileBytes& file) { return Bytes(file.view().begin(), file.view().end()); }

TEST(ReadImageBytes, ReadsStreamsOfKnownKindsWhole) {
    const Bytes rle = RleBuilder().size(2, 1).palette({COLOR_KEY, 0x1234}).line({1, 1}).bytes();
    int fd = pipeOf(rle);
    EXPECT_EQ(bytesOf(readImageBytes(fd)), rle);
    close(fd);
    // Larger than a pipe holds at once: written while it is read.
    Bytes bmp = BmpBuilder(300, 100, 24).build();
    bmp.resize(bmp.size() + 300 * 3 * 100, 0x55);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        EXPECT_EQ(write(ends[1], bmp.data(), bmp.size()), static_cast<ssize_t>(bmp.size()));
        close(ends[1]);
    });
    EXPECT_EQ(bytesOf(readImageBytes(ends[0])), bmp);
    writer.join();
    close(ends[0]);
}

// Of anything else only the two bytes that tell it apart are read: a device
// that never ends is no wait.
TEST(ReadImageBytes, StopsAfterAnUnknownMagic) {
    const int fd = pipeOf({'x', 'y', 1, 2, 3});
    EXPECT_EQ(bytesOf(readImageBytes(fd)), (Bytes{'x', 'y'}));
    std::uint8_t rest[8];
    EXPECT_EQ(read(fd, rest, sizeof rest), 3);
    close(fd);
    const int zero = open("/dev/zero", O_RDONLY);
    ASSERT_GE(zero, 0);
    EXPECT_EQ(bytesOf(readImageBytes(zero)), (Bytes{0, 0}));
    close(zero);
    const int empty = pipeOf({});
    EXPECT_EQ(readImageBytes(empty).size, 0u);
    close(empty);
}

// Through a FIFO, a file loads as it does from the disk, RLE files included,
// and a header that claims more than arrives is refused as truncated.
TEST(LoadImage, FifosLoadFromTheirBytes) {
    TempDir dir;
    const std::string fifo = dir.file("in");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto loadThrough = [&](const Bytes& bytes, ErrorText& errorText) {
        std::thread writer([&] { writeFile(fifo, bytes); });
        auto image = loadImage(fifo.c_str(), errorText);
        writer.join();
        return image;
    };
    ErrorText errorText{};
    const auto rle = loadThrough(
        RleBuilder().size(2, 1).palette({COLOR_KEY, 0x1234}).line({1, 1}).bytes(), errorText);
    ASSERT_TRUE(rle);
    EXPECT_TRUE(rle->isRle());
    EXPECT_EQ(rle->width, 2);
    Bytes lie = BmpBuilder(16000, 16000, 1).color(0, 0, 0).color(255, 255, 255).build();
    lie.resize(1000, 0);
    EXPECT_FALSE(loadThrough(lie, errorText));
    EXPECT_STREQ(errorText.data(), "truncated file");
}

}  // namespace
