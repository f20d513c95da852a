// Writes the benchmark workloads: large synthetic BMP images, a folder of small
// sprites with its list file, and the RLE files the converter has to make of
// them. Every byte comes from fixed seeds, so each run writes the same files.
// BMP and RLE bytes are laid out here by hand, without the project's readers
// and writers, so that the benchmark does not lean on the code it measures;
// the expected RLE files let the benchmark check the converter's output too.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t COLOR_KEY = 0xF81F;
inline constexpr std::uint8_t ALPHA_OPAQUE = 32;

// Random numbers that are the same everywhere: mt19937's sequence is fixed by
// the language, the library's distributions are not, so they are done here.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}

    // 0 to n - 1; n must not be 0.
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>((std::uint64_t{engine_()} * n) >> 32);
    }
    // lo to hi, both included.
    std::int32_t range(std::int32_t lo, std::int32_t hi) {
        return lo + static_cast<std::int32_t>(below(static_cast<std::uint32_t>(hi - lo + 1)));
    }
    bool percent(std::uint32_t p) { return below(100) < p; }

private:
    std::mt19937 engine_;
};

// A picture as the converter sees it after reading: RGB565 colours, top line
// first, and alphas 0 to 32 when it has an alpha plane.
struct Picture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint16_t> colors;
    std::vector<std::uint8_t> alpha;  // empty: no alpha plane

    Picture(std::int32_t w, std::int32_t h, bool bAlpha)
        : width(w),
          height(h),
          colors(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), COLOR_KEY),
          alpha(bAlpha ? colors.size() : 0, 0) {}

    std::size_t at(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
               static_cast<std::size_t>(x);
    }
    bool hasAlpha() const { return !alpha.empty(); }
    void set(std::int32_t x, std::int32_t y, std::uint16_t color, std::uint8_t a) {
        colors[at(x, y)] = color;
        if (hasAlpha()) alpha[at(x, y)] = a;
    }
    bool visible(std::size_t i) const {
        return hasAlpha() ? alpha[i] != 0 : colors[i] != COLOR_KEY;
    }
    // The palette key of a visible pixel: colour × 32 + (alpha − 1).
    std::uint32_t key(std::size_t i) const {
        const std::uint32_t a = hasAlpha() ? alpha[i] : ALPHA_OPAQUE;
        return std::uint32_t{colors[i]} * 32 + (a - 1);
    }
};

void put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(Bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// Widening by scaling, dropping the remainder: what the converter writes when it
// turns an RLE file back into a BMP, so that a round trip gives these bytes back.
std::uint8_t widen5(std::uint32_t v) { return static_cast<std::uint8_t>(v * 255 / 31); }
std::uint8_t widen6(std::uint32_t v) { return static_cast<std::uint8_t>(v * 255 / 63); }
std::uint8_t widenAlpha(std::uint8_t a) {
    return a == ALPHA_OPAQUE ? 255 : static_cast<std::uint8_t>(a * 8);
}

// An uncompressed bottom-up BMP: 32 bits per pixel with an alpha plane, else 24.
Bytes bmpFile(const Picture& pic) {
    const std::uint32_t bpp = pic.hasAlpha() ? 4 : 3;
    const std::uint32_t row = (static_cast<std::uint32_t>(pic.width) * bpp + 3) / 4 * 4;
    const std::uint32_t size = row * static_cast<std::uint32_t>(pic.height);
    Bytes out;
    out.reserve(54 + size);
    out.push_back('B');
    out.push_back('M');
    put32(out, 54 + size);
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(pic.width));
    put32(out, static_cast<std::uint32_t>(pic.height));
    put16(out, 1);
    put16(out, bpp * 8);
    put32(out, 0);
    put32(out, size);
    put32(out, 7874);
    put32(out, 7874);
    put32(out, 0);
    put32(out, 0);
    for (std::int32_t y = pic.height - 1; y >= 0; --y) {
        const std::size_t start = out.size();
        for (std::int32_t x = 0; x < pic.width; ++x) {
            const std::size_t i = pic.at(x, y);
            const std::uint16_t c = pic.colors[i];
            out.push_back(widen5(c & 0x1F));
            out.push_back(widen6(c >> 5 & 0x3F));
            out.push_back(widen5(c >> 11));
            if (pic.hasAlpha()) out.push_back(widenAlpha(pic.alpha[i]));
        }
        out.resize(start + row, 0);
    }
    return out;
}

