// Mode b checks line codes as it decodes them, on a loaded file or streaming
// a large one. Either way it must refuse exactly the files a full check at
// load refuses, write nothing for them, and write the same bytes for every
// other file.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "blit.h"
#include "encode_single.h"
#include "image.h"
#include "image_maker.h"
#include "rle_builder.h"
#include "rle_reader.h"
#include "temp_dir.h"

namespace {

// Ten pixels wide, entries 0 (the key) and 1, one line per element.
RleBuilder tenWide(const std::vector<Bytes>& lines) {
    RleBuilder file;
    file.size(10, static_cast<std::uint16_t>(lines.size())).palette({0xF81F, 0x1234});
    for (const Bytes& codes : lines) file.line(codes);
    return file;
}

const Bytes SOUND_LINE = {0x01, 0xFE, 0x01, 0x08, 0x00};

// Sound files, among them bytes the decoder never reads, an alpha palette and
// lines of width 0.
std::vector<Bytes> soundFiles() {
    return {
        tenWide({SOUND_LINE, {0xFF, 0x0A, 0x09, 0xFD}, SOUND_LINE}).bytes(),
        tenWide({{0xFE, 0x09, 0x00, 0x00, 0xFF, 0x09}, SOUND_LINE}).bytes(),
        tenWide({{0xFD, 0xFF, 0xFF, 0x00, 0xFF, 0x09}, SOUND_LINE}).bytes(),
        tenWide({SOUND_LINE, SOUND_LINE}).trailing({0xAB, 0xCD}).bytes(),
        RleBuilder()
            .flags(RLE_ALPHA)
            .size(10, 2)
            .palette({0xF81F, 0x07E0})
            .alphas({0, 16})
            .line(SOUND_LINE)
            .line(SOUND_LINE)
            .bytes(),
        RleBuilder().size(0, 3).line({}).line({0x07}).line({}).bytes(),
    };
}

struct Loads {
    TempDir dir;
    std::string rle = dir.file("in.rle");
    std::string bmp = dir.file("out.bmp");

    explicit Loads(const Bytes& file) { writeFile(rle, file); }

    std::unique_ptr<Image> load(RleCodeCheck check, std::string& error) const {
        ErrorText errorText{};
        auto image = loadImage(rle.c_str(), errorText, check);
        error = image ? "" : errorText.data();
        return image;
    }
};

}  // namespace

// A bad line anywhere but last loads, then stops the conversion before
// anything is written, and confirmRleCodes names the file as the load would.
TEST(LateLineCheck, UnsoundLinesStopTheConversion) {
    const std::vector<Bytes> badLines = {
        {0xFE, 0x01, 0x0B},                    // run past the width
        {0xFF, 0x0B},                          // skip run past the width
        {0x02, 0xFF, 0x09},                    // entry beyond the palette
        {0xFE, 0x02, 0x0A},                    // run of an entry beyond the palette
        {0xFD, 0x01, 0x00, 0x01, 0xFF, 0x09},  // literal beyond a switched base
        {0xFF, 0x09},                          // too few pixels
        {},                                    // no codes at all
        {0xFF},                                // code cut by the line's end
        {0xFE, 0x01},                          // run cut by the line's end
    };
    for (std::size_t k = 0; k < badLines.size(); ++k) {
        for (std::size_t at = 0; at < 3; ++at) {
            SCOPED_TRACE(std::to_string(k) + " at line " + std::to_string(at));
            std::vector<Bytes> lines(4, SOUND_LINE);
            lines[at] = badLines[k];
            const Loads loads(tenWide(lines).bytes());
            std::string error;
            EXPECT_FALSE(loads.load(RleCodeCheck::Load, error));
            EXPECT_EQ(error, "RLE data corrupt");

            auto image = loads.load(RleCodeCheck::Conversion, error);
            ASSERT_TRUE(image) << error;
            EXPECT_NE(image->flags & IMAGE_LINES_UNCHECKED, 0u);
            EXPECT_FALSE(convertRleToBmp(*image, loads.bmp.c_str()));
            EXPECT_FALSE(std::filesystem::exists(loads.bmp));
            ErrorText errorText{};
            EXPECT_FALSE(confirmRleCodes(*image, errorText));
            EXPECT_STREQ(errorText.data(), "RLE data corrupt");
        }
    }
}

// Faults of the tables and of the last line are still found at load.
TEST(LateLineCheck, TablesAndLastLineAreCheckedAtLoad) {
    const std::vector<Bytes> files = {
        tenWide({SOUND_LINE, {0xFF, 0x09}}).bytes(),
        tenWide({SOUND_LINE, SOUND_LINE}).entryCount(100).bytes(),
        tenWide({SOUND_LINE, SOUND_LINE}).lineLengths({0x05}).bytes(),
    };
    for (const Bytes& file : files) {
        const Loads loads(file);
        std::string error;
        EXPECT_FALSE(loads.load(RleCodeCheck::Conversion, error));
        EXPECT_EQ(error, "RLE data corrupt");
    }
}

