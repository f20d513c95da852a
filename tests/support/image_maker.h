// Plain images for the encoder tests, by hand or from a seeded generator:
// each line draws its pixels from a chosen set of (colour, alpha) pairs, in
// runs, with transparent pixels in between.
#pragma once

#include <rle565/blit.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <rle565/rle_to_bmp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace rle565 {}
using namespace rle565;

// A visible pixel: an RGB565 colour and an alpha of 1 to 32.
struct Pair {
    std::uint16_t color = 0;
    std::uint8_t alpha = ALPHA_OPAQUE;
};

inline bool operator==(const Pair& a, const Pair& b) {
    return a.color == b.color && a.alpha == b.alpha;
}

// An image whose pixels are all transparent: the colour key without an alpha
// plane, alpha 0 (over the colour 0x1234, which must not matter) with one.
inline Image makeBlankImage(std::int32_t width, std::int32_t height, bool bAlpha) {
    Image image;
    image.width = width;
    image.height = height;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    image.pixels.assign(count, bAlpha ? 0x1234 : COLOR_KEY);
    if (bAlpha) image.alpha.assign(count, 0);
    return image;
}

inline void setPixel(Image& image, std::int32_t x, std::int32_t y, Pair pair) {
    const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                          static_cast<std::size_t>(x);
    image.pixels[i] = pair.color;
    if (image.hasAlpha()) image.alpha[i] = pair.alpha;
}

// An image of one line per list, each pixel given; the lines are equally long.
inline Image makeImage(const std::vector<std::vector<Pair>>& lines, bool bAlpha) {
    const auto width = static_cast<std::int32_t>(lines.empty() ? 0 : lines[0].size());
    Image image = makeBlankImage(width, static_cast<std::int32_t>(lines.size()), bAlpha);
    for (std::size_t y = 0; y < lines.size(); ++y) {
        for (std::size_t x = 0; x < lines[y].size(); ++x) {
            setPixel(image, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                     lines[y][x]);
        }
    }
    return image;
}

// Seeded random images built line by line.
class ImageMaker {
public:
    explicit ImageMaker(std::uint32_t seed) : rng_(seed) {}

    std::mt19937& rng() { return rng_; }

    std::uint32_t below(std::uint32_t limit) {
        return std::uniform_int_distribution<std::uint32_t>(0, limit - 1)(rng_);
    }

    // `count` distinct visible pairs in random order. Without an alpha plane
    // every alpha is 32 and the colour key is never drawn, so at most 65535
    // pairs exist.
    std::vector<Pair> randomPairs(std::size_t count, bool bAlpha) {
        std::vector<Pair> pairs;
        std::vector<bool> taken(65536 * 32, false);
        while (pairs.size() < count) {
            Pair pair;
            pair.color = static_cast<std::uint16_t>(below(65536));
            pair.alpha = bAlpha ? static_cast<std::uint8_t>(1 + below(32)) : ALPHA_OPAQUE;
            if (!bAlpha && pair.color == COLOR_KEY) continue;
            const std::size_t key = std::size_t{pair.color} * 32 + pair.alpha - 1;
            if (taken[key]) continue;
            taken[key] = true;
            pairs.push_back(pair);
        }
        return pairs;
    }

    // Fills line y with runs of 1 to 8 pixels, each run of a random pair of
    // `pairs` or, one time in `transparentOneIn`, transparent (0: never);
    // then puts every pair at a position of its own, so that the line holds
    // exactly these pairs. The image must be at least pairs.size() wide.
    void fillLine(Image& image, std::int32_t y, const std::vector<Pair>& pairs,
                  std::uint32_t transparentOneIn = 4) {
        const auto width = static_cast<std::size_t>(image.width);
        const std::size_t start = static_cast<std::size_t>(y) * width;
        std::size_t x = 0;
        while (x < width) {
            const std::size_t run = std::min<std::size_t>(1 + below(8), width - x);
            const bool bTransparent =
                pairs.empty() || (transparentOneIn != 0 && below(transparentOneIn) == 0);
            const Pair pair = pairs.empty() ? Pair{} : pairs[below(pairs.size())];
            for (std::size_t k = 0; k < run; ++k, ++x) {
                if (bTransparent) {
                    makeTransparent(image, start + x);
                } else {
                    setPixel(image, static_cast<std::int32_t>(x), y, pair);
                }
            }
        }
        std::vector<std::size_t> positions(width);
        std::iota(positions.begin(), positions.end(), 0);
        std::shuffle(positions.begin(), positions.end(), rng_);
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            setPixel(image, static_cast<std::int32_t>(positions[k]), y, pairs[k]);
        }
    }

    // Fills line y with runs of 1 to maxRun pixels, each of a random pair of
    // `pairs` or, one time in four, transparent. A run that follows a
    // visible one keeps its colour or its alpha now and then, so that runs
    // differ in one of the two alone.
    void fillRuns(Image& image, std::int32_t y, const std::vector<Pair>& pairs,
                  std::uint32_t maxRun) {
        const auto width = static_cast<std::size_t>(image.width);
        const std::size_t start = static_cast<std::size_t>(y) * width;
        Pair last = pairs.empty() ? Pair{} : pairs[0];
        std::size_t x = 0;
        while (x < width) {
            const std::size_t run = std::min<std::size_t>(1 + below(maxRun), width - x);
            const bool bTransparent = pairs.empty() || below(4) == 0;
            Pair pair = pairs.empty() ? Pair{} : pairs[below(pairs.size())];
            if (image.hasAlpha() && below(4) == 0) {
                pair.color = last.color;  // a new alpha on the same colour
            } else if (image.hasAlpha() && below(4) == 0) {
                pair.alpha = last.alpha;  // a new colour at the same alpha
            }
            for (std::size_t k = 0; k < run; ++k, ++x) {
                if (bTransparent) {
                    makeTransparent(image, start + x);
                } else {
                    setPixel(image, static_cast<std::int32_t>(x), y, pair);
                }
            }
            if (!bTransparent) last = pair;
        }
    }

    // `count` pairs drawn without repeats from the pool.
    std::vector<Pair> pick(const std::vector<Pair>& pool, std::size_t count) {
        std::vector<Pair> chosen;
        std::sample(pool.begin(), pool.end(), std::back_inserter(chosen), count, rng_);
        std::shuffle(chosen.begin(), chosen.end(), rng_);
        return chosen;
    }

