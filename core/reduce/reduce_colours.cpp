#include "reduce/reduce_colours.h"

#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <unordered_map>
#include <vector>

namespace rle565 {

namespace {

// Pairs are compared by how they look once decoded: each channel widened to
// a byte as the decoder does, composited over black and over white. The
// squared error of those six values is a quadratic form in the colour over
// black (P, premultiplied) and the clearness T = 255 - alpha; it becomes a
// plain Euclidean distance in the coordinates √2·(P + T/2) for red, green and
// blue and √(3/2)·T, so means, nearest entries and error diffusion are all
// exact in this space.
using Point = std::array<double, 4>;

constexpr std::size_t CHANNELS = 4;
constexpr double ROOT2 = 1.4142135623730951;
constexpr double ROOT3_2 = 1.2247448713915890;
// The figure for two pictures that are the same.
constexpr double PSNR_SAME = 99.0;
// Lloyd's rounds stop when no pair changes entry or a round lowers the error
// by less than SETTLED of it, at the latest after REFINE_ROUNDS, or earlier
// when the rounds would cost more than the budget (pairs visited times
// entries).
constexpr int REFINE_ROUNDS = 60;
constexpr double REFINE_BUDGET = 3e8;
constexpr double SETTLED = 1e-3;
// Rounds of refinement on the representable palette, after the continuous one.
constexpr int SNAP_ROUNDS = 4;

// Moves of two centres at once out of Lloyd's local minimum: at most this
// many tries, fewer when they would cost more than the budget (pairs times
// entries, per try).
constexpr int IMPROVE_TRIES = 8;
constexpr double IMPROVE_BUDGET = 2e7;
// Lloyd's rounds after each move (most of the gain comes in the first few).
constexpr int IMPROVE_ROUNDS = 10;

// Error diffusion: the share of the error passed on, the most one channel
// may carry, and where the edge map starts and ends damping it (distance to
// the most different neighbour, in this space) and how far. Less than the
// whole error is passed on because the noise of diffusion costs more PSNR
// than it gains; six tenths keep gradients smooth to the eye at a small cost.
constexpr double DIFFUSE = 0.6;
constexpr double DIFFUSE_CAP = 40.0;
constexpr double EDGE_LOW = 20.0;
constexpr double EDGE_HIGH = 120.0;
constexpr double EDGE_FLOOR = 0.25;
// Rounds of moving the entries to the mean of the pixels diffusion gave
// them, then diffusing again.
constexpr int DIFFUSE_ROUNDS = 1;

// The decoder's widening of each field to a byte.
int widen5(int v) { return v * 255 / 31; }
int widen6(int v) { return v * 255 / 63; }
int widenAlpha(std::uint32_t a) { return a >= ALPHA_OPAQUE ? 255 : static_cast<int>(a * 8); }

// A visible pair: its RGB565 colour and alpha 1..32 in one key.
std::uint32_t pairKey(std::uint16_t colour, std::uint32_t alpha) {
    return static_cast<std::uint32_t>(colour) << 6 | alpha;
}

// A pair's look as the decoder shows it.
Point toPoint(std::uint16_t colour, std::uint32_t alpha) {
    const double a = widenAlpha(alpha);
    const double clear = 255.0 - a;
    const auto channel = [&](int wide) { return ROOT2 * (wide * a / 255.0 + clear / 2); };
    return {channel(widen5(colour >> 11 & 31)), channel(widen6(colour >> 5 & 63)),
            channel(widen5(colour & 31)), ROOT3_2 * clear};
}

// The likeliest look of the 8-bit original of a pair: the middle of the
// values that the loaders cut down to it (they drop the low bits; alpha from
// 251 up is opaque, and opaque pictures are mostly exactly so).
Point sourcePoint(std::uint16_t colour, std::uint32_t alpha) {
    const double a = alpha >= ALPHA_OPAQUE       ? 255.0
                     : alpha == ALPHA_OPAQUE - 1 ? 249.0
                                                 : alpha * 8 + 3.5;
    const double clear = 255.0 - a;
    const auto channel = [&](double wide) { return ROOT2 * (wide * a / 255.0 + clear / 2); };
    return {channel((colour >> 11 & 31) * 8 + 3.5), channel((colour >> 5 & 63) * 4 + 1.5),
            channel((colour & 31) * 8 + 3.5), ROOT3_2 * clear};
}

// The look of alpha 0: what transparent neighbours count as in the edge map.
constexpr Point CLEAR_POINT{ROOT2 * 127.5, ROOT2 * 127.5, ROOT2 * 127.5, ROOT3_2 * 255.0};

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

Entry makeEntry(std::uint16_t colour, std::uint32_t alpha) {
    return {colour, alpha, toPoint(colour, alpha)};
}

// The level of a `bits`-wide field whose widened value times a/255 comes
// nearest to `target`.
int nearestLevel(double target, double a, int top, int (*widen)(int)) {
    if (a <= 0) return 0;
    const double guess = target * 255.0 / a * top / 255.0;
    int best = std::clamp(static_cast<int>(std::lround(guess)), 0, top);
    double bestError = std::abs(widen(best) * a / 255.0 - target);
    for (const int level : {best - 1, best + 1}) {
        if (level < 0 || level > top) continue;
        const double error = std::abs(widen(level) * a / 255.0 - target);
        if (error < bestError) {
            bestError = error;
            best = level;
        }
    }
    return best;
}

// The pair of the format that looks most like a point: a few alphas round
// the point's (1..32, so that visible stays visible), each with the best
// level per channel; never the colour key in a picture that marks
// transparency with it.
Entry snap(const Point& p, bool bAlpha) {
    Entry best;
    double bestError = std::numeric_limits<double>::max();
    const auto consider = [&](std::uint16_t colour, std::uint32_t alpha) {
        if (!bAlpha && colour == COLOR_KEY) return;
        const Entry entry = makeEntry(colour, alpha);
        const double error = distance(entry.point, p);
        if (error < bestError) {
            bestError = error;
            best = entry;
        }
    };
    std::uint32_t low = ALPHA_OPAQUE, high = ALPHA_OPAQUE;
    if (bAlpha) {
        const double a = 255.0 - p[3] / ROOT3_2;
        const long guess = std::clamp<long>(std::lround(a / 8), 1, ALPHA_OPAQUE);
        low = static_cast<std::uint32_t>(std::max<long>(1, guess - 1));
        high = static_cast<std::uint32_t>(std::min<long>(ALPHA_OPAQUE, guess + 1));
    }
    for (std::uint32_t alpha = low; alpha <= high; ++alpha) {
        const double a = widenAlpha(alpha);
        const double clear = 255.0 - a;
        const auto target = [&](std::size_t k) { return p[k] / ROOT2 - clear / 2; };
        const int r = nearestLevel(target(0), a, 31, widen5);
        const int g = nearestLevel(target(1), a, 63, widen6);
        const int b = nearestLevel(target(2), a, 31, widen5);
        const auto colour = static_cast<std::uint16_t>(r << 11 | g << 5 | b);
        consider(colour, alpha);
        // The colour key is transparency in a picture without alpha: its
        // neighbours one step off in a channel stand in for it.
        if (!bAlpha && colour == COLOR_KEY) {
            consider(static_cast<std::uint16_t>(colour ^ 1u << 5), alpha);
            consider(static_cast<std::uint16_t>(colour - (1u << 11)), alpha);
            consider(static_cast<std::uint16_t>(colour - 1u), alpha);
        }
    }
    return best;
}

// A visible pair of the picture: how many pixels have it, the likeliest
// look of their originals (what the palette is fitted to and diffusion aims
// at) and their look as they are.
struct Distinct {
    std::uint32_t key;
    double count;
    Point point;
    Point shown;
};

// Sums that give a set of weighted points' mean and squared error.
struct Moments {
    double weight = 0;
    Point sum{};
    double sumSq = 0;