// Counts the distinct visible (colour, alpha) pairs of a BMP file as a reader
// sees them: channels cut to 5-6-5 bits, alpha bytes from 251 up opaque and
// the others divided by 8. This checks the written bytes, not the plan.
std::size_t countReducedPairs(const Bytes& bmp, std::int32_t width, std::int32_t height) {
    const std::size_t bpp = bmp[28] / 8;
    const std::size_t row = (static_cast<std::size_t>(width) * bpp + 3) / 4 * 4;
    std::vector<bool> seen(std::size_t{1} << 21);
    std::size_t count = 0;
    for (std::int32_t r = 0; r < height; ++r) {
        const std::uint8_t* p = bmp.data() + 54 + static_cast<std::size_t>(r) * row;
        for (std::int32_t x = 0; x < width; ++x, p += bpp) {
            const std::uint32_t color = (p[2] >> 3) << 11 | (p[1] >> 2) << 5 | p[0] >> 3;
            std::uint32_t a = ALPHA_OPAQUE;
            if (bpp == 4) a = p[3] >= 251 ? ALPHA_OPAQUE : p[3] >> 3;
            if (a == 0 || (bpp == 3 && color == COLOR_KEY)) continue;
            const std::uint32_t key = color * 32 + (a - 1);
            if (!seen[key]) {
                seen[key] = true;
                ++count;
            }
        }
    }
    return count;
}

// `count` RGB565 colours, all different, none the colour key and none marked
// in `taken`; the ones returned are marked there as well.
std::vector<std::uint16_t> pickColors(Random& rng, std::size_t count, std::vector<bool>& taken) {
    std::vector<std::uint16_t> colors;
    while (colors.size() < count) {
        const auto c = static_cast<std::uint16_t>(rng.below(65536));
        if (c == COLOR_KEY || taken[c]) continue;
        taken[c] = true;
        colors.push_back(c);
    }
    return colors;
}

// `count` different positions out of 0 to n - 1 (count <= n), by a partial shuffle.
std::vector<std::uint32_t> pickIndices(Random& rng, std::uint32_t n, std::uint32_t count) {
    std::vector<std::uint32_t> all(n);
    for (std::uint32_t i = 0; i < n; ++i) all[i] = i;
    for (std::uint32_t i = 0; i < count; ++i) std::swap(all[i], all[i + rng.below(n - i)]);
    all.resize(count);
    return all;
}

std::uint64_t isqrt(std::uint64_t v) {
    std::uint64_t r = 0;
    for (std::uint64_t bit = std::uint64_t{1} << 62; bit != 0; bit >>= 2) {
        if (v >= r + bit) {
            v -= r + bit;
            r = (r >> 1) + bit;
        } else {
            r >>= 1;
        }
    }
    return r;
}

// A filled ellipse (power 2) or rounded box (power 4) with half-axes a and b,
// centred on (cx, cy) between pixel centres. edge() is the signed distance of
// a pixel centre from the outline, in 1/16 pixel: negative inside. Integer
// arithmetic only, so the shapes are the same with every compiler.
struct Blob {
    std::int32_t cx = 0;
    std::int32_t cy = 0;
    std::int64_t a = 1;
    std::int64_t b = 1;
    bool bBox = false;

    std::int64_t edge(std::int32_t x, std::int32_t y) const {
        // Half-pixel units keep the centres on integers.
        const std::int64_t u = 2 * std::int64_t{x - cx} + 1;
        const std::int64_t v = 2 * std::int64_t{y - cy} + 1;
        const std::int64_t ua = u * 2 * b;  // u / 2a scaled by 4ab
        const std::int64_t vb = v * 2 * a;
        const std::int64_t scale = 4 * a * b;
        std::uint64_t root = 0;
        if (bBox) {
            const auto sq = [](std::int64_t t) { return static_cast<std::uint64_t>(t * t); };
            root = isqrt(isqrt(sq(ua) * sq(ua) + sq(vb) * sq(vb)));
        } else {
            root = isqrt(static_cast<std::uint64_t>(ua * ua + vb * vb));
        }
        return (static_cast<std::int64_t>(root) - scale) * 16 * std::min(a, b) / scale;
    }
};

