#include "reduce/reduce_colours.h"

#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace rle565 {

namespace {

// Colours are compared premultiplied by their alpha, so that two pairs count
// as close when they look alike over any background: red, green, blue scaled
// to 0..255 times alpha, and alpha itself on 0..255.
using Point = std::array<double, 4>;

constexpr std::size_t CHANNELS = 4;
// Lloyd's refinement visits every distinct pair against every entry; above
// this much work a picture keeps the median cut's palette as it is.
constexpr std::size_t REFINE_BUDGET = 40'000'000;
constexpr int REFINE_ROUNDS = 32;
// The figure for two pictures that are the same.
constexpr double PSNR_SAME = 99.0;

// A visible pair: its RGB565 colour and alpha 1..32 in one key.
std::uint32_t pairKey(std::uint16_t colour, std::uint32_t alpha) {
    return static_cast<std::uint32_t>(colour) << 6 | alpha;
}

Point toPoint(std::uint16_t colour, std::uint32_t alpha) {
    const double a = alpha * 255.0 / ALPHA_OPAQUE;
    const double scale = a / 255.0;
    return {((colour >> 11) & 31) * 255.0 / 31 * scale, ((colour >> 5) & 63) * 255.0 / 63 * scale,
            (colour & 31) * 255.0 / 31 * scale, a};
}

double distance(const Point& a, const Point& b) {
    double sum = 0;
    for (std::size_t k = 0; k < CHANNELS; ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
    return sum;
}

struct Entry {
    std::uint16_t colour = 0;
    std::uint32_t alpha = ALPHA_OPAQUE;
    Point point{};
};

// The nearest pair of the format to a premultiplied point: alpha rounded to
// 1..32 (visible stays visible), the colour unpremultiplied and rounded to
// RGB565; never the colour key in a picture that marks transparency with it.
Entry toEntry(const Point& p, bool bAlpha) {
    Entry entry;
    if (bAlpha) {
        const long rounded = std::lround(p[3] * ALPHA_OPAQUE / 255.0);
        entry.alpha = static_cast<std::uint32_t>(std::clamp<long>(rounded, 1, ALPHA_OPAQUE));
    }
    const double scale = p[3] > 0 ? 255.0 / p[3] : 1.0;
    const auto channel = [&](std::size_t k, int top) {
        const double value = std::clamp(p[k] * scale, 0.0, 255.0);
        return static_cast<std::uint16_t>(std::lround(value * top / 255.0));
    };
    entry.colour =
        static_cast<std::uint16_t>(channel(0, 31) << 11 | channel(1, 63) << 5 | channel(2, 31));
    // The colour key is transparency in a picture without alpha: the
    // nearest other colour has green one step off.
    if (!bAlpha && entry.colour == COLOR_KEY) entry.colour ^= 1u << 5;
    entry.point = toPoint(entry.colour, entry.alpha);
    return entry;
}

struct Distinct {
    std::uint32_t key;
    std::uint32_t count;
    Point point;
};

// Running sums of a set of weighted points, from which its squared error
// (the sum of squared distances to its mean) follows.
struct Sums {
    Point sum{};
    Point sumSq{};
    double weight = 0;

    void add(const Distinct& d) {
        for (std::size_t k = 0; k < CHANNELS; ++k) {
            sum[k] += d.point[k] * d.count;
            sumSq[k] += d.point[k] * d.point[k] * d.count;
        }
        weight += d.count;
    }
    double error() const {
        double e = 0;
        for (std::size_t k = 0; k < CHANNELS; ++k) e += sumSq[k] - sum[k] * sum[k] / weight;
        return e;
    }
    Sums minus(const Sums& part) const {
        Sums rest;
        for (std::size_t k = 0; k < CHANNELS; ++k) {
            rest.sum[k] = sum[k] - part.sum[k];
            rest.sumSq[k] = sumSq[k] - part.sumSq[k];
        }
        rest.weight = weight - part.weight;
        return rest;
    }
};

// A greedy cut of the pairs into boxes: each box knows the cut, along one
// channel, that leaves the least squared error in its two halves, and the
// box whose cut gains the most is cut next, until there are `wanted` boxes
// or no box holds two pairs. Returns each box's weighted mean.
std::vector<Point> cutBoxes(std::vector<Distinct>& pairs, std::size_t wanted) {
    struct Box {
        std::size_t begin, end;
        std::size_t axis = 0;
        std::size_t split = 0;
        double gain = -1;  // the error the cut takes away; -1 when it cannot be cut
    };
    const auto sortAlong = [&pairs](const Box& box, std::size_t axis) {
        std::sort(pairs.begin() + static_cast<std::ptrdiff_t>(box.begin),
                  pairs.begin() + static_cast<std::ptrdiff_t>(box.end),
                  [axis](const Distinct& a, const Distinct& b) {
                      return a.point[axis] != b.point[axis] ? a.point[axis] < b.point[axis]
                                                            : a.key < b.key;
                  });
    };
    const auto plan = [&](std::size_t begin, std::size_t end) {
        Box box{begin, end};
        if (end - begin < 2) return box;
        Sums whole;
        for (std::size_t i = begin; i < end; ++i) whole.add(pairs[i]);
        const double error = whole.error();
        for (std::size_t axis = 0; axis < CHANNELS; ++axis) {
            sortAlong(box, axis);
            Sums below;
            for (std::size_t i = begin; i + 1 < end; ++i) {
                below.add(pairs[i]);
                const double gain = error - below.error() - whole.minus(below).error();
                if (gain > box.gain) {
                    box.gain = gain;
                    box.axis = axis;
                    box.split = i + 1;
                }
            }
        }
        return box;
    };
    std::vector<Box> boxes{plan(0, pairs.size())};
    while (boxes.size() < wanted) {
        std::size_t pick = 0;
        for (std::size_t b = 1; b < boxes.size(); ++b) {
            if (boxes[b].gain > boxes[pick].gain) pick = b;
        }
        const Box box = boxes[pick];
        if (box.gain < 0) break;
        sortAlong(box, box.axis);
        boxes[pick] = plan(box.begin, box.split);
        boxes.push_back(plan(box.split, box.end));
    }
    std::vector<Point> means;
    for (const Box& box : boxes) {
        Sums sums;
        for (std::size_t i = box.begin; i < box.end; ++i) sums.add(pairs[i]);
        Point mean = sums.sum;
        for (double& m : mean) m /= sums.weight;
        means.push_back(mean);
    }
    return means;
}

std::size_t nearest(const std::vector<Entry>& palette, const Point& p) {
    std::size_t best = 0;
    double bestDistance = std::numeric_limits<double>::max();
    for (std::size_t e = 0; e < palette.size(); ++e) {
        const double d = distance(palette[e].point, p);
        if (d < bestDistance) {
            bestDistance = d;
            best = e;
        }
    }
    return best;
}

// Entries made pairs of the format, the same pair kept once.
std::vector<Entry> toPalette(const std::vector<Point>& means, bool bAlpha) {
    std::vector<Entry> palette;
    for (const Point& mean : means) {
        const Entry entry = toEntry(mean, bAlpha);
        const bool bKnown = std::any_of(palette.begin(), palette.end(), [&](const Entry& e) {
            return e.colour == entry.colour && e.alpha == entry.alpha;
        });
        if (!bKnown) palette.push_back(entry);
    }
    return palette;
}

std::size_t nearestPoint(const std::vector<Point>& centres, const Point& p, double* d2) {
    std::size_t best = 0;
    double bestDistance = std::numeric_limits<double>::max();
    for (std::size_t e = 0; e < centres.size(); ++e) {
        const double d = distance(centres[e], p);
        if (d < bestDistance) {
            bestDistance = d;
            best = e;
        }
    }
    if (d2) *d2 = bestDistance;
    return best;
}

// Lloyd's rounds, until the squared error stops falling: every distinct
// pair goes to its nearest centre, every centre to the mean of its pairs. A
// centre that no pair chose moves to the pair that fits worst. Then the
// centres become pairs of the format; where two round to the same pair, the
// pairs that fit worst take the entries left over.
std::vector<Entry> refine(const std::vector<Distinct>& pairs, std::vector<Point> centres,
                          bool bAlpha, std::size_t wanted) {
    if (pairs.size() * centres.size() <= REFINE_BUDGET) {
        double lastError = std::numeric_limits<double>::max();
        for (int round = 0; round < REFINE_ROUNDS; ++round) {
            std::vector<Point> sums(centres.size(), Point{});
            std::vector<double> weights(centres.size(), 0);
            double error = 0;
            std::size_t worst = 0;
            double worstError = -1;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                double d2 = 0;
                const std::size_t e = nearestPoint(centres, pairs[i].point, &d2);
                for (std::size_t k = 0; k < CHANNELS; ++k) sums[e][k] += pairs[i].point[k] * pairs[i].count;
                weights[e] += pairs[i].count;
                error += d2 * pairs[i].count;
                if (d2 * pairs[i].count > worstError) {
                    worstError = d2 * pairs[i].count;
                    worst = i;
                }
            }
            for (std::size_t e = 0; e < centres.size(); ++e) {
                if (weights[e] == 0) {
                    centres[e] = pairs[worst].point;
                    continue;
                }
                for (std::size_t k = 0; k < CHANNELS; ++k) centres[e][k] = sums[e][k] / weights[e];
            }
            if (error >= lastError * (1 - 1e-6)) break;
            lastError = error;
        }
    }
    std::vector<Entry> palette = toPalette(centres, bAlpha);
    // Entries lost to rounding go to the pairs that fit the palette worst.
    while (palette.size() < wanted) {
        std::size_t worst = pairs.size();
        double worstError = 0;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const double d2 = distance(palette[nearest(palette, pairs[i].point)].point, pairs[i].point);
            if (d2 * pairs[i].count > worstError) {
                worstError = d2 * pairs[i].count;
                worst = i;
            }
        }
        if (worst == pairs.size()) break;
        const std::size_t before = palette.size();
        palette = toPalette([&] {
            std::vector<Point> points;
            for (const Entry& e : palette) points.push_back(e.point);
            points.push_back(pairs[worst].point);
            return points;
        }(), bAlpha);
        if (palette.size() == before) break;
    }
    return palette;
}