    void add(const Point& p, double w) {
        weight += w;
        for (std::size_t k = 0; k < CHANNELS; ++k) {
            sum[k] += p[k] * w;
            sumSq += p[k] * p[k] * w;
        }
    }
    double error() const {
        if (weight <= 0) return 0;
        double squares = 0;
        for (const double s : sum) squares += s * s;
        return std::max(0.0, sumSq - squares / weight);
    }
    Point mean() const {
        Point m{};
        for (std::size_t k = 0; k < CHANNELS; ++k) m[k] = sum[k] / weight;
        return m;
    }
};

// Median cut by variance: the box whose best split lowers the squared error
// most is split, along the channel and at the place that lower it most,
// until there are `wanted` boxes or no box holds two pairs. Places are
// looked for among CUT_BINS steps of each channel's range in the box, which
// needs no sorting. Returns each box's weighted mean.
std::vector<Point> medianCut(const std::vector<Distinct>& pairs, std::size_t wanted) {
    constexpr std::size_t CUT_BINS = 256;
    struct Box {
        std::size_t begin, end;
        Point mean;
        double gain = -1;  // below 0: cannot be split
        std::size_t axis = 0, cut = 0;
        double low = 0, scale = 0;
    };
    const auto binOf = [](double value, double low, double scale) {
        return std::min(CUT_BINS - 1, static_cast<std::size_t>((value - low) * scale));
    };
    // The boxes are ranges of this list of the pairs.
    std::vector<std::uint32_t> order(pairs.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::vector<Moments> bins(CUT_BINS);
    const auto measure = [&](std::size_t begin, std::size_t end) {
        Box box{begin, end, {}};
        Moments all;
        Point low, high;
        low.fill(std::numeric_limits<double>::max());
        high.fill(std::numeric_limits<double>::lowest());
        for (std::size_t i = begin; i < end; ++i) {
            const Distinct& pair = pairs[order[i]];
            all.add(pair.point, pair.count);
            for (std::size_t k = 0; k < CHANNELS; ++k) {
                low[k] = std::min(low[k], pair.point[k]);
                high[k] = std::max(high[k], pair.point[k]);
            }
        }
        box.mean = all.mean();
        if (end - begin < 2) return box;
        const double whole = all.error();
        for (std::size_t axis = 0; axis < CHANNELS; ++axis) {
            if (high[axis] <= low[axis]) continue;
            const double scale = CUT_BINS / (high[axis] - low[axis]);
            std::fill(bins.begin(), bins.end(), Moments{});
            for (std::size_t i = begin; i < end; ++i) {
                const Distinct& pair = pairs[order[i]];
                bins[binOf(pair.point[axis], low[axis], scale)].add(pair.point, pair.count);
            }
            Moments below;
            for (std::size_t bin = 0; bin + 1 < CUT_BINS; ++bin) {
                below.weight += bins[bin].weight;
                below.sumSq += bins[bin].sumSq;
                for (std::size_t k = 0; k < CHANNELS; ++k) below.sum[k] += bins[bin].sum[k];
                if (bins[bin].weight <= 0 || below.weight >= all.weight) continue;
                Moments above;
                above.weight = all.weight - below.weight;
                above.sumSq = all.sumSq - below.sumSq;
                for (std::size_t k = 0; k < CHANNELS; ++k) above.sum[k] = all.sum[k] - below.sum[k];
                const double gain = whole - below.error() - above.error();
                if (gain > box.gain) {
                    box.gain = gain;
                    box.axis = axis;
                    box.cut = bin;
                    box.low = low[axis];
                    box.scale = scale;
                }
            }
        }
        return box;
    };
    std::vector<Box> boxes{measure(0, pairs.size())};
    while (boxes.size() < wanted) {
        std::size_t pick = boxes.size();
        for (std::size_t b = 0; b < boxes.size(); ++b) {
            if (boxes[b].gain < 0) continue;
            if (pick == boxes.size() || boxes[b].gain > boxes[pick].gain) pick = b;
        }
        if (pick == boxes.size()) break;
        const Box box = boxes[pick];
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(box.begin);
        const auto middle = std::stable_partition(
            first, order.begin() + static_cast<std::ptrdiff_t>(box.end), [&](std::uint32_t i) {
                return binOf(pairs[i].point[box.axis], box.low, box.scale) <= box.cut;
            });
        const auto split = static_cast<std::size_t>(middle - order.begin());
        boxes[pick] = measure(box.begin, split);
        boxes.push_back(measure(split, box.end));
    }
    std::vector<Point> means;
    for (const Box& box : boxes) means.push_back(box.mean);
    return means;
}

// Nearest-centre search that skips centres by the triangle inequality: a
// centre twice as far from the current guess as the point is cannot be
// nearer. The distances between centres are known beforehand, and each
// centre's nearest few are listed in order, so that most searches stop at
// the first listed centre too far.
class NearestFinder {
public:
    NearestFinder(std::vector<Point> points, std::size_t queries) : centres_(std::move(points)) {
        const std::size_t n = centres_.size();
        if (queries < n * TABLES_FROM) return;
        listed_ = std::min(n, LISTED);
        gaps_.resize(n * n);
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = a; b < n; ++b) {
                gaps_[a * n + b] = gaps_[b * n + a] = distance(centres_[a], centres_[b]);
            }
        }
        near_.resize(n * listed_);
        std::vector<std::uint32_t> row(n);
        for (std::size_t a = 0; a < n; ++a) {
            std::iota(row.begin(), row.end(), std::uint32_t{0});
            const double* gaps = gaps_.data() + a * n;
            const auto last = row.begin() + static_cast<std::ptrdiff_t>(listed_);
            std::partial_sort(row.begin(), last, row.end(),
                              [gaps](std::uint32_t x, std::uint32_t y) {
                                  return gaps[x] != gaps[y] ? gaps[x] < gaps[y] : x < y;
                              });
            std::copy(row.begin(), last, near_.begin() + static_cast<std::ptrdiff_t>(a * listed_));
        }
    }

