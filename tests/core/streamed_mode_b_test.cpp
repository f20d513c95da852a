// Mode b streams large RLE files, checking each line's codes as it decodes
// them. It must refuse exactly the files that loading refuses, write nothing
// for them, and write the bytes of the loaded way for every other file.
#include <gtest/gtest.h>
#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <rle565/rle_to_bmp.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "formats/rle_reader.h"
#include "image_maker.h"
#include "rle_builder.h"
#include "temp_dir.h"

using namespace rle565;

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
};

// The streamed way on `file`, forced for files of any size: what it returns,
// and the bytes it wrote (empty when it wrote nothing).
std::pair<bool, Bytes> streamed(const Loads& loads) {
    std::filesystem::remove(loads.bmp);
    const bool bWritten =
        (streamRleFileToBmp(loads.rle.c_str(), loads.bmp.c_str(), 0) == StreamedBmp::Written);
    Bytes written;
    if (std::filesystem::exists(loads.bmp)) written = readFile(loads.bmp);
    return {bWritten, written};
}

// The loaded way: the bytes convertRleToBmp writes, or nothing when the load
// or the conversion fails.
std::optional<Bytes> loadedWay(const Loads& loads) {
    ErrorText errorText{};
    const auto image = loadImage(loads.rle.c_str(), errorText);
    if (!image) return std::nullopt;
    std::filesystem::remove(loads.bmp);
    if (!convertRleToBmp(*image, loads.bmp.c_str())) return std::nullopt;
    return readFile(loads.bmp);
}

}  // namespace

// A bad line anywhere, first, middle or last, of each kind the check at load
// knows: the loaded way refuses the file, and the streamed way writes nothing.
TEST(StreamedModeB, UnsoundLinesWriteNothing) {
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
        for (std::size_t at = 0; at < 4; ++at) {
            SCOPED_TRACE(std::to_string(k) + " at line " + std::to_string(at));
            std::vector<Bytes> lines(4, SOUND_LINE);
            lines[at] = badLines[k];
            const Loads loads(tenWide(lines).bytes());
            EXPECT_FALSE(loadedWay(loads));
            const auto [bWritten, written] = streamed(loads);
            EXPECT_FALSE(bWritten);
            EXPECT_TRUE(written.empty());
            // Judged by the streamed way itself, for the caller to report.
            EXPECT_EQ(streamRleFileToBmp(loads.rle.c_str(), loads.bmp.c_str(), 0),
                      StreamedBmp::Corrupt);
            EXPECT_FALSE(std::filesystem::exists(loads.bmp));
        }
    }
}

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
    TempDir dir;
    const std::string rle = dir.file("big.rle");
    const std::string viaLoad = dir.file("load.bmp");
    ASSERT_TRUE(writeLargeNoisyRle(rle, 5, viaLoad));
    const std::string viaStream = dir.file("stream.bmp");
    ASSERT_TRUE((streamRleFileToBmp(rle.c_str(), viaStream.c_str()) == StreamedBmp::Written));
    EXPECT_EQ(readFile(viaStream), readFile(viaLoad));
    // Below the size, it leaves the file to the loaded way.
    EXPECT_FALSE((streamRleFileToBmp(rle.c_str(), dir.file("not.bmp").c_str(),
                                     std::uint64_t{1} << 30) == StreamedBmp::Written));
    EXPECT_FALSE(std::filesystem::exists(dir.file("not.bmp")));
}
