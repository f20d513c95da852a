// Files held in memory load exactly as the same bytes through a stream: the
// same record, or the same refusal in the same words.
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

namespace {

struct Outcome {
    std::unique_ptr<Image> image;
    std::string error;
};

Outcome throughStream(Bytes bytes) {
    ErrorText errorText{};
    Outcome result;
    // A stream over no bytes cannot be made; it would hold no magic anyway.
    if (bytes.empty()) bytes.push_back('?');
    const FilePtr stream(fmemopen(bytes.data(), bytes.size(), "rb"));
    result.image = loadImageFromStream(stream.get(), errorText);
    if (!result.image) result.error = errorText.data();
    return result;
}

Outcome fromMemory(const Bytes& bytes) {
    ErrorText errorText{};
    Outcome result;
    // A copy of exactly the bytes, so that the sanitizers catch a read past them.
    const std::vector<std::uint8_t> exact(bytes);
    result.image = loadImageFromMemory(exact, errorText);
    if (!result.image) result.error = errorText.data();
    return result;
}

void expectSameOutcome(const Bytes& bytes, const std::string& what) {
    SCOPED_TRACE(what);
    const Outcome stream = throughStream(bytes);
    const Outcome memory = fromMemory(bytes);
    ASSERT_EQ(stream.image == nullptr, memory.image == nullptr) << stream.error << memory.error;
    if (!stream.image) {
        EXPECT_EQ(stream.error, memory.error);
        return;
    }
    const Image& a = *stream.image;
    const Image& b = *memory.image;
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.paletteSize, b.paletteSize);
    EXPECT_EQ(a.dataSize, b.dataSize);
    EXPECT_EQ(a.lineOffsets, b.lineOffsets);
    EXPECT_EQ(a.alpha, b.alpha);
    EXPECT_TRUE(a.pixels == b.pixels);
}

Bytes cut(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// A small RLE file with an alpha palette, two lines and trailing bytes.
Bytes smallRle() {
    return RleBuilder()
        .flags(1)
        .size(5, 2)
        .palette({0xF81F, 0x001F, 0x07E0})
        .alphas({0, 32, 16})
        .line({0x01, 0xFE, 0x02, 0x04})
        .line({0xFF, 0x03, 0x00, 0x01})
        .trailing({0xAB})
        .bytes();
}

}  // namespace

TEST(LoadImageFromMemory, EveryFileOfTheBmpSuite) {
    std::size_t nFiles = 0;
    const std::filesystem::path suite = std::filesystem::path(RLE565_TEST_DATA) / "bmpsuite";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(suite)) {
        if (entry.path().extension() != ".bmp") continue;
        expectSameOutcome(readFile(entry.path().string()), entry.path().string());
        ++nFiles;
    }
    EXPECT_GT(nFiles, 80u);
}

TEST(LoadImageFromMemory, BmpCutAtEveryLength) {
    const Bytes file = BmpBuilder(5, 3, 8)
                           .colorsUsed(2)
                           .color(255, 0, 0)
                           .color(0, 0, 255)
                           .row({1, 0, 1, 1, 0})
                           .row({0, 1, 0, 0, 1})
                           .row({1, 1, 1, 1, 1})
                           .build();
    for (std::size_t size = 0; size <= file.size(); ++size)
        expectSameOutcome(cut(file, size), "cut at " + std::to_string(size));
}

TEST(LoadImageFromMemory, RleCutAtEveryLength) {
    const Bytes file = smallRle();
    ASSERT_TRUE(fromMemory(file).image);
    for (std::size_t size = 0; size <= file.size(); ++size)
        expectSameOutcome(cut(file, size), "cut at " + std::to_string(size));
}

TEST(LoadImageFromMemory, UnknownMagic) {
    EXPECT_EQ(fromMemory({}).error, "unknown format");
    EXPECT_EQ(fromMemory({'B'}).error, "unknown format");
    EXPECT_EQ(fromMemory({'P', 'N', 'G'}).error, "unknown format");
    expectSameOutcome({'X', 'Y', 0, 0}, "unknown magic");
}

// loadImage reads small files whole: what it gives must be what a stream gives.
TEST(LoadImageFromMemory, LoadImageReadsSmallFilesWhole) {
    TempDir dir;
    const std::vector<Bytes> files = {smallRle(), BmpBuilder(3, 2, 24)
                                                      .row({1, 2, 3, 4, 5, 6, 7, 8, 9})
                                                      .row({9, 8, 7, 6, 5, 4, 3, 2, 1})
                                                      .build()};
    for (const Bytes& file : files) {
        const std::string path = dir.file("small.bin");
        writeFile(path, file);
        ErrorText errorText{};
        const auto loaded = loadImage(path.c_str(), errorText);
        ASSERT_TRUE(loaded) << errorText.data();
        const Outcome stream = throughStream(file);
        ASSERT_TRUE(stream.image);
        EXPECT_EQ(loaded->width, stream.image->width);
        EXPECT_EQ(loaded->lineOffsets, stream.image->lineOffsets);
        EXPECT_TRUE(loaded->pixels == stream.image->pixels);
    }
}