    // The nearest centre to p (the first of equals), starting from the guess.
    std::size_t find(const Point& p, std::size_t guess) const {
        const std::size_t n = centres_.size();
        double best = distance(p, centres_[guess]);
        std::size_t bestIndex = guess;
        const auto consider = [&](std::size_t c) {
            const double d = distance(p, centres_[c]);
            if (d < best || (d == best && c < bestIndex)) {
                best = d;
                bestIndex = c;
            }
        };
        if (listed_ == 0) {
            for (std::size_t c = 0; c < n; ++c) consider(c);
            return bestIndex;
        }
        const double reach = 4 * best;
        const double* gaps = gaps_.data() + guess * n;
        // The guess's nearest centres first, in order; past the list, every
        // centre near enough.
        const std::uint32_t* near = near_.data() + guess * listed_;
        for (std::size_t j = 0; j < listed_; ++j) {
            if (gaps[near[j]] > reach) return bestIndex;
            if (near[j] != guess) consider(near[j]);
        }
        const std::uint32_t lastListed = near[listed_ - 1];
        const double listedReach = gaps[lastListed];
        for (std::size_t c = 0; c < n; ++c) {
            const bool bListed =
                gaps[c] < listedReach || (gaps[c] == listedReach && c <= lastListed);
            if (gaps[c] <= reach && !bListed) consider(c);
        }
        return bestIndex;
    }

private:
    // How many of each centre's nearest centres are listed in order, and
    // the queries per centre from which the tables pay (fewer search all).
    static constexpr std::size_t LISTED = 12;
    static constexpr std::size_t TABLES_FROM = 8;
    std::vector<Point> centres_;
    std::vector<double> gaps_;  // squared distances between the centres
    std::size_t listed_ = 0;
    std::vector<std::uint32_t> near_;
};

std::vector<Point> pointsOf(const std::vector<Entry>& palette) {
    std::vector<Point> points;
    for (const Entry& entry : palette) points.push_back(entry.point);
    return points;
}

// Assigns each pair its nearest centre; returns the total squared error.
double assign(const std::vector<Distinct>& pairs, const std::vector<Point>& centres,
              std::vector<std::size_t>& owner) {
    const NearestFinder finder(centres, pairs.size());
    double total = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        owner[i] = finder.find(pairs[i].point, std::min(owner[i], centres.size() - 1));
        total += distance(pairs[i].point, centres[owner[i]]) * pairs[i].count;
    }
    return total;
}

