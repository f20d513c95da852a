#include "reduce/reduce_colours.h"

#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <cmath>
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
// Lloyd's rounds stop once they take away less than this share of the error.
constexpr double SETTLED = 1e-3;
// Rounds with the entries as the format holds them, at most.
constexpr int ROUNDED_ROUNDS = 4;
// Error diffusion: the share of a pixel's error passed on, the most a pixel
// takes in each channel (of 255), and the difference to a neighbour in any
// channel from which a pixel counts as an edge. Measured against pngquant's
// diffusion on pictures of every kind (bench/run_reduce): plain
// Floyd-Steinberg lost 0.5 to 2 dB, these lose 0 to 0.2 against no
// diffusion while still breaking up the bands of smooth gradients.
constexpr double DIFFUSION_SHARE = 0.5;
constexpr double DIFFUSION_CAP = 8;
constexpr double EDGE_CONTRAST = 24;
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

// The space the quantiser measures in: what the error over black and over
// white adds up to. A pair's look over black is its premultiplied colour p,
// over white p + 255 - a; the squared differences of both, summed over the
// channels, are sum 2 (dp - da / 2)^2 + 1.5 da^2, which is the plain squared
// distance between points (sqrt 2 (p - a / 2), sqrt 1.5 a). Means keep their
// meaning under this linear map, so Lloyd's rounds minimise exactly the
// error the report gives.
const double ROOT_2 = std::sqrt(2.0);
const double ROOT_1_5 = std::sqrt(1.5);

Point toSpace(const Point& p) {
    return {ROOT_2 * (p[0] - p[3] / 2), ROOT_2 * (p[1] - p[3] / 2), ROOT_2 * (p[2] - p[3] / 2),
            ROOT_1_5 * p[3]};
}

