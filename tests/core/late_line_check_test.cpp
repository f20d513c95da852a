// Mode b loads RLE files with the line codes left to the conversion, which
// checks each line as it decodes it. Such a load and conversion must refuse
// exactly the files a full check at load refuses, write nothing for them, and
// write the same bytes for every other file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "blit.h"
#include "image.h"
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
    const std::vector<Bytes> files = {
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