// The pairs' moments per centre.
std::vector<Moments> gather(const std::vector<Distinct>& pairs,
                            const std::vector<std::size_t>& owner, std::size_t n) {
    std::vector<Moments> moments(n);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        moments[owner[i]].add(pairs[i].point, pairs[i].count);
    return moments;
}

// Lloyd's rounds in the continuous space: every pair goes to its nearest
// centre, every centre to the weighted mean of its pairs; a centre left
// without pairs moves to the pair of the largest weighted error.
void lloyd(const std::vector<Distinct>& pairs, std::vector<Point>& centres,
           std::vector<std::size_t>& owner, int most) {
    const double cost = static_cast<double>(pairs.size()) * static_cast<double>(centres.size());
    const int rounds = std::clamp(static_cast<int>(REFINE_BUDGET / std::max(cost, 1.0)), 1, most);
    std::vector<std::size_t> before;
    double last = std::numeric_limits<double>::max();
    for (int round = 0; round < rounds; ++round) {
        before = owner;
        const double error = assign(pairs, centres, owner);
        if (round > 0 && (owner == before || error > last * (1 - SETTLED))) break;
        last = error;
        const std::vector<Moments> moments = gather(pairs, owner, centres.size());
        for (std::size_t c = 0; c < centres.size(); ++c) {
            if (moments[c].weight > 0) {
                centres[c] = moments[c].mean();
                continue;
            }
            std::size_t worst = 0;
            double worstError = -1;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const double e = distance(pairs[i].point, centres[owner[i]]) * pairs[i].count;
                if (e > worstError) {
                    worstError = e;
                    worst = i;
                }
            }
            centres[c] = pairs[worst].point;
            owner[worst] = c;
        }
    }
}