// Sound files, including bytes the decoder never reads, convert to the same
// bytes either way, and confirmRleCodes finds nothing.
TEST(LateLineCheck, SoundFilesConvertTheSame) {
    const std::vector<Bytes> files = soundFiles();
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(k);
        const Loads loads(files[k]);
        std::string error;
        const auto checked = loads.load(RleCodeCheck::Load, error);
        ASSERT_TRUE(checked) << error;
        auto late = loads.load(RleCodeCheck::Conversion, error);
        ASSERT_TRUE(late) << error;
        EXPECT_EQ(late->lineOffsets, checked->lineOffsets);
        ASSERT_TRUE(convertRleToBmp(*checked, loads.bmp.c_str()));
        const Bytes expected = readFile(loads.bmp);
        ASSERT_TRUE(convertRleToBmp(*late, loads.bmp.c_str()));
        EXPECT_EQ(readFile(loads.bmp), expected);
        ErrorText errorText{};
        EXPECT_TRUE(confirmRleCodes(*late, errorText));
        EXPECT_EQ((late->flags & IMAGE_LINES_UNCHECKED), 0u);
    }
}

namespace {

// The streamed way on `file`, forced for files of any size: what it returns,
// and the bytes it wrote (empty when it wrote nothing).
std::pair<bool, Bytes> streamed(const Loads& loads) {
    std::filesystem::remove(loads.bmp);
    const bool bWritten = convertLargeRleFileToBmp(loads.rle.c_str(), loads.bmp.c_str(), 0);
    Bytes written;
    if (std::filesystem::exists(loads.bmp)) written = readFile(loads.bmp);
    return {bWritten, written};
}

// The loaded way: the bytes convertRleToBmp writes, or nothing when the load
// or the conversion fails.
std::optional<Bytes> loadedWay(const Loads& loads) {
    std::string error;
    const auto image = loads.load(RleCodeCheck::Load, error);
    if (!image) return std::nullopt;
    std::filesystem::remove(loads.bmp);
    if (!convertRleToBmp(*image, loads.bmp.c_str())) return std::nullopt;
    return readFile(loads.bmp);
}

}  // namespace

// Large files convert without being held whole: the same bytes as the loaded
// way for every sound file, and nothing at all for any file the loaded way
// refuses, so that the caller's fallback reports it.
TEST(StreamedModeB, WritesWhatTheLoadedWayWrites) {
    std::vector<Bytes> files = soundFiles();
    const std::vector<Bytes> others = {
        RleBuilder().size(5, 0).bytes(),
        tenWide({SOUND_LINE, {0xFF, 0x09}}).bytes(),
        tenWide({SOUND_LINE, SOUND_LINE}).entryCount(100).bytes(),
        tenWide({SOUND_LINE, SOUND_LINE}).lineLengths({0x05}).bytes(),
        tenWide({SOUND_LINE, {0xFE, 0x01, 0x0B}, SOUND_LINE}).bytes(),
        tenWide({{0x02, 0xFF, 0x09}, SOUND_LINE}).bytes(),
        tenWide({SOUND_LINE, {0xFF}, SOUND_LINE}).bytes(),
    };
    files.insert(files.end(), others.begin(), others.end());
    // Every cut of a sound file, too.
    const Bytes whole = tenWide({SOUND_LINE, {0xFE, 0x01, 0x0A}, SOUND_LINE}).bytes();
    for (std::size_t size = 0; size < whole.size(); ++size)
        files.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(k);
        const Loads loads(files[k]);
        const std::optional<Bytes> expected = loadedWay(loads);
        const auto [bWritten, written] = streamed(loads);
        ASSERT_EQ(bWritten, expected.has_value());
        if (expected) {
            EXPECT_EQ(written, *expected);
        } else {
            EXPECT_TRUE(written.empty());
        }
    }
}

// A file above the size from which the driver streams: lines far more than one
// window of codes, read from the end backwards.
TEST(StreamedModeB, LargeFileInManyWindows) {
    const Image image = makeNoisyImage(1200, 1000, 200, 5);
    TempDir dir;
    const std::string rle = dir.file("big.rle");
    std::int32_t nColors = 0;
    ASSERT_EQ(convertToRle(image, rle.c_str(), false, nColors), EncodeResult::Written);
    ASSERT_GT(std::filesystem::file_size(rle), std::uint64_t{1} << 20);

    ErrorText errorText{};
    const auto loaded = loadImage(rle.c_str(), errorText);
    ASSERT_TRUE(loaded) << errorText.data();
    const std::string viaLoad = dir.file("load.bmp");
    ASSERT_TRUE(convertRleToBmp(*loaded, viaLoad.c_str()));
    const std::string viaStream = dir.file("stream.bmp");
    ASSERT_TRUE(convertLargeRleFileToBmp(rle.c_str(), viaStream.c_str()));
    EXPECT_EQ(readFile(viaStream), readFile(viaLoad));
    // Below the size, it leaves the file to the loaded way.
    EXPECT_FALSE(
        convertLargeRleFileToBmp(rle.c_str(), dir.file("not.bmp").c_str(), std::uint64_t{1} << 30));
    EXPECT_FALSE(std::filesystem::exists(dir.file("not.bmp")));
}
