// Microbenchmarks of the converter's hot paths, on synthetic images made here:
// the line encoding, single- and multi-palette encoding, RLE decoding and the
// BMP reader and writer. Files go to a scratch folder in /dev/shm when there is
// one, so that the disk does not show in the times.
#include <benchmark/benchmark.h>
#include <rle565/blit.h>
#include <rle565/bmp_writer.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <rle565/load.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "encode/encode_multipal.h"
#include "encode/rle_line.h"
#include "formats/bmp_reader.h"

using namespace rle565;

namespace {

// Numbers that are the same with every standard library: mt19937's sequence
// is fixed, the distribution is done here.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>((std::uint64_t{engine_()} * n) >> 32);
    }

private:
    std::mt19937 engine_;
};

// A scratch folder for the files the benchmarks write, removed at exit.
class Scratch {
public:
    Scratch() {
        std::error_code error;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, error)) {
            base = std::filesystem::temp_directory_path(error);
        }
        dir_ = base / ("rle565-micro." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_, error);
    }
    ~Scratch() {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const char* name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

const Scratch& scratch() {
    static const Scratch folder;
    return folder;
}

// A sprite sheet with alpha: cells of 64×64, a quarter empty, the rest
// ellipses with a one-pixel ring of alpha 16 in one of 8 colours and a flat or
// noisy fill from a pool of 150 colours: 158 pairs, within one palette.
Image makeSheet(std::int32_t size) {
    constexpr std::int32_t CELL = 64;
    Random rng(7);
    std::vector<std::uint16_t> pool(150);
    for (std::size_t i = 0; i < pool.size(); ++i) {
        pool[i] = static_cast<std::uint16_t>(i * 433 + 1);  // distinct, never 0xF81F
    }
    Image image;
    image.width = size;
    image.height = size;
    const auto count = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
    image.pixels.assign(count, COLOR_KEY);
    image.alpha.assign(count, 0);
    for (std::int32_t cy = 0; cy < size; cy += CELL) {
        for (std::int32_t cx = 0; cx < size; cx += CELL) {
            if (rng.below(4) == 0) continue;
            const std::int32_t r = 12 + static_cast<std::int32_t>(rng.below(18));
            const bool bNoisy = rng.below(2) == 0;
            const std::uint16_t flat = pool[rng.below(150)];
            const std::uint16_t ring = pool[rng.below(8)];
            for (std::int32_t y = 0; y < CELL; ++y) {
                for (std::int32_t x = 0; x < CELL; ++x) {
                    const std::int32_t dx = x - CELL / 2;
                    const std::int32_t dy = y - CELL / 2;
                    const std::int32_t d2 = dx * dx + dy * dy;
                    if (d2 >= (r + 1) * (r + 1)) continue;
                    const auto i =
                        static_cast<std::size_t>(cy + y) * static_cast<std::size_t>(size) +
                        static_cast<std::size_t>(cx + x);
                    if (d2 >= r * r) {
                        image.pixels[i] = ring;
                        image.alpha[i] = 16;
                    } else {
                        image.pixels[i] = bNoisy ? pool[rng.below(150)] : flat;
                        image.alpha[i] = ALPHA_OPAQUE;
                    }
                }
            }
        }
    }
    return image;
}

// An image without alpha in bands of 64 lines. Each line draws on a window of
// 160 colours, and each band on about 190, some 50 of them shared with the band
// above: the lines of a band merge into one palette, neighbouring bands do not.
Image makeBanded(std::int32_t width, std::int32_t height) {
    Random rng(11);
    Image image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y) {
        const std::uint32_t band = static_cast<std::uint32_t>(y) / 64;
        const std::uint32_t first = band * 140;  // colours first .. first + 199
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t k = first + rng.below(160) + (static_cast<std::uint32_t>(y) & 31);
            image.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(k * 7 + 1);
        }
    }
    return image;
}

const Image& sheet() {
    static const Image image = makeSheet(1024);
    return image;
}

void BM_EncodeRleLine(benchmark::State& state) {
    // One line of the sheet's values: skip runs, flat runs and noisy stretches.
    Random rng(3);
    std::vector<std::uint8_t> values;
    while (values.size() < 4096) {
        const std::uint32_t kind = rng.below(3);
        const std::uint32_t n = 8 + rng.below(120);
        for (std::uint32_t i = 0; i < n; ++i) {
            values.push_back(kind == 0   ? 0
                             : kind == 1 ? 7
                                         : static_cast<std::uint8_t>(1 + rng.below(200)));
        }
    }
    values.resize(4096);
    std::vector<std::uint8_t> codes;
    codes.reserve(values.size());
    for (auto _ : state) {
        codes.clear();
        benchmark::DoNotOptimize(encodeRleLine(values, codes));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
BENCHMARK(BM_EncodeRleLine);

void BM_ConvertToRleSheet(benchmark::State& state) {
    const Image& image = sheet();
    const std::string out = scratch().path("sheet.rle");
    for (auto _ : state) {
        std::int32_t nColors = 0;
        if (convertToRle(image, out.c_str(), false, nColors) != EncodeResult::Written) {
            state.SkipWithError("convertToRle did not write the sheet");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * image.width * image.height);
}
BENCHMARK(BM_ConvertToRleSheet)->Unit(benchmark::kMillisecond);

void BM_EncodeMultipal(benchmark::State& state) {
    static const Image image = makeBanded(1024, 1024);
    const std::string out = scratch().path("banded.rle");
    for (auto _ : state) {
        std::int32_t nColors = 0;
        if (encodeMultipal(image, out.c_str(), nColors) != EncodeResult::Written) {
            state.SkipWithError("encodeMultipal did not write the banded image");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * image.width * image.height);
}
BENCHMARK(BM_EncodeMultipal)->Unit(benchmark::kMillisecond);

void BM_DecodeRleImage(benchmark::State& state) {
    const std::string path = scratch().path("decode.rle");
    std::int32_t nColors = 0;
    ErrorText errorText{};
    std::unique_ptr<Image> rle;
    if (convertToRle(sheet(), path.c_str(), false, nColors) == EncodeResult::Written) {
        rle = loadImage(path.c_str(), errorText);
    }
    if (!rle || !rle->isRle()) {
        state.SkipWithError("no RLE image to decode");
        return;
    }
    for (auto _ : state) {
        const Image plain = decodeRleImage(*rle);
        benchmark::DoNotOptimize(plain.pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * rle->width * rle->height);
}
BENCHMARK(BM_DecodeRleImage)->Unit(benchmark::kMillisecond);

void BM_ReadBmp(benchmark::State& state) {
    std::vector<std::uint8_t> bytes = encodeBmp(sheet());
    if (bytes.empty()) {
        state.SkipWithError("encodeBmp gave no bytes");
        return;
    }
    for (auto _ : state) {
        const FilePtr file(fmemopen(bytes.data(), bytes.size(), "rb"));
        if (!file || std::fseek(file.get(), 2, SEEK_SET) != 0) {
            state.SkipWithError("fmemopen failed");
            break;
        }
        ErrorText errorText{};
        const std::unique_ptr<Image> image = readBmp(file.get(), errorText);
        benchmark::DoNotOptimize(image.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ReadBmp)->Unit(benchmark::kMillisecond);

void BM_WriteBmp(benchmark::State& state) {
    const std::string out = scratch().path("sheet.bmp");
    for (auto _ : state) {
        if (!writeBmp(sheet(), out.c_str())) {
            state.SkipWithError("writeBmp failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * sheet().width * sheet().height);
}
BENCHMARK(BM_WriteBmp)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