double totalError(const std::vector<Distinct>& pairs, const std::vector<Point>& centres,
                  const std::vector<std::size_t>& owner) {
    double total = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        total += distance(pairs[i].point, centres[owner[i]]) * pairs[i].count;
    }
    return total;
}

// Lloyd's rounds stop in the nearest local minimum; this leaves it by moves
// of two centres at once: the two whose merging costs least become one, and
// the group of the largest error is split in two by the cut. A move stays
// when, after Lloyd's rounds again, the error is lower.
void improve(const std::vector<Distinct>& pairs, std::vector<Point>& centres,
             std::vector<std::size_t>& owner) {
    const std::size_t n = centres.size();
    if (n < 3) return;
    const double cost = static_cast<double>(pairs.size()) * static_cast<double>(n);
    const int tries =
        std::min(IMPROVE_TRIES, static_cast<int>(IMPROVE_BUDGET / std::max(cost, 1.0)));
    double total = totalError(pairs, centres, owner);
    std::vector<bool> tried(n, false);
    for (int attempt = 0; attempt < tries; ++attempt) {
        const std::vector<Moments> moments = gather(pairs, owner, n);
        double cheapest = std::numeric_limits<double>::max();
        std::size_t a = 0, b = 0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                const double wi = moments[i].weight, wj = moments[j].weight;
                const double merge =
                    wi + wj > 0 ? wi * wj / (wi + wj) * distance(centres[i], centres[j]) : 0;
                if (merge < cheapest) {
                    cheapest = merge;
                    a = i;
                    b = j;
                }
            }
        }
        std::size_t worst = n;
        for (std::size_t c = 0; c < n; ++c) {
            if (c == a || c == b || tried[c]) continue;
            if (worst == n || moments[c].error() > moments[worst].error()) worst = c;
        }
        if (worst == n || moments[worst].error() <= cheapest) break;
        tried[worst] = true;
        std::vector<Distinct> members;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (owner[i] == worst) members.push_back(pairs[i]);
        }
        const std::vector<Point> halves = medianCut(members, 2);
        if (halves.size() < 2) continue;
        std::vector<Point> moved = centres;
        Moments merged = moments[a];
        merged.weight += moments[b].weight;
        for (std::size_t k = 0; k < CHANNELS; ++k) merged.sum[k] += moments[b].sum[k];
        moved[a] = merged.weight > 0 ? merged.mean() : centres[a];
        moved[b] = halves[0];
        moved[worst] = halves[1];
        std::vector<std::size_t> movedOwner = owner;
        lloyd(pairs, moved, movedOwner, IMPROVE_ROUNDS);
        const double movedTotal = totalError(pairs, moved, movedOwner);
        if (movedTotal < total) {
            centres = std::move(moved);
            owner = std::move(movedOwner);
            total = movedTotal;
            std::fill(tried.begin(), tried.end(), false);
        }
    }
}

