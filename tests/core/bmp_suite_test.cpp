// Every file of the BMP Suite (tests/data/bmpsuite) through loadImage: the
// good, questionable and bad files each load with their size or fail with
// their message.
#include <gtest/gtest.h>
#include <rle565/image.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

using namespace rle565;

namespace {

struct Outcome {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    const char* message;       // nullptr: the file loads
    const char* otherMessage;  // a second accepted message, where two rules apply
};

constexpr Outcome loads(const char* name, std::int32_t width, std::int32_t height) {
    return {name, width, height, nullptr, nullptr};
}

constexpr Outcome fails(const char* name, const char* message, const char* other = nullptr) {
    return {name, 0, 0, message, other};
}

const Outcome OUTCOMES[] = {
    loads("g/pal1.bmp", 127, 64),
    loads("g/pal1bg.bmp", 127, 64),
    loads("g/pal1wb.bmp", 127, 64),
    loads("g/pal4.bmp", 127, 64),
    loads("g/pal4gs.bmp", 127, 64),
    fails("g/pal4rle.bmp", "unknown compression"),
    loads("g/pal8-0.bmp", 127, 64),
    loads("g/pal8.bmp", 127, 64),
    loads("g/pal8gs.bmp", 127, 64),
    loads("g/pal8nonsquare.bmp", 127, 32),
    fails("g/pal8os2.bmp", "unsupported BMP header"),
    fails("g/pal8rle.bmp", "unknown compression"),
    loads("g/pal8topdown.bmp", 127, 64),
    loads("g/pal8v4.bmp", 127, 64),
    loads("g/pal8v5.bmp", 127, 64),
    loads("g/pal8w124.bmp", 124, 61),
    loads("g/pal8w125.bmp", 125, 62),
    loads("g/pal8w126.bmp", 126, 63),
    fails("g/rgb16-565.bmp", "unknown compression"),
    fails("g/rgb16-565pal.bmp", "unknown compression"),
    loads("g/rgb16.bmp", 127, 64),
    fails("g/rgb16bfdef.bmp", "unknown compression"),
    loads("g/rgb24.bmp", 127, 64),
    loads("g/rgb24pal.bmp", 127, 64),
    loads("g/rgb32.bmp", 127, 64),
    fails("g/rgb32bf.bmp", "unknown compression"),
    fails("g/rgb32bfdef.bmp", "unknown compression"),
    fails("q/pal1huffmsb.bmp", "unknown compression"),
    loads("q/pal1p1.bmp", 127, 64),
    fails("q/pal2.bmp", "unsupported bit depth"),
    fails("q/pal2color.bmp", "unsupported bit depth"),
    fails("q/pal4rlecut.bmp", "unknown compression"),
    fails("q/pal4rletrns.bmp", "unknown compression"),
    loads("q/pal8offs.bmp", 127, 64),
    fails("q/pal8os2-hs.bmp", "unsupported BMP header"),
    fails("q/pal8os2-sz.bmp", "unsupported BMP header"),
    fails("q/pal8os2sp.bmp", "unsupported BMP header"),
    fails("q/pal8os2v2-16.bmp", "unsupported BMP header"),
    loads("q/pal8os2v2-40sz.bmp", 127, 64),
    loads("q/pal8os2v2-sz.bmp", 127, 64),
    loads("q/pal8os2v2.bmp", 127, 64),
    fails("q/pal8oversizepal.bmp", "invalid colour table"),
    fails("q/pal8rlecut.bmp", "unknown compression"),
    fails("q/pal8rletrns.bmp", "unknown compression"),
    fails("q/rgb16-231.bmp", "unknown compression"),
    fails("q/rgb16-3103.bmp", "unknown compression"),
    loads("q/rgb16faketrns.bmp", 127, 64),
    fails("q/rgb24jpeg.bmp", "unknown compression", "unsupported bit depth"),
    loads("q/rgb24largepal.bmp", 127, 64),
    loads("q/rgb24lprof.bmp", 127, 64),
    fails("q/rgb24png.bmp", "unknown compression", "unsupported bit depth"),
    loads("q/rgb24prof.bmp", 127, 64),
    loads("q/rgb24prof2.bmp", 127, 64),
    fails("q/rgb24rle24.bmp", "unknown compression"),
    fails("q/rgb32-111110.bmp", "unknown compression"),
    fails("q/rgb32-7187.bmp", "unknown compression"),
    fails("q/rgb32-xbgr.bmp", "unknown compression"),
    loads("q/rgb32fakealpha.bmp", 127, 64),
    fails("q/rgb32h52.bmp", "unknown compression"),
    fails("q/rgba16-1924.bmp", "unknown compression"),
    fails("q/rgba16-4444.bmp", "unknown compression"),
    fails("q/rgba16-5551.bmp", "unknown compression"),
    fails("q/rgba32-1.bmp", "unknown compression"),
    fails("q/rgba32-1010102.bmp", "unknown compression"),
    fails("q/rgba32-2.bmp", "unknown compression"),
    fails("q/rgba32-61754.bmp", "unknown compression"),
    fails("q/rgba32-81284.bmp", "unknown compression"),
    fails("q/rgba32abf.bmp", "unknown compression"),
    fails("q/rgba32h56.bmp", "unknown compression"),
    fails("q/rgba64.bmp", "unsupported bit depth"),
    fails("b/badbitcount.bmp", "unsupported bit depth"),
    loads("b/badbitssize.bmp", 127, 64),
    loads("b/baddens1.bmp", 127, 64),
    loads("b/baddens2.bmp", 127, 64),
    loads("b/badfilesize.bmp", 127, 64),
    loads("b/badheadersize.bmp", 127, 64),
    fails("b/badpalettesize.bmp", "invalid colour table"),
    loads("b/badplanes.bmp", 127, 64),
    fails("b/badrle.bmp", "unknown compression"),
    fails("b/badrle4.bmp", "unknown compression"),
    fails("b/badrle4bis.bmp", "unknown compression"),
    fails("b/badrle4ter.bmp", "unknown compression"),
    fails("b/badrlebis.bmp", "unknown compression"),
    fails("b/badrleter.bmp", "unknown compression"),
    fails("b/badwidth.bmp", "invalid dimensions"),
    loads("b/pal8badindex.bmp", 127, 64),
    fails("b/reallybig.bmp", "image too large", "truncated file"),
    fails("b/rgb16-880.bmp", "unknown compression"),
    fails("b/rletopdown.bmp", "unknown compression"),
    fails("b/shortfile.bmp", "truncated file"),
};

std::string suitePath(const std::string& name) {
    return std::string(RLE565_TEST_DATA) + "/bmpsuite/" + name;
}

std::unique_ptr<Image> load(const std::string& name) {
    ErrorText errorText{};
    auto image = loadImage(suitePath(name).c_str(), errorText);
    EXPECT_TRUE(image) << name << ": " << errorText.data();
    return image;
}

std::size_t countPixels(const Image& image, std::uint16_t color) {
    return static_cast<std::size_t>(std::count(image.pixels.begin(), image.pixels.end(), color));
}

}  // namespace