private:
    // Transparent pixels with an alpha plane get a random colour, which must
    // not matter; the colour key itself is drawn now and then.
    void makeTransparent(Image& image, std::size_t i) {
        if (image.hasAlpha()) {
            image.pixels[i] = below(8) == 0 ? COLOR_KEY : static_cast<std::uint16_t>(below(65536));
            image.alpha[i] = 0;
        } else {
            image.pixels[i] = COLOR_KEY;
        }
    }

    std::mt19937 rng_;
};

// The visible pair of pixel i, or nothing when it is transparent: alpha 0
// with an alpha plane, the colour key without one.
inline std::optional<Pair> visiblePair(const Image& image, std::size_t i) {
    if (image.hasAlpha()) {
        if (image.alpha[i] == 0) return std::nullopt;
        return Pair{image.pixels[i], image.alpha[i]};
    }
    if (image.pixels[i] == COLOR_KEY) return std::nullopt;
    return Pair{image.pixels[i], ALPHA_OPAQUE};
}

// A line's codes as the line encoding reads, one maximal run at a time: runs
// of up to 255 equal values, from 4 on as a run or skip-run code, shorter ones
// value by value.
inline std::vector<std::uint8_t> codeLineLiterally(const std::vector<std::uint8_t>& values) {
    std::vector<std::uint8_t> codes;
    std::size_t i = 0;
    while (i < values.size()) {
        std::size_t run = 1;
        while (i + run < values.size() && run < 255 && values[i + run] == values[i]) ++run;
        if (run < 4) {
            codes.insert(codes.end(), run, values[i]);
        } else if (values[i] == 0) {
            codes.insert(codes.end(), {0xFF, static_cast<std::uint8_t>(run)});
        } else {
            codes.insert(codes.end(), {0xFE, values[i], static_cast<std::uint8_t>(run)});
        }
        i += run;
    }
    return codes;
}

// The number of pixels in which a decoded image differs from the plain image
// it was encoded from: visible pixels must keep colour and alpha, transparent
// ones come back as the colour key (with alpha 0 when there is an alpha plane).
inline std::size_t countVisibleDifferences(const Image& original, const Image& decoded) {
    if (decoded.width != original.width || decoded.height != original.height ||
        decoded.pixels.size() != original.pixels.size() ||
        decoded.alpha.size() != original.alpha.size()) {
        return original.pixels.size() + 1;
    }
    std::size_t differences = 0;
    for (std::size_t i = 0; i < original.pixels.size(); ++i) {
        const bool bVisible =
            original.hasAlpha() ? original.alpha[i] != 0 : original.pixels[i] != COLOR_KEY;
        const std::uint16_t color = bVisible ? original.pixels[i] : COLOR_KEY;
        const bool bSameAlpha =
            !original.hasAlpha() || decoded.alpha[i] == (bVisible ? original.alpha[i] : 0);
        if (decoded.pixels[i] != color || !bSameAlpha) ++differences;
    }
    return differences;
}

// A width × height image without alpha plane whose pixels are drawn at random
// from nColors colours (none of them the colour key): few runs, so its RLE file
// is about a byte per pixel.
inline Image makeNoisyImage(std::int32_t width, std::int32_t height, std::size_t nColors,
                            std::uint32_t seed) {
    Image image;
    image.width = width;
    image.height = height;
    std::mt19937 rng(seed);
    std::vector<std::uint16_t> colors(nColors);
    for (std::uint16_t& c : colors) c = static_cast<std::uint16_t>(rng() & 0xFFDF);
    image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::uint16_t& p : image.pixels) p = colors[rng() % colors.size()];
    return image;
}

// Writes, with the single-palette encoder, the RLE file of a 1200 × 1000 noisy
// image of 200 colours: about 1.2 MB, above the size from which mode b streams.
// Then loads it and writes its BMP file at bmpPath the loaded way, and returns
// the loaded record; nullptr when a step fails or the file is not that large.
inline std::unique_ptr<Image> writeLargeNoisyRle(const std::string& path, std::uint32_t seed,
                                                 const std::string& bmpPath) {
    std::int32_t nColors = 0;
    if (convertToRle(makeNoisyImage(1200, 1000, 200, seed), path.c_str(), false, nColors) !=
            EncodeResult::Written ||
        std::filesystem::file_size(path) <= std::uint64_t{1} << 20) {
        return nullptr;
    }
    ErrorText errorText{};
    std::unique_ptr<Image> loaded = loadImage(path.c_str(), errorText);
    if (!loaded || !convertRleToBmp(*loaded, bmpPath.c_str())) return nullptr;
    return loaded;
}