// The centres made pairs of the format, each kept once; the places freed
// by centres that meet go to the pairs of the largest error, which the
// format holds exactly.
std::vector<Entry> toPalette(const std::vector<Point>& centres, const std::vector<Distinct>& pairs,
                             bool bAlpha) {
    std::vector<Entry> palette;
    const auto known = [&palette](std::uint16_t colour, std::uint32_t alpha) {
        return std::any_of(palette.begin(), palette.end(),
                           [&](const Entry& e) { return e.colour == colour && e.alpha == alpha; });
    };
    for (const Point& centre : centres) {
        const Entry entry = snap(centre, bAlpha);
        if (!known(entry.colour, entry.alpha)) palette.push_back(entry);
    }
    if (palette.size() < centres.size()) {
        const NearestFinder finder(pointsOf(palette), pairs.size());
        std::vector<double> errors(pairs.size());
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const std::size_t e = finder.find(pairs[i].point, 0);
            errors[i] = distance(pairs[i].point, palette[e].point) * pairs[i].count;
        }
        while (palette.size() < centres.size()) {
            const auto worst = static_cast<std::size_t>(
                std::max_element(errors.begin(), errors.end()) - errors.begin());
            if (errors[worst] <= 0) break;
            const Entry entry =
                makeEntry(static_cast<std::uint16_t>(pairs[worst].key >> 6), pairs[worst].key & 63);
            errors[worst] = 0;
            if (known(entry.colour, entry.alpha)) continue;
            palette.push_back(entry);
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                errors[i] =
                    std::min(errors[i], distance(pairs[i].point, entry.point) * pairs[i].count);
            }
        }
    }
    return palette;
}

// The palette: the median cut's boxes refined by Lloyd's rounds, made pairs
// of the format, then refined on those pairs while the error falls.
std::vector<Entry> choosePalette(const std::vector<Distinct>& pairs, std::size_t wanted,
                                 bool bAlpha) {
    std::vector<Point> centres = medianCut(pairs, wanted);
    std::vector<std::size_t> owner(pairs.size(), 0);
    lloyd(pairs, centres, owner, REFINE_ROUNDS);
    improve(pairs, centres, owner);
    std::vector<Entry> palette = toPalette(centres, pairs, bAlpha);
    double error = assign(pairs, pointsOf(palette), owner);
    for (int round = 0; round < SNAP_ROUNDS; ++round) {
        const std::vector<Moments> moments = gather(pairs, owner, palette.size());
        std::vector<Point> moved;
        for (std::size_t c = 0; c < palette.size(); ++c) {
            moved.push_back(moments[c].weight > 0 ? moments[c].mean() : palette[c].point);
        }
        std::vector<Entry> next = toPalette(moved, pairs, bAlpha);
        std::vector<std::size_t> nextOwner = owner;
        const double nextError = assign(pairs, pointsOf(next), nextOwner);
        if (nextError >= error) break;
        palette = std::move(next);
        owner = std::move(nextOwner);
        error = nextError;
    }
    return palette;
}