// 4×4 ordered dither thresholds.
inline constexpr std::array<std::array<std::uint8_t, 4>, 4> BAYER = {{
    {0, 8, 2, 10},
    {12, 4, 14, 6},
    {3, 11, 1, 9},
    {15, 7, 13, 5},
}};

// The sprite sheet: 4096×4096 with alpha, 32×32 cells of 128×128. Cells are
// empty, opaque noise tiles, or one sprite each: a 2-pixel outline, a ring of
// four partial alphas outside it, and a flat, dithered or noisy fill. Colours
// come from fixed pools: 48 for tiles, 12 outlines, 107 fills, so with the 4
// edge alphas of each outline there are 215 pairs at most.
Picture makeSheet() {
    constexpr std::int32_t SIZE = 4096;
    constexpr std::int32_t CELL = 128;
    constexpr std::array<std::uint8_t, 4> EDGE_ALPHA = {26, 19, 12, 5};
    Random rng(0x5EE7);
    std::vector<bool> taken(65536);
    const auto tiles = pickColors(rng, 48, taken);
    const auto outlines = pickColors(rng, 12, taken);
    const auto fills = pickColors(rng, 107, taken);

    Picture pic(SIZE, SIZE, true);
    for (std::int32_t cellY = 0; cellY < SIZE; cellY += CELL) {
        for (std::int32_t cellX = 0; cellX < SIZE; cellX += CELL) {
            const std::uint32_t kind = rng.below(100);
            if (kind < 16) continue;  // empty
            if (kind < 24) {          // opaque noise tile of 6 to 12 colours
                const auto subset =
                    pickIndices(rng, 48, static_cast<std::uint32_t>(rng.range(6, 12)));
                for (std::int32_t y = cellY; y < cellY + CELL; ++y) {
                    for (std::int32_t x = cellX; x < cellX + CELL; ++x) {
                        const auto c =
                            tiles[subset[rng.below(static_cast<std::uint32_t>(subset.size()))]];
                        pic.set(x, y, c, ALPHA_OPAQUE);
                    }
                }
                continue;
            }
            Blob blob;
            blob.a = rng.range(22, 54);
            blob.b = rng.range(22, 54);
            blob.cx = cellX + CELL / 2 + rng.range(-6, 6);
            blob.cy = cellY + CELL / 2 + rng.range(-6, 6);
            blob.bBox = rng.percent(40);
            const std::uint16_t outline = outlines[rng.below(12)];
            const std::uint32_t style = rng.below(100);
            std::vector<std::uint32_t> paint;
            if (style < 35) {
                paint = pickIndices(rng, 107, 1);
            } else if (style < 70) {
                paint = pickIndices(rng, 107, 2);
            } else {
                paint = pickIndices(rng, 107, static_cast<std::uint32_t>(rng.range(3, 6)));
            }
            const std::int32_t top = blob.cy - static_cast<std::int32_t>(blob.b);
            const std::int32_t tall = 2 * static_cast<std::int32_t>(blob.b);
            for (std::int32_t y = cellY; y < cellY + CELL; ++y) {
                for (std::int32_t x = cellX; x < cellX + CELL; ++x) {
                    const std::int64_t e = blob.edge(x, y);
                    if (e >= 32) continue;
                    if (e >= 0) {
                        pic.set(x, y, outline, EDGE_ALPHA[static_cast<std::size_t>(e / 8)]);
                    } else if (e >= -32) {
                        pic.set(x, y, outline, ALPHA_OPAQUE);
                    } else if (paint.size() == 1) {
                        pic.set(x, y, fills[paint[0]], ALPHA_OPAQUE);
                    } else if (paint.size() == 2) {
                        // A vertical gradient from one colour to the other.
                        const std::int32_t level = std::clamp((y - top) * 16 / tall, 0, 15);
                        const std::uint8_t threshold =
                            BAYER[static_cast<std::size_t>(y & 3)][static_cast<std::size_t>(x & 3)];
                        pic.set(x, y, fills[paint[level > threshold ? 1 : 0]], ALPHA_OPAQUE);
                    } else {
                        const auto c =
                            fills[paint[rng.below(static_cast<std::uint32_t>(paint.size()))]];
                        pic.set(x, y, c, ALPHA_OPAQUE);
                    }
                }
            }
        }
    }
    return pic;
}