// A pixel's look over black (channels 0 to 2) and over white (3 to 5).
std::array<double, 6> lookOf(std::uint16_t colour, std::uint32_t alpha) {
    const Point p = toPoint(colour, alpha);
    const double clear = 255.0 - p[3];
    return {p[0], p[1], p[2], p[0] + clear, p[1] + clear, p[2] + clear};
}

double psnrFromError(double squared, std::size_t samples) {
    if (samples == 0 || squared <= 0) return PSNR_SAME;
    const double mse = squared / static_cast<double>(samples);
    return std::min(PSNR_SAME, 10.0 * std::log10(255.0 * 255.0 / mse));
}

}  // namespace

bool reduceColours(Image& image, int maxPairs, bool dither, ReduceReport* report) {
    if (image.isRle() || maxPairs < 1 || maxPairs > 252) return false;
    if (report) *report = ReduceReport{};
    const std::size_t size = image.pixels.size();
    const bool bAlpha = image.hasAlpha();
    if (bAlpha && image.alpha.size() != size) return false;
    // What a pixel shows: alpha 0 for transparency, either form.
    const auto alphaOf = [bAlpha](const Image& from, std::size_t i) -> std::uint32_t {
        if (bAlpha) return std::min<std::uint32_t>(from.alpha[i], ALPHA_OPAQUE);
        return from.pixels[i] == COLOR_KEY ? 0 : ALPHA_OPAQUE;
    };

    std::unordered_map<std::uint32_t, std::uint32_t> counts;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t alpha = alphaOf(image, i);
        if (alpha != 0) ++counts[pairKey(image.pixels[i], alpha)];
    }
    if (counts.size() <= static_cast<std::size_t>(maxPairs)) return true;

    // In key order, so that the palette never depends on the hash table's.
    std::vector<Distinct> pairs;
    pairs.reserve(counts.size());
    for (const auto& [key, count] : counts) {
        pairs.push_back({key, count, toPoint(static_cast<std::uint16_t>(key >> 6), key & 63)});
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Distinct& a, const Distinct& b) { return a.key < b.key; });
    const std::vector<Entry> palette =
        refine(pairs, cutBoxes(pairs, static_cast<std::size_t>(maxPairs)), bAlpha,
               static_cast<std::size_t>(maxPairs));

    const Image before = image;
    const auto put = [&](std::size_t i, const Entry& entry) {
        image.pixels[i] = entry.colour;
        if (bAlpha) image.alpha[i] = static_cast<std::uint8_t>(entry.alpha);
    };
    if (!dither) {
        std::unordered_map<std::uint32_t, std::size_t> mapped;
        for (const Distinct& pair : pairs) mapped[pair.key] = nearest(palette, pair.point);
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t alpha = alphaOf(before, i);
            if (alpha != 0) put(i, palette[mapped[pairKey(before.pixels[i], alpha)]]);
        }
    } else {
        // Floyd and Steinberg's error diffusion over the visible pixels, line
        // by line; transparent pixels neither take error nor pass it on.
        const double damp = std::getenv("RQ_DAMP") ? std::atof(std::getenv("RQ_DAMP")) : 1.0;
        const double cap = std::getenv("RQ_CAP") ? std::atof(std::getenv("RQ_CAP")) : 255.0;
        const double edge = std::getenv("RQ_EDGE") ? std::atof(std::getenv("RQ_EDGE")) : 1e9;
        const auto width = static_cast<std::size_t>(image.width);
        const std::size_t height = width ? size / width : 0;
        // How much a pixel differs from its neighbours: the largest channel
        // difference to any of the four.
        const auto contrast = [&](std::size_t x, std::size_t y) {
            const std::size_t i = y * width + x;
            const Point p = toPoint(before.pixels[i], alphaOf(before, i));
            double most = 0;
            const auto look = [&](std::size_t j) {
                const Point q = toPoint(before.pixels[j], alphaOf(before, j));
                for (std::size_t k = 0; k < CHANNELS; ++k) most = std::max(most, std::abs(p[k] - q[k]));
            };
            if (x > 0) look(i - 1);
            if (x + 1 < width) look(i + 1);
            if (y > 0) look(i - width);
            if (y + 1 < height) look(i + width);
            return most;
        };
        std::vector<Point> here(width + 2, Point{}), next(width + 2, Point{});
        for (std::size_t y = 0; y * width < size; ++y) {
            std::fill(next.begin(), next.end(), Point{});
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t i = y * width + x;
                const std::uint32_t alpha = alphaOf(before, i);
                if (alpha == 0) continue;
                const Point original = toPoint(before.pixels[i], alpha);
                Point wanted = original;
                const bool bEdge = contrast(x, y) > edge;
                if (!bEdge) {
                    for (std::size_t k = 0; k < CHANNELS; ++k) {
                        wanted[k] = std::clamp(wanted[k] + std::clamp(here[x + 1][k], -cap, cap), 0.0, 255.0);
                    }
                }
                const Entry& entry = palette[nearest(palette, wanted)];
                put(i, entry);
                if (bEdge) continue;
                for (std::size_t k = 0; k < CHANNELS; ++k) {
                    const double error = (wanted[k] - entry.point[k]) * damp;
                    here[x + 2][k] += error * 7 / 16;
                    next[x][k] += error * 3 / 16;
                    next[x + 1][k] += error * 5 / 16;
                    next[x + 2][k] += error * 1 / 16;
                }
            }
            std::swap(here, next);
        }
    }

    if (report) {
        double black = 0, white = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const auto was = lookOf(before.pixels[i], alphaOf(before, i));
            const auto now = lookOf(image.pixels[i], alphaOf(image, i));
            for (std::size_t k = 0; k < 3; ++k) {
                black += (was[k] - now[k]) * (was[k] - now[k]);
                white += (was[k + 3] - now[k + 3]) * (was[k + 3] - now[k + 3]);
            }
        }
        report->reduced = true;
        report->psnr = (psnrFromError(black, size * 3) + psnrFromError(white, size * 3)) / 2;
    }
    return true;
}

}  // namespace rle565
