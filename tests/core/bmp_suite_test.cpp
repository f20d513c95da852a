// Every file of the BMP Suite (tests/data/bmpsuite) through loadImage: the
// good, questionable and bad files each load with their size or fail with
// their message.
#include <gtest/gtest.h>
#include <rle565/image.h>
#include <rle565/load.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    loads("g/pal4rle.bmp", 127, 64),
    loads("g/pal8-0.bmp", 127, 64),
    loads("g/pal8.bmp", 127, 64),
    loads("g/pal8gs.bmp", 127, 64),
    loads("g/pal8nonsquare.bmp", 127, 32),
    fails("g/pal8os2.bmp", "unsupported BMP header"),
    loads("g/pal8rle.bmp", 127, 64),
    loads("g/pal8topdown.bmp", 127, 64),
    loads("g/pal8v4.bmp", 127, 64),
    loads("g/pal8v5.bmp", 127, 64),
    loads("g/pal8w124.bmp", 124, 61),
    loads("g/pal8w125.bmp", 125, 62),
    loads("g/pal8w126.bmp", 126, 63),
    loads("g/rgb16-565.bmp", 127, 64),
    loads("g/rgb16-565pal.bmp", 127, 64),
    loads("g/rgb16.bmp", 127, 64),
    loads("g/rgb16bfdef.bmp", 127, 64),
    loads("g/rgb24.bmp", 127, 64),
    loads("g/rgb24pal.bmp", 127, 64),
    loads("g/rgb32.bmp", 127, 64),
    loads("g/rgb32bf.bmp", 127, 64),
    loads("g/rgb32bfdef.bmp", 127, 64),
    fails("q/pal1huffmsb.bmp", "unknown compression"),
    loads("q/pal1p1.bmp", 127, 64),
    fails("q/pal2.bmp", "unsupported bit depth"),
    fails("q/pal2color.bmp", "unsupported bit depth"),
    loads("q/pal4rlecut.bmp", 127, 64),
    loads("q/pal4rletrns.bmp", 127, 64),
    loads("q/pal8offs.bmp", 127, 64),
    fails("q/pal8os2-hs.bmp", "unsupported BMP header"),
    fails("q/pal8os2-sz.bmp", "unsupported BMP header"),
    fails("q/pal8os2sp.bmp", "unsupported BMP header"),
    fails("q/pal8os2v2-16.bmp", "unsupported BMP header"),
    loads("q/pal8os2v2-40sz.bmp", 127, 64),
    loads("q/pal8os2v2-sz.bmp", 127, 64),
    loads("q/pal8os2v2.bmp", 127, 64),
    fails("q/pal8oversizepal.bmp", "invalid colour table"),
    loads("q/pal8rlecut.bmp", 127, 64),
    loads("q/pal8rletrns.bmp", 127, 64),
    loads("q/rgb16-231.bmp", 127, 64),
    loads("q/rgb16-3103.bmp", 127, 64),
    loads("q/rgb16faketrns.bmp", 127, 64),
    fails("q/rgb24jpeg.bmp", "unknown compression", "unsupported bit depth"),
    loads("q/rgb24largepal.bmp", 127, 64),
    loads("q/rgb24lprof.bmp", 127, 64),
    fails("q/rgb24png.bmp", "unknown compression", "unsupported bit depth"),
    loads("q/rgb24prof.bmp", 127, 64),
    loads("q/rgb24prof2.bmp", 127, 64),
    fails("q/rgb24rle24.bmp", "unknown compression"),
    loads("q/rgb32-111110.bmp", 127, 64),
    loads("q/rgb32-7187.bmp", 127, 64),
    loads("q/rgb32-xbgr.bmp", 127, 64),
    loads("q/rgb32fakealpha.bmp", 127, 64),
    loads("q/rgb32h52.bmp", 127, 64),
    loads("q/rgba16-1924.bmp", 127, 64),
    loads("q/rgba16-4444.bmp", 127, 64),
    loads("q/rgba16-5551.bmp", 127, 64),
    loads("q/rgba32-1.bmp", 127, 64),
    loads("q/rgba32-1010102.bmp", 127, 64),
    loads("q/rgba32-2.bmp", 127, 64),
    loads("q/rgba32-61754.bmp", 127, 64),
    loads("q/rgba32-81284.bmp", 127, 64),
    loads("q/rgba32abf.bmp", 127, 64),
    loads("q/rgba32h56.bmp", 127, 64),
    fails("q/rgba64.bmp", "unsupported bit depth"),
    fails("b/badbitcount.bmp", "unsupported bit depth"),
    loads("b/badbitssize.bmp", 127, 64),
    loads("b/baddens1.bmp", 127, 64),
    loads("b/baddens2.bmp", 127, 64),
    loads("b/badfilesize.bmp", 127, 64),
    loads("b/badheadersize.bmp", 127, 64),
    fails("b/badpalettesize.bmp", "invalid colour table"),
    loads("b/badplanes.bmp", 127, 64),
    loads("b/badrle.bmp", 127, 64),
    loads("b/badrle4.bmp", 127, 64),
    loads("b/badrle4bis.bmp", 127, 64),
    loads("b/badrle4ter.bmp", 127, 64),
    loads("b/badrlebis.bmp", 127, 64),
    loads("b/badrleter.bmp", 127, 64),
    fails("b/badwidth.bmp", "invalid dimensions"),
    loads("b/pal8badindex.bmp", 127, 64),
    fails("b/reallybig.bmp", "image too large", "truncated file"),
    loads("b/rgb16-880.bmp", 127, 64),
    loads("b/rletopdown.bmp", 127, 64),
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