// The banded image for multi-palette conversion: 2048×2048 without alpha, bands
// of 64 lines with 200 colours each, 60 of them taken from the band above. Each
// line holds 120 to 200 of its band's colours in short segments with some
// noise. Two bands' colours together are 340, too many for one palette, so the
// converter ends up with one palette per band.
Picture makeBanded() {
    constexpr std::int32_t SIZE = 2048;
    constexpr std::int32_t BAND = 64;
    constexpr std::uint32_t BAND_COLORS = 200;
    constexpr std::uint32_t SHARED = 60;
    Random rng(0xBA7D);
    std::vector<bool> taken(65536);
    Picture pic(SIZE, SIZE, false);
    std::vector<std::uint16_t> band;
    for (std::int32_t y0 = 0; y0 < SIZE; y0 += BAND) {
        std::vector<std::uint16_t> next;
        if (band.empty()) {
            next = pickColors(rng, BAND_COLORS, taken);
        } else {
            // Shared colours come from the colours new in the band above, so
            // that no band shares any with the band two above.
            for (const std::uint32_t i : pickIndices(rng, BAND_COLORS - SHARED, SHARED)) {
                next.push_back(band[SHARED + i]);
            }
            for (const std::uint16_t c : pickColors(rng, BAND_COLORS - SHARED, taken)) {
                next.push_back(c);
            }
        }
        band = next;
        for (std::int32_t y = y0; y < y0 + BAND; ++y) {
            const auto n = static_cast<std::uint32_t>(rng.range(120, 200));
            const auto line = pickIndices(rng, BAND_COLORS, n);
            for (std::int32_t x = 0; x < SIZE; ++x) {
                // Every chosen colour owns a segment, so each appears at least once.
                std::uint32_t k = static_cast<std::uint32_t>(x) * n / SIZE;
                if (rng.percent(25)) k = rng.below(n);
                pic.set(x, y, band[line[k]], ALPHA_OPAQUE);
            }
        }
    }
    return pic;
}

// The worst case for merging: 1024 wide, 4096 lines of 240 colours each out of
// a pool of 60000. Each line fits a palette, no two lines merge, and the
// palettes together far exceed the file's 16-bit table.
Picture makeMergeWorstCase() {
    constexpr std::int32_t WIDTH = 1024;
    constexpr std::int32_t HEIGHT = 4096;
    constexpr std::uint32_t POOL = 60000;
    constexpr std::uint32_t PER_LINE = 240;
    Random rng(0x3E86);
    std::vector<bool> taken(65536);
    const auto pool = pickColors(rng, POOL, taken);
    std::vector<std::int32_t> stamp(POOL, -1);
    Picture pic(WIDTH, HEIGHT, false);
    std::vector<std::uint16_t> line;
    for (std::int32_t y = 0; y < HEIGHT; ++y) {
        line.clear();
        while (line.size() < PER_LINE) {
            const std::uint32_t i = rng.below(POOL);
            if (stamp[i] == y) continue;
            stamp[i] = y;
            line.push_back(pool[i]);
        }
        for (std::int32_t x = 0; x < WIDTH; ++x) {
            pic.set(x, y, line[static_cast<std::uint32_t>(x) * PER_LINE / WIDTH], ALPHA_OPAQUE);
        }
    }
    return pic;
}