Point fromSpace(const Point& u) {
    const double a = u[3] / ROOT_1_5;
    return {u[0] / ROOT_2 + a / 2, u[1] / ROOT_2 + a / 2, u[2] / ROOT_2 + a / 2, a};
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

// The nearest pair of the format to a point of the space: alpha rounded to
// 1..32 (visible stays visible), the colour unpremultiplied and rounded to
// RGB565; never the colour key in a picture that marks transparency with it.
Entry toEntry(const Point& u, bool bAlpha) {
    const Point p = fromSpace(u);
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
    entry.point = toSpace(toPoint(entry.colour, entry.alpha));
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

// The nearest of a set of points: their channels are laid out one after
// another in single precision, so that the distances to all of them are one
// loop the compiler makes vector code of.
class Nearest {
public:
    explicit Nearest(const std::vector<Point>& points) : distances_(points.size()) {
        for (std::size_t k = 0; k < CHANNELS; ++k) {
            channels_[k].reserve(points.size());
            for (const Point& point : points) channels_[k].push_back(static_cast<float>(point[k]));
        }
    }
    explicit Nearest(const std::vector<Entry>& palette) : Nearest(pointsOf(palette)) {}

    // The index of the nearest point, and its squared distance in *d2.
    std::size_t find(const Point& p, double* d2 = nullptr) const {
        const std::size_t n = distances_.size();
        const float p0 = static_cast<float>(p[0]), p1 = static_cast<float>(p[1]);
        const float p2 = static_cast<float>(p[2]), p3 = static_cast<float>(p[3]);
        const float* c0 = channels_[0].data();
        const float* c1 = channels_[1].data();
        const float* c2 = channels_[2].data();
        const float* c3 = channels_[3].data();
        float* d = distances_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const float a = c0[i] - p0, b = c1[i] - p1, c = c2[i] - p2, e = c3[i] - p3;
            d[i] = a * a + b * b + c * c + e * e;
        }
        std::size_t best = 0;
        for (std::size_t i = 1; i < n; ++i) {
            if (d[i] < d[best]) best = i;
        }
        if (d2) *d2 = n > 0 ? d[best] : 0;
        return best;
    }

private:
    static std::vector<Point> pointsOf(const std::vector<Entry>& palette) {
        std::vector<Point> points;
        points.reserve(palette.size());
        for (const Entry& entry : palette) points.push_back(entry.point);
        return points;
    }

    std::array<std::vector<float>, CHANNELS> channels_;
    mutable std::vector<float> distances_;
};

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

// Lloyd's rounds, until the squared error stops falling: every distinct
// pair goes to its nearest centre, every centre to the mean of its pairs. A
// centre that no pair chose moves to the pair that fits worst. Then the
// centres become pairs of the format; where two round to the same pair, the
// pairs that fit worst take the entries left over.
std::vector<Entry> refine(const std::vector<Distinct>& pairs, std::vector<Point> centres,
                          bool bAlpha, std::size_t wanted) {
    if (pairs.size() * centres.size() <= REFINE_BUDGET) {
        double lastError = std::numeric_limits<double>::max();
        // Each pair's centre of the round before: a pair nearer to it than
        // half the way to that centre's nearest neighbour keeps it without
        // a search (no other centre can be nearer).
        std::vector<std::size_t> owner(pairs.size(), centres.size());
        std::vector<double> reach(centres.size());
        for (int round = 0; round < REFINE_ROUNDS; ++round) {
            const Nearest search(centres);
            for (std::size_t c = 0; c < centres.size(); ++c) {
                double closest = std::numeric_limits<double>::max();
                for (std::size_t o = 0; o < centres.size(); ++o) {
                    if (o != c) closest = std::min(closest, distance(centres[c], centres[o]));
                }
                reach[c] = closest / 4;  // squared: half the distance
            }
            std::vector<Point> sums(centres.size(), Point{});
            std::vector<double> weights(centres.size(), 0);
            double error = 0;
            std::size_t worst = 0;
            double worstError = -1;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                double d2 = 0;
                std::size_t e = owner[i];
                if (e < centres.size()) d2 = distance(centres[e], pairs[i].point);
                if (e >= centres.size() || d2 > reach[e]) e = search.find(pairs[i].point, &d2);
                owner[i] = e;
                for (std::size_t k = 0; k < CHANNELS; ++k)
                    sums[e][k] += pairs[i].point[k] * pairs[i].count;
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
            if (error >= lastError * (1 - SETTLED)) break;
            lastError = error;
        }
    }
    std::vector<Entry> palette = toPalette(centres, bAlpha);
    // Rounds with the entries as the format holds them, while they help.
    const auto errorOf = [&pairs](const std::vector<Entry>& pal) {
        double e = 0;
        const Nearest search(pal);
        for (const Distinct& pair : pairs)
            e += distance(pal[search.find(pair.point)].point, pair.point) * pair.count;
        return e;
    };
    if (pairs.size() * centres.size() <= REFINE_BUDGET) {
        double error = errorOf(palette);
        for (int round = 0; round < ROUNDED_ROUNDS; ++round) {
            std::vector<Point> sums(palette.size(), Point{});
            std::vector<double> weights(palette.size(), 0);
            const Nearest search(palette);
            for (const Distinct& pair : pairs) {
                const std::size_t e = search.find(pair.point);
                for (std::size_t k = 0; k < CHANNELS; ++k) sums[e][k] += pair.point[k] * pair.count;
                weights[e] += pair.count;
            }
            std::vector<Point> means;
            for (std::size_t e = 0; e < palette.size(); ++e) {
                if (weights[e] == 0) {
                    means.push_back(palette[e].point);
                    continue;
                }
                for (double& v : sums[e]) v /= weights[e];
                means.push_back(sums[e]);
            }
            std::vector<Entry> next = toPalette(means, bAlpha);
            const double nextError = errorOf(next);
            if (next.size() < palette.size() || nextError >= error) break;
            palette = std::move(next);
            error = nextError;
        }
    }
    // Entries lost to rounding go to the pairs that fit the palette worst.
    while (palette.size() < wanted) {
        std::size_t worst = pairs.size();
        double worstError = 0;
        const Nearest search(palette);
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const double d2 = distance(palette[search.find(pairs[i].point)].point, pairs[i].point);
            if (d2 * pairs[i].count > worstError) {
                worstError = d2 * pairs[i].count;
                worst = i;
            }
        }
        if (worst == pairs.size()) break;
        const std::size_t before = palette.size();
        palette = toPalette(
            [&] {
                std::vector<Point> points;
                for (const Entry& e : palette) points.push_back(e.point);
                points.push_back(pairs[worst].point);
                return points;
            }(),
            bAlpha);
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
        pairs.push_back(
            {key, count, toSpace(toPoint(static_cast<std::uint16_t>(key >> 6), key & 63))});
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
        const Nearest search(palette);
        for (const Distinct& pair : pairs) mapped[pair.key] = search.find(pair.point);
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t alpha = alphaOf(before, i);
            if (alpha != 0) put(i, palette[mapped[pairKey(before.pixels[i], alpha)]]);
        }
    } else {
        // Floyd and Steinberg's error diffusion over the visible pixels, line
        // by line, held back as PSNR asks: half the error is passed on, what
        // a pixel takes is capped, and pixels on an edge neither take error
        // nor pass it on, so smooth areas lose their bands while edges stay
        // clean. Transparent pixels neither take error nor pass it on.
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
                for (std::size_t k = 0; k < CHANNELS; ++k)
                    most = std::max(most, std::abs(p[k] - q[k]));
            };
            if (x > 0) look(i - 1);
            if (x + 1 < width) look(i + 1);
            if (y > 0) look(i - width);
            if (y + 1 < height) look(i + width);
            return most;
        };
        const Nearest search(palette);
        std::vector<Point> here(width + 2, Point{}), next(width + 2, Point{});
        for (std::size_t y = 0; y * width < size; ++y) {
            std::fill(next.begin(), next.end(), Point{});
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t i = y * width + x;
                const std::uint32_t alpha = alphaOf(before, i);
                if (alpha == 0) continue;
                const Point original = toPoint(before.pixels[i], alpha);
                Point wanted = original;
                const bool bEdge = contrast(x, y) > EDGE_CONTRAST;
                if (!bEdge) {
                    for (std::size_t k = 0; k < CHANNELS; ++k) {
                        wanted[k] = std::clamp(
                            wanted[k] + std::clamp(here[x + 1][k], -DIFFUSION_CAP, DIFFUSION_CAP),
                            0.0, 255.0);
                    }
                }
                const Entry& entry = palette[search.find(toSpace(wanted))];
                const Point shown = toPoint(entry.colour, entry.alpha);
                put(i, entry);
                if (bEdge) continue;
                for (std::size_t k = 0; k < CHANNELS; ++k) {
                    const double error = (wanted[k] - shown[k]) * DIFFUSION_SHARE;
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