std::vector<std::uint8_t> fileBytes(const std::string& name) {
    std::ifstream in(suitePath(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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

// The RLE files hold the picture of their uncompressed twins; the cut and
// transparent variants leave places undrawn, which come out as the colour
// key, and draw the twin's pixels everywhere else.
TEST(BmpSuite, RleFilesDrawTheirTwinsPixels) {
    const auto pal8 = load("g/pal8.bmp");
    const auto pal4 = load("g/pal4.bmp");
    ASSERT_TRUE(pal8 && pal4);
    for (const char* name : {"g/pal8rle.bmp", "b/rletopdown.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, pal8->pixels) << name;
        EXPECT_FALSE(image->hasAlpha());
    }
    const auto pal4rle = load("g/pal4rle.bmp");
    ASSERT_TRUE(pal4rle);
    EXPECT_EQ(pal4rle->pixels, pal4->pixels);

    struct Partial {
        const char* name;
        const Image& twin;
        std::size_t nKeyed;
    };
    for (const Partial& p :
         {Partial{"q/pal8rlecut.bmp", *pal8, 1766}, Partial{"q/pal8rletrns.bmp", *pal8, 437},
          Partial{"q/pal4rlecut.bmp", *pal4, 2117}, Partial{"q/pal4rletrns.bmp", *pal4, 587}}) {
        const auto image = load(p.name);
        ASSERT_TRUE(image);
        EXPECT_EQ(countPixels(*image, COLOR_KEY), p.nKeyed) << p.name;
        std::size_t nOther = 0;
        for (std::size_t i = 0; i < image->pixels.size(); ++i)
            nOther += image->pixels[i] != COLOR_KEY && image->pixels[i] != p.twin.pixels[i];
        EXPECT_EQ(nOther, 0u) << p.name;
    }
}

// The damaged RLE files draw outside their lines and below the last one;
// those pixels are dropped and the rest of the picture stays.
TEST(BmpSuite, RleCodesOutsideTheImageAreDropped) {
    struct Dropped {
        const char* name;
        std::size_t nKeyed;
    };
    for (const Dropped& d : {Dropped{"b/badrle.bmp", 5091}, Dropped{"b/badrle4.bmp", 5252},
                             Dropped{"b/badrle4bis.bmp", 2358}, Dropped{"b/badrle4ter.bmp", 5403},
                             Dropped{"b/badrlebis.bmp", 2221}, Dropped{"b/badrleter.bmp", 5266}}) {
        const auto image = load(d.name);
        ASSERT_TRUE(image) << d.name;
        EXPECT_EQ(countPixels(*image, COLOR_KEY), d.nKeyed) << d.name;
    }
}

// Masks of 8 bits and more give the 24-bit file's pixels; 5-5-5 masks those
// of the plain 16-bit file; 5-6-5 pixels are taken as they are stored.
TEST(BmpSuite, BitMaskFilesGiveTheirTwinsPixels) {
    const auto rgb24 = load("g/rgb24.bmp");
    const auto rgb16 = load("g/rgb16.bmp");
    ASSERT_TRUE(rgb24 && rgb16);
    for (const char* name : {"g/rgb32bf.bmp", "g/rgb32bfdef.bmp", "q/rgb32-xbgr.bmp",
                             "q/rgb32h52.bmp", "q/rgb32-111110.bmp", "q/rgb32-7187.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, rgb24->pixels) << name;
        EXPECT_FALSE(image->hasAlpha()) << name;
    }
    for (const char* name : {"g/rgb16bfdef.bmp", "q/rgba16-5551.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, rgb16->pixels) << name;
    }

    // 127 pixels a line and 2 fill bytes, from offset 66, bottom line first.
    const auto bytes = fileBytes("g/rgb16-565.bmp");
    ASSERT_EQ(bytes.size(), 66u + 256 * 64);
    std::vector<std::uint16_t> stored(127 * 64);
    for (std::size_t r = 0; r < 64; ++r)
        for (std::size_t x = 0; x < 127; ++x)
            stored[(63 - r) * 127 + x] = static_cast<std::uint16_t>(
                bytes[66 + r * 256 + 2 * x] | bytes[66 + r * 256 + 2 * x + 1] << 8);
    for (const char* name : {"g/rgb16-565.bmp", "g/rgb16-565pal.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, stored) << name;
    }
}

// An alpha mask gives an alpha plane, its top byte reduced by the 32-bit
// rule; the same alpha behind other masks and header lengths.
TEST(BmpSuite, AlphaMasks) {
    const auto bytes = fileBytes("q/rgba32-1.bmp");
    ASSERT_EQ(bytes.size(), 138u + 127 * 4 * 64);
    std::vector<std::uint8_t> expected(127 * 64);
    for (std::size_t r = 0; r < 64; ++r) {
        for (std::size_t x = 0; x < 127; ++x) {
            const std::uint8_t a = bytes[138 + (r * 127 + x) * 4 + 3];
            expected[(63 - r) * 127 + x] = a >= 251 ? 32 : static_cast<std::uint8_t>(a >> 3);
        }
    }
    ASSERT_GT(std::count(expected.begin(), expected.end(), 0), 0);
    for (const char* name :
         {"q/rgba32-1.bmp", "q/rgba32-2.bmp", "q/rgba32abf.bmp", "q/rgba32h56.bmp"}) {
        const auto image = load(name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->alpha, expected) << name;
    }
}
