// Micro benchmark of the drawing runtime: rle565_draw of many sprites at
// pseudo-random places on a 640 x 480 RGB565 frame, wholly inside or partly
// off an edge, for 64 x 64 colour-key sprites and 128 x 128 sprites with
// per-pixel alpha, and for blitImage on the same places inside the frame.
// Prints nanoseconds per draw and per drawn (visible) pixel; no targets, no pass or
// fail: the loops are measured here, the comparison with other blitters lives
// elsewhere.
//
//   rle565_bench_draw [ROUNDS]
#include <rle565/blit.h>
#include <rle565/draw.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/rle_reader.h"

using namespace rle565;

namespace {

constexpr std::int32_t FRAME_WIDTH = 640;
constexpr std::int32_t FRAME_HEIGHT = 480;
constexpr int PLACES = 512;

struct Lcg {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    std::int32_t between(std::int32_t lo, std::int32_t hi) {
        return lo + static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(hi - lo + 1));
    }
};

// A round sprite of `size` x `size`: a few colours in stripes and noise
// inside, transparent outside; with alpha, an antialiased rim and a
// translucent inner ring, opaque elsewhere.
Image makeSprite(std::int32_t size, bool bAlpha, std::uint32_t seed) {
    Image image;
    image.width = size;
    image.height = size;
    const auto count = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
    image.pixels.assign(count, COLOR_KEY);
    if (bAlpha) image.alpha.assign(count, 0);
    Lcg random{seed};
    std::uint16_t colors[12];
    for (auto& c : colors) c = static_cast<std::uint16_t>(random.next() & 0xFFDF);
    const double centre = (size - 1) / 2.0;
    for (std::int32_t y = 0; y < size; ++y) {
        for (std::int32_t x = 0; x < size; ++x) {
            const double r = std::hypot(x - centre, y - centre) / (size / 2.0);
            if (r >= 1.0) continue;
            const std::size_t i = static_cast<std::size_t>(y * size + x);
            // Stripes of runs, with every fourth stripe noisy.
            const std::uint32_t stripe = static_cast<std::uint32_t>(x / 6 + y / 9);
            image.pixels[i] = stripe % 4 == 0 ? colors[random.next() % 12] : colors[stripe % 12];
            if (bAlpha) {
                const double edge = (1.0 - r) * size / 2.0;  // pixels to the rim
                std::uint8_t a = ALPHA_OPAQUE;
                if (edge < 3.0) a = static_cast<std::uint8_t>(8 + static_cast<int>(edge) * 8);
                if (r > 0.45 && r < 0.55) a = 20;
                image.alpha[i] = a;
            }
        }
    }
    return image;
}

std::vector<std::uint8_t> encode(const Image& image) {
    const std::string path = std::filesystem::temp_directory_path().string() + "/rle565-draw." +
                             std::to_string(::getpid()) + ".rle";
    std::int32_t nColors = 0;
    if (convertToRle(image, path.c_str(), false, nColors) != EncodeResult::Written) std::exit(1);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    return bytes;
}

struct Place {
    std::int32_t x;
    std::int32_t y;
};

// Places wholly inside the frame, or overlapping one edge by 1 to size - 1.
std::vector<Place> places(std::int32_t size, bool bInside, std::uint32_t seed) {
    Lcg random{seed};
    std::vector<Place> out;
    while (out.size() < PLACES) {
        Place p{random.between(0, FRAME_WIDTH - size), random.between(0, FRAME_HEIGHT - size)};
        if (!bInside) {
            const std::int32_t over = random.between(1, size - 1);
            switch (random.next() % 4) {
                case 0:
                    p.x = -over;
                    break;
                case 1:
                    p.x = FRAME_WIDTH - size + over;
                    break;
                case 2:
                    p.y = -over;
                    break;
                default:
                    p.y = FRAME_HEIGHT - size + over;
                    break;
            }
        }
        out.push_back(p);
    }
    return out;
}

// Visible pixels of the sprite that land on the frame at p: the pixels a
// draw paints.
std::int64_t drawnPixels(const Image& source, Place p) {
    std::int64_t count = 0;
    for (std::int32_t y = 0; y < source.height; ++y) {
        for (std::int32_t x = 0; x < source.width; ++x) {
            if (p.x + x < 0 || p.x + x >= FRAME_WIDTH || p.y + y < 0 || p.y + y >= FRAME_HEIGHT)
                continue;
            const auto i = static_cast<std::size_t>(y * source.width + x);
            count += source.hasAlpha() ? source.alpha[i] > 0 : source.pixels[i] != COLOR_KEY;
        }
    }
    return count;
}

template <class Draw>
void timeIt(const char* name, const Image& source, const std::vector<Place>& at, int rounds,
            std::vector<std::uint16_t>& frame, Draw draw) {
    std::int64_t pixels = 0;
    for (const Place& p : at) pixels += drawnPixels(source, p);
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint16_t>(i);
        const auto start = std::chrono::steady_clock::now();
        for (const Place& p : at) draw(p);
        const auto end = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count());
    }
    std::uint64_t sum = 0;
    for (const std::uint16_t v : frame) sum = sum * 31 + v;
    std::printf("%-34s %9.0f ns/draw %6.2f ns/drawn pixel  (frame %016llx)\n", name,
                best / at.size(), best / static_cast<double>(pixels),
                static_cast<unsigned long long>(sum));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    std::vector<std::uint16_t> frame(static_cast<std::size_t>(FRAME_WIDTH) * FRAME_HEIGHT);
    rle565_target target{frame.data(), nullptr, FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT, 0};
    const Surface surface{frame, {}, FRAME_WIDTH};

    for (const bool bAlpha : {false, true}) {
        const std::int32_t size = bAlpha ? 128 : 64;
        const Image source = makeSprite(size, bAlpha, bAlpha ? 2 : 1);
        const std::vector<std::uint8_t> file = encode(source);
        rle565_sprite sprite;
        if (rle565_sprite_open(&sprite, file.data(), file.size()) != RLE565_OK) return 1;
        ErrorText errorText{};
        const auto image = loadRleBytes(file, errorText);
        if (!image) return 1;
        const char* kind = bAlpha ? "128x128 alpha" : "64x64 colour key";
        std::printf("%s: %zu bytes, %u entries\n", kind, file.size(), sprite.palette_size);
        const auto inside = places(size, true, 7);
        const auto edges = places(size, false, 8);
        const auto draw = [&](Place p) { rle565_draw(&sprite, &target, p.x, p.y); };
        timeIt("  rle565_draw inside", source, inside, rounds, frame, draw);
        timeIt("  rle565_draw partly off an edge", source, edges, rounds, frame, draw);
        target.flags = RLE565_TARGET_BYTESWAP;
        timeIt("  rle565_draw inside, byte-swapped", source, inside, rounds, frame, draw);
        target.flags = 0;
        timeIt("  blitImage inside", source, inside, rounds, frame,
               [&](Place p) { blitImage(*image, p.x, p.y, surface); });
    }
    return 0;
}