// Floyd and Steinberg's error diffusion over the visible pixels, on a
// serpentine path; transparent pixels neither take error nor pass it on.
// The error passed on is damped, capped per channel, and damped further at
// edges (by the distance to the most different neighbour), where the noise
// would show most and buy least.
class Diffusion {
public:
    Diffusion(const std::vector<Distinct>& pairs, const std::vector<std::size_t>& pairOf,
              std::size_t width)
        : pairs_(pairs), pairOf_(pairOf), width_(width) {
        const std::size_t size = pairOf.size();
        height_ = width ? size / width : 0;
        const auto pointAt = [&](std::size_t i) {
            return pairOf[i] < pairs.size() ? pairs[pairOf[i]].shown : CLEAR_POINT;
        };
        share_.assign(size, DIFFUSE);
        for (std::size_t y = 0; y < height_; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t i = y * width + x;
                const Point p = pointAt(i);
                double most = 0;
                if (x > 0) most = std::max(most, distance(p, pointAt(i - 1)));
                if (x + 1 < width) most = std::max(most, distance(p, pointAt(i + 1)));
                if (y > 0) most = std::max(most, distance(p, pointAt(i - width)));
                if (y + 1 < height_) most = std::max(most, distance(p, pointAt(i + width)));
                const double t = (std::sqrt(most) - EDGE_LOW) / (EDGE_HIGH - EDGE_LOW);
                share_[i] = DIFFUSE * (1.0 - (1.0 - EDGE_FLOOR) * std::clamp(t, 0.0, 1.0));
            }
        }
    }

    // Fills each visible pixel's entry; returns the squared error.
    double run(const std::vector<Entry>& palette, std::vector<std::size_t>& choice) const {
        const std::vector<Point> points = pointsOf(palette);
        const NearestFinder finder(points, pairOf_.size());
        std::vector<std::size_t> mapped(pairs_.size());
        for (std::size_t j = 0; j < pairs_.size(); ++j) mapped[j] = finder.find(pairs_[j].point, 0);
        double total = 0;
        std::vector<Point> here(width_ + 2, Point{}), next(width_ + 2, Point{});
        for (std::size_t y = 0; y < height_; ++y) {
            std::fill(next.begin(), next.end(), Point{});
            const bool bLeft = y % 2 == 1;
            for (std::size_t step = 0; step < width_; ++step) {
                const std::size_t x = bLeft ? width_ - 1 - step : step;
                const std::size_t i = y * width_ + x;
                const std::size_t pair = pairOf_[i];
                if (pair >= pairs_.size()) continue;
                // A pixel whose own pair is in the palette starts from its
                // look as it is: spreading the loader's rounding would only
                // add noise to the areas the palette holds exactly.
                const Entry& plain = palette[mapped[pair]];
                const bool bHeld = pairKey(plain.colour, plain.alpha) == pairs_[pair].key;
                Point wanted = bHeld ? pairs_[pair].shown : pairs_[pair].point;
                for (std::size_t k = 0; k < CHANNELS; ++k) {
                    wanted[k] += std::clamp(here[x + 1][k], -DIFFUSE_CAP, DIFFUSE_CAP);
                }
                const std::size_t e = finder.find(wanted, mapped[pair]);
                choice[i] = e;
                total += distance(pairs_[pair].point, points[e]);
                const double share = share_[i] / 16;
                const std::size_t ahead = bLeft ? x : x + 2;
                const std::size_t behind = bLeft ? x + 2 : x;
                for (std::size_t k = 0; k < CHANNELS; ++k) {
                    const double error = (wanted[k] - points[e][k]) * share;
                    here[ahead][k] += error * 7;
                    next[behind][k] += error * 3;
                    next[x + 1][k] += error * 5;
                    next[ahead][k] += error * 1;
                }
            }
            std::swap(here, next);
        }
        return total;
    }