// One 64×64 sprite on the colour key with `nColors` colours (5 to 11): an
// outline and horizontal stripes of the other colours, speckled with each other.
Picture makeSprite(Random& rng, const std::vector<std::uint16_t>& pool, std::uint32_t nColors) {
    constexpr std::int32_t SIZE = 64;
    const auto chosen = pickIndices(rng, static_cast<std::uint32_t>(pool.size()), nColors);
    Blob blob;
    blob.a = rng.range(16, 28);
    blob.b = rng.range(16, 28);
    blob.cx = SIZE / 2 + rng.range(-3, 3);
    blob.cy = SIZE / 2 + rng.range(-3, 3);
    blob.bBox = rng.percent(30);
    // The rows that hold inner pixels, so that every stripe gets some.
    std::int32_t first = SIZE;
    std::int32_t last = -1;
    for (std::int32_t y = 0; y < SIZE; ++y) {
        for (std::int32_t x = 0; x < SIZE; ++x) {
            if (blob.edge(x, y) < -24) {
                first = std::min(first, y);
                last = std::max(last, y);
            }
        }
    }
    const std::int32_t stripes = static_cast<std::int32_t>(nColors) - 1;
    Picture pic(SIZE, SIZE, false);
    for (std::int32_t y = 0; y < SIZE; ++y) {
        for (std::int32_t x = 0; x < SIZE; ++x) {
            const std::int64_t e = blob.edge(x, y);
            if (e >= 0) continue;
            std::uint32_t k = 0;
            if (e < -24) {
                k = 1 + static_cast<std::uint32_t>((y - first) * stripes / (last - first + 1));
                if (rng.percent(12)) k = 1 + rng.below(static_cast<std::uint32_t>(stripes));
            }
            pic.set(x, y, pool[chosen[k]], ALPHA_OPAQUE);
        }
    }
    return pic;
}

// The line encoding of RLE files: runs of 4 to 255 equal values become run
// codes (254 v n) or skip runs (255 n), shorter ones one byte per pixel.
void appendRun(Bytes& codes, std::uint8_t value, std::uint32_t n) {
    if (n >= 4) {
        if (value == 0) {
            codes.push_back(255);
        } else {
            codes.push_back(254);
            codes.push_back(value);
        }
        codes.push_back(static_cast<std::uint8_t>(n));
    } else {
        codes.insert(codes.end(), n, value);
    }
}

void appendLine(Bytes& codes, Bytes& lengths, std::span<const std::uint8_t> values,
                std::size_t prefix) {
    const std::size_t start = codes.size() - prefix;
    std::size_t i = 0;
    while (i < values.size()) {
        std::size_t n = 1;
        while (i + n < values.size() && values[i + n] == values[i] && n < 255) ++n;
        appendRun(codes, values[i], static_cast<std::uint32_t>(n));
        i += n;
    }
    const std::size_t count = codes.size() - start;
    if (count < 255) {
        lengths.push_back(static_cast<std::uint8_t>(count));
    } else {
        lengths.push_back(0xFF);
        lengths.push_back(static_cast<std::uint8_t>(count >> 8));
        lengths.push_back(static_cast<std::uint8_t>(count));
    }
}

Bytes rleFile(std::uint16_t flags, const Picture& pic, const std::vector<std::uint32_t>& keys,
              std::uint8_t alpha0, const Bytes& lengths, const Bytes& codes) {
    const auto n = static_cast<std::uint32_t>(keys.size() + 1);
    Bytes out;
    out.reserve(12 + 3 * n + lengths.size() + codes.size());
    put16(out, 0x4C52);
    put16(out, flags);
    put16(out, static_cast<std::uint32_t>(pic.width));
    put16(out, static_cast<std::uint32_t>(pic.height));
    put16(out, n);
    put16(out, static_cast<std::uint32_t>(pic.height));
    put16(out, COLOR_KEY);
    for (const std::uint32_t key : keys) put16(out, key >> 5);
    if (pic.hasAlpha()) {
        out.push_back(alpha0);
        for (const std::uint32_t key : keys)
            out.push_back(static_cast<std::uint8_t>((key & 31) + 1));
    }
    out.insert(out.end(), lengths.begin(), lengths.end());
    out.insert(out.end(), codes.begin(), codes.end());
    return out;
}

// Entry numbers by palette key, for one picture at a time. Only the entries
// that a picture used are cleared after it, so the small sprites do not pay for
// zeroing the whole table each.
class KeyIndex {
public:
    KeyIndex() : index_(std::size_t{1} << 21, 0) {}
    std::uint8_t& operator[](std::uint32_t key) { return index_[key]; }
    void reset(const std::vector<std::uint32_t>& keys) {
        for (const std::uint32_t key : keys) index_[key] = 0;
    }

private:
    std::vector<std::uint8_t> index_;
};