TEST(BmpSuite, TableCoversEveryFile) {
    std::vector<std::string> files;
    for (const char* folder : {"g", "q", "b"})
        for (const auto& entry : std::filesystem::directory_iterator(suitePath(folder)))
            files.push_back(std::string(folder) + "/" + entry.path().filename().string());
    std::vector<std::string> listed;
    for (const auto& outcome : OUTCOMES) listed.emplace_back(outcome.name);
    std::sort(files.begin(), files.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(files, listed);
}

TEST(BmpSuite, EveryFileLoadsOrFailsAsListed) {
    for (const auto& outcome : OUTCOMES) {
        ErrorText errorText{};
        const auto image = loadImage(suitePath(outcome.name).c_str(), errorText);
        if (!outcome.message) {
            ASSERT_TRUE(image) << outcome.name << ": " << errorText.data();
            EXPECT_EQ(image->width, outcome.width) << outcome.name;
            EXPECT_EQ(image->height, outcome.height) << outcome.name;
            EXPECT_EQ(image->pixels.size(),
                      static_cast<std::size_t>(outcome.width) * outcome.height);
            continue;
        }
        EXPECT_FALSE(image) << outcome.name;
        const std::string message = errorText.data();
        if (outcome.otherMessage && message == outcome.otherMessage) continue;
        EXPECT_EQ(message, outcome.message) << outcome.name;
    }
}

// Only 32-bit files carry alpha; rgb32.bmp has 0 in every alpha byte, and
// rgb32fakealpha.bmp in 254 of them.
TEST(BmpSuite, AlphaOf32BitFiles) {
    const auto rgb32 = load("g/rgb32.bmp");
    ASSERT_TRUE(rgb32);
    EXPECT_EQ(rgb32->alpha, std::vector<std::uint8_t>(127 * 64, 0));
    const auto fake = load("q/rgb32fakealpha.bmp");
    ASSERT_TRUE(fake);
    EXPECT_EQ(std::count(fake->alpha.begin(), fake->alpha.end(), 0), 254);
    for (const char* name : {"g/pal8.bmp", "g/rgb16.bmp", "g/rgb24.bmp", "g/pal1.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_FALSE(image->hasAlpha()) << name;
    }
}

// The same picture behind other header lengths, data offsets and row orders.
TEST(BmpSuite, VariantsGiveTheSamePixels) {
    const auto pal8 = load("g/pal8.bmp");
    ASSERT_TRUE(pal8);
    EXPECT_EQ(countPixels(*pal8, COLOR_KEY), 21u);
    for (const char* name :
         {"g/pal8-0.bmp", "g/pal8topdown.bmp", "g/pal8v4.bmp", "g/pal8v5.bmp", "q/pal8offs.bmp",
          "q/pal8os2v2.bmp", "q/pal8os2v2-sz.bmp", "q/pal8os2v2-40sz.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, pal8->pixels) << name;
    }
    const auto rgb24 = load("g/rgb24.bmp");
    ASSERT_TRUE(rgb24);
    EXPECT_EQ(countPixels(*rgb24, COLOR_KEY), 1u);
    for (const char* name :
         {"g/rgb24pal.bmp", "q/rgb24largepal.bmp", "q/rgb24prof.bmp", "q/rgb24lprof.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, rgb24->pixels) << name;
    }
}

TEST(BmpSuite, ColourKeyAndOutOfTablePixels) {
    const auto pal4 = load("g/pal4.bmp");
    ASSERT_TRUE(pal4);
    EXPECT_EQ(countPixels(*pal4, COLOR_KEY), 171u);
    const auto rgb16 = load("g/rgb16.bmp");
    ASSERT_TRUE(rgb16);
    EXPECT_EQ(countPixels(*rgb16, COLOR_KEY), 2u);
    // 101 table entries, one of them black; 4793 pixels index beyond them
    // and come out black too.
    const auto badIndex = load("b/pal8badindex.bmp");
    ASSERT_TRUE(badIndex);
    EXPECT_GE(countPixels(*badIndex, 0x0000), 4793u);
}