private:
    const std::vector<Distinct>& pairs_;
    const std::vector<std::size_t>& pairOf_;
    std::size_t width_, height_ = 0;
    std::vector<double> share_;
};

// A pixel's look over black (channels 0 to 2) and over white (3 to 5).
std::array<double, 6> lookOf(std::uint16_t colour, std::uint32_t alpha) {
    const double a = alpha * 255.0 / ALPHA_OPAQUE;
    const double scale = a / 255.0;
    const std::array<double, 3> p{((colour >> 11) & 31) * 255.0 / 31 * scale,
                                  ((colour >> 5) & 63) * 255.0 / 63 * scale,
                                  (colour & 31) * 255.0 / 31 * scale};
    const double clear = 255.0 - a;
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
        pairs.push_back({key, static_cast<double>(count),
                         sourcePoint(static_cast<std::uint16_t>(key >> 6), key & 63),
                         toPoint(static_cast<std::uint16_t>(key >> 6), key & 63)});
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Distinct& a, const Distinct& b) { return a.key < b.key; });
    std::vector<Entry> palette = choosePalette(pairs, static_cast<std::size_t>(maxPairs), bAlpha);

    // Each pixel's look, and its place among the distinct pairs (none for
    // transparent pixels).
    constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> pairOf(size, NONE);
    {
        std::unordered_map<std::uint32_t, std::size_t> index;
        for (std::size_t j = 0; j < pairs.size(); ++j) index[pairs[j].key] = j;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t alpha = alphaOf(image, i);
            if (alpha != 0) pairOf[i] = index[pairKey(image.pixels[i], alpha)];
        }
    }
    std::vector<std::size_t> choice(size, NONE);
    if (!dither) {
        const NearestFinder finder(pointsOf(palette), pairs.size());
        std::vector<std::size_t> mapped(pairs.size());
        for (std::size_t j = 0; j < pairs.size(); ++j) mapped[j] = finder.find(pairs[j].point, 0);
        for (std::size_t i = 0; i < size; ++i) {
            if (pairOf[i] != NONE) choice[i] = mapped[pairOf[i]];
        }
    } else {
        const auto width = static_cast<std::size_t>(image.width);
        const Diffusion diffusion(pairs, pairOf, width);
        double error = diffusion.run(palette, choice);
        // The entries moved to the mean of the pixels that diffusion gave
        // them, while that lowers the error.
        for (int round = 0; round < DIFFUSE_ROUNDS; ++round) {
            std::vector<Moments> moments(palette.size());
            for (std::size_t i = 0; i < size; ++i) {
                if (choice[i] != NONE) moments[choice[i]].add(pairs[pairOf[i]].point, 1);
            }
            std::vector<Point> moved;
            for (std::size_t c = 0; c < palette.size(); ++c) {
                moved.push_back(moments[c].weight > 0 ? moments[c].mean() : palette[c].point);
            }
            std::vector<Entry> next = toPalette(moved, pairs, bAlpha);
            std::vector<std::size_t> nextChoice(size, NONE);
            const double nextError = diffusion.run(next, nextChoice);
            if (nextError >= error) break;
            palette = std::move(next);
            choice = std::move(nextChoice);
            error = nextError;
        }
    }

    const Image before = image;
    for (std::size_t i = 0; i < size; ++i) {
        if (choice[i] == NONE) continue;
        image.pixels[i] = palette[choice[i]].colour;
        if (bAlpha) image.alpha[i] = static_cast<std::uint8_t>(palette[choice[i]].alpha);
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