// The single-palette file the converter makes of a picture of at most 252
// pairs: entries numbered by first occurrence, entry 0 of the alpha palette 32.
// Empty when the picture has more pairs.
Bytes singlePaletteRle(const Picture& pic, KeyIndex& index) {
    std::vector<std::uint32_t> keys;
    Bytes lengths;
    Bytes codes;
    Bytes values(static_cast<std::size_t>(pic.width));
    for (std::int32_t y = 0; y < pic.height; ++y) {
        for (std::int32_t x = 0; x < pic.width; ++x) {
            const std::size_t i = pic.at(x, y);
            std::uint8_t v = 0;
            if (pic.visible(i)) {
                const std::uint32_t key = pic.key(i);
                if (index[key] == 0) {
                    if (keys.size() == 252) {
                        index.reset(keys);
                        return {};
                    }
                    keys.push_back(key);
                    index[key] = static_cast<std::uint8_t>(keys.size());
                }
                v = index[key];
            }
            values[static_cast<std::size_t>(x)] = v;
        }
        appendLine(codes, lengths, values, 0);
    }
    index.reset(keys);
    return rleFile(pic.hasAlpha() ? 1 : 0, pic, keys, ALPHA_OPAQUE, lengths, codes);
}

// The multi-palette file: one sorted palette per line, merged greedily, first
// fit in line order, while a union stays within 251 keys; a switch code opens
// every line whose palette does not start the table. Quadratic in the lines
// that stay apart, so only for pictures whose lines merge well.
Bytes multiPaletteRle(const Picture& pic) {
    const auto height = static_cast<std::size_t>(pic.height);
    std::vector<std::vector<std::uint32_t>> pals(height);
    std::vector<bool> used(height, true);
    std::vector<std::size_t> lineToPal(height);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < pic.width; ++x) {
            const std::size_t i = pic.at(x, static_cast<std::int32_t>(y));
            if (pic.visible(i)) pals[y].push_back(pic.key(i));
        }
        std::sort(pals[y].begin(), pals[y].end());
        pals[y].erase(std::unique(pals[y].begin(), pals[y].end()), pals[y].end());
        lineToPal[y] = y;
    }
    std::vector<std::uint32_t> merged;
    for (std::size_t i = 0; i < height; ++i) {
        if (!used[i]) continue;
        for (std::size_t j = i + 1; j < height; ++j) {
            if (!used[j]) continue;
            merged.clear();
            std::set_union(pals[i].begin(), pals[i].end(), pals[j].begin(), pals[j].end(),
                           std::back_inserter(merged));
            if (merged.size() > 251) continue;
            pals[i] = merged;
            used[j] = false;
            std::replace(lineToPal.begin(), lineToPal.end(), j, i);
        }
    }
    std::vector<std::uint32_t> keys;
    std::vector<std::size_t> base(height, 0);
    for (std::size_t k = 0; k < height; ++k) {
        if (!used[k]) continue;
        base[k] = keys.size();
        keys.insert(keys.end(), pals[k].begin(), pals[k].end());
    }
    Bytes lengths;
    Bytes codes;
    Bytes values(static_cast<std::size_t>(pic.width));
    for (std::size_t y = 0; y < height; ++y) {
        const auto& pal = pals[lineToPal[y]];
        const std::size_t nPtr = base[lineToPal[y]];
        std::size_t prefix = 0;
        if (nPtr != 0) {
            codes.push_back(253);
            codes.push_back(static_cast<std::uint8_t>(nPtr));
            codes.push_back(static_cast<std::uint8_t>(nPtr >> 8));
            prefix = 3;
        }
        for (std::int32_t x = 0; x < pic.width; ++x) {
            const std::size_t i = pic.at(x, static_cast<std::int32_t>(y));
            std::uint8_t v = 0;
            if (pic.visible(i)) {
                const auto pos = std::lower_bound(pal.begin(), pal.end(), pic.key(i));
                v = static_cast<std::uint8_t>(pos - pal.begin() + 1);
            }
            values[static_cast<std::size_t>(x)] = v;
        }
        appendLine(codes, lengths, values, prefix);
    }
    const std::uint16_t flags = pic.hasAlpha() ? 3 : 2;
    return rleFile(flags, pic, keys, 0, lengths, codes);
}

bool writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool bWritten = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && bWritten;
}

std::size_t visiblePixels(const Picture& pic) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < pic.colors.size(); ++i) count += pic.visible(i) ? 1 : 0;
    return count;
}

// Writes one picture as BMP (and its expected RLE file when `rle` is not empty)
// and reports its pair count after reduction.
bool writePicture(const std::filesystem::path& dir, const char* stem, const Picture& pic,
                  const Bytes& rle, std::size_t& nPairs) {
    const Bytes bmp = bmpFile(pic);
    nPairs = countReducedPairs(bmp, pic.width, pic.height);
    const std::string name(stem);
    if (!writeFile(dir / (name + ".bmp"), bmp)) return false;
    return rle.empty() || writeFile(dir / (name + ".rle"), rle);
}

int fail(const char* what) {
    std::fprintf(stderr, "rle565_gen_workloads: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rle565_gen_workloads <outdir>\n");
        return 2;
    }
    const std::filesystem::path dir(argv[1]);
    std::error_code error;
    std::filesystem::create_directories(dir / "sprites", error);
    std::filesystem::create_directories(dir / "sprites-expected", error);
    if (error) return fail("cannot create the output folders");

    std::size_t nPairs = 0;
    KeyIndex index;
    {
        const Picture sheet = makeSheet();
        if (!writePicture(dir, "sheet", sheet, singlePaletteRle(sheet, index), nPairs)) {
            return fail("cannot write sheet");
        }
        const double visible =
            static_cast<double>(visiblePixels(sheet)) / static_cast<double>(sheet.colors.size());
        std::printf("sheet.bmp   4096x4096 32-bit, %zu pairs, %.1f%% visible\n", nPairs,
                    100.0 * visible);
        if (nPairs > 252) return fail("sheet has more than 252 pairs");
    }
    {
        const Picture banded = makeBanded();
        if (!writePicture(dir, "banded", banded, multiPaletteRle(banded), nPairs)) {
            return fail("cannot write banded");
        }
        std::printf("banded.bmp  2048x2048 24-bit, %zu colours\n", nPairs);
    }
    {
        const Picture merge = makeMergeWorstCase();
        if (!writePicture(dir, "merge", merge, {}, nPairs)) return fail("cannot write merge");
        std::printf("merge.bmp   1024x4096 24-bit, %zu colours\n", nPairs);
        if (nPairs >= 65536) return fail("merge has too many colours to reach the merge");
    }
    Random rng(0x5B17E5);
    std::vector<bool> taken(65536);
    const auto pool = pickColors(rng, 1024, taken);
    std::string list;
    for (std::uint32_t k = 0; k < 5000; ++k) {
        const auto nColors = static_cast<std::uint32_t>(rng.range(5, 11));
        const Picture sprite = makeSprite(rng, pool, nColors);
        std::array<char, 16> stem{};
        std::snprintf(stem.data(), stem.size(), "s%04u", k);
        const std::string name = std::string(stem.data()) + ".bmp";
        const Bytes bmp = bmpFile(sprite);
        if (countReducedPairs(bmp, sprite.width, sprite.height) != nColors) {
            return fail("a sprite lost a colour");
        }
        if (!writeFile(dir / "sprites" / name, bmp) ||
            !writeFile(dir / "sprites-expected" / name, singlePaletteRle(sprite, index))) {
            return fail("cannot write a sprite");
        }
        list += name + "\n";
    }
    const Bytes listBytes(list.begin(), list.end());
    if (!writeFile(dir / "sprites" / "list.txt", listBytes) ||
        !writeFile(dir / "sprites-expected" / "list.txt", listBytes)) {
        return fail("cannot write the list");
    }
    std::printf("sprites/    5000 x 64x64 24-bit, 5 to 11 colours each, list.txt\n");
    return 0;
}
