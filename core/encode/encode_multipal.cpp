#include "encode/encode_multipal.h"

#include <rle565/rle_format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "bytes.h"
#include "check.h"
#include "encode/key_table.h"
#include "encode/limits.h"
#include "encode/pixel_source.h"
#include "encode/rle_line.h"
#include "formats/rle_writer.h"
#include "memory.h"

namespace rle565 {

namespace {

// The header's 16-bit entry count bounds the whole palette table.
constexpr std::int32_t MAX_TABLE_ENTRIES = MAX_FIELD;

// The low five bits of a key: its alpha less one.
constexpr std::int32_t ALPHA_BITS = 31;
constexpr std::size_t KEY_COUNT = std::size_t{1} << 21;

// A set of up to PALETTE_FULL palette keys, kept below half full. Keys take
// 21 bits, so none is the table's NO_KEY.
using KeySet = KeyTable<512>;

// Sorts at most SORT_MAX entries of LineKeys::sorted by key: a counting
// sort on each byte of the key in turn, lowest first, over the bits in which
// the keys differ (16 without an alpha plane, as the alpha bits are all set).
// Much cheaper than comparison sorting for lines of a few hundred keys, whose
// order no comparison can predict.
constexpr std::size_t SORT_MAX = 256;
void sortByKey(std::span<std::uint32_t> entries) {
    RLE_CHECK(entries.size() <= SORT_MAX, "entries.size()<=SORT_MAX");
    if (entries.empty()) return;
    std::uint32_t differ = 0;
    for (const std::uint32_t entry : entries) differ |= (entry ^ entries[0]) >> 8;
    if (differ == 0) return;
    const int low = 8 + std::countr_zero(differ);
    const int digits = (std::bit_width(differ) - std::countr_zero(differ) + 7) / 8;
    std::array<std::array<std::uint16_t, 256>, 3> counts{};
    for (const std::uint32_t entry : entries) {
        for (int d = 0; d < digits; ++d) ++counts[d][entry >> (low + 8 * d) & 0xFF];
    }
    std::array<std::uint32_t, SORT_MAX> buffer;
    std::span<std::uint32_t> from = entries;
    std::span<std::uint32_t> to(buffer.data(), entries.size());
    for (int d = 0; d < digits; ++d) {
        const int shift = low + 8 * d;
        std::uint16_t sum = 0;
        for (std::uint16_t& count : counts[d]) {
            const std::uint16_t n = count;
            count = sum;
            sum = static_cast<std::uint16_t>(sum + n);
        }
        for (const std::uint32_t entry : from) to[counts[d][entry >> shift & 0xFF]++] = entry;
        std::swap(from, to);
    }
    if (from.data() != entries.data()) std::copy(from.begin(), from.end(), entries.begin());
}

// The keys of one line in the order of their first occurrence, and the
// number of each raw value met on the line: its key's position in that order
// from 1, or 0 for the transparent value. With an alpha plane the numbers sit
// in a hashed table that a full line keeps below one sixteenth full, so nearly
// every pixel finds its raw value in the first slot it looks at.
class AlphaLineNumbers {
public:
    AlphaLineNumbers() { clear(); }

    // The number of keys met, at most PALETTE_FULL: a line that reaches
    // PALETTE_FULL cannot be coded, so no key is added after that.
    std::size_t size() const { return keys_.size(); }

    // Numbers the width pixels of source from first into numbers.
    void numberLine(const PixelSource<true>& source, std::size_t first, std::size_t width,
                    std::uint8_t* numbers) {
        // Locals, so that the stores of bytes cannot make the compiler
        // fetch them again for every pixel.
        const PixelSource<true> pixels = source;
        const std::uint32_t* const raws = numbers_.keyData();
        const std::uint8_t* const found = numbers_.valueData();
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint32_t raw = pixels.raw(first + x);
            const std::size_t i = Numbers::home(raw);
            numbers[x] = raws[i] == raw ? found[i] : add(raw, i);
        }
    }

    // Appends the line's keys with their numbers to `sorted`, as key << 8 |
    // number, ascending.
    void appendSorted(std::vector<std::uint32_t>& sorted) const {
        const std::size_t first = sorted.size();
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            sorted.push_back(static_cast<std::uint32_t>(keys_[k]) << 8 |
                             static_cast<std::uint32_t>(k + 1));
        }
        sortByKey(std::span(sorted).subspan(first));
    }

    // Forgets every key; the transparent value keeps its number 0.
    void clear() {
        numbers_.clear();
        keys_.clear();
        numbers_.insert(PixelSource<true>::TRANSPARENT, 0);
    }

private:
    using Numbers = KeyTable<4096, std::uint8_t>;

    // The rest of numberLine(): raw is not in slot i.
    [[gnu::noinline]] std::uint8_t add(std::uint32_t raw, std::size_t i) {
        i = numbers_.probe(raw, i);
        if (!numbers_.isEmpty(i)) return numbers_.value(i);
        if (keys_.size() == PALETTE_FULL) return 0;
        keys_.push_back(static_cast<std::int32_t>(PixelSource<true>::key(raw)));
        const auto number = static_cast<std::uint8_t>(keys_.size());
        numbers_.put(i, raw, number);
        return number;
    }

    Numbers numbers_;
    std::vector<std::int32_t> keys_;
};

// The same for images without an alpha plane, whose raw values are their
// 16-bit colours: a table with a byte per colour, which saves the hashing and
// fits the first level cache. Numbers are not a line's own here: a colour
// keeps its number from line to line until the table runs out of numbers,
// so a line that shows the colours of the lines above, as lines of one band
// do, numbers every pixel without leaving the loop for a new colour. The
// colours numbered are kept ascending, and a byte per number tells whether
// the current line shows it; the line's keys come out of those in order.
class ColorLineNumbers {
public:
    ColorLineNumbers() : numbers_(COLORS, NONE) {
        numbers_[PixelSource<false>::TRANSPARENT] = 0;
        shown_.fill(0);
        order_.reserve(NUMBERS);
    }

    // The number of keys on the line numbered last: exact below
    // PALETTE_FULL, else PALETTE_FULL.
    std::size_t size() const { return nKeys_; }

    // Numbers the width pixels of source from first into numbers.
    void numberLine(const PixelSource<false>& source, std::size_t first, std::size_t width,
                    std::uint8_t* numbers) {
        // Locals, so that the stores of bytes cannot make the compiler
        // fetch them again for every pixel.
        const std::uint16_t* const pixels = source.pixels + first;
        const std::uint8_t* const found = numbers_.data();
        std::uint8_t* const shown = shown_.data();
        bool emptied = false;  // whether the table was emptied for this line
        std::size_t x = 0;
        while (x < width) {
            // Colours numbered already, the bulk of a line: a loop without a
            // call, which keeps everything in registers, four pixels a turn
            // with their numbers stored at once.
            for (; x + 4 <= width; x += 4) {
                const std::uint8_t n0 = found[pixels[x]];
                const std::uint8_t n1 = found[pixels[x + 1]];
                const std::uint8_t n2 = found[pixels[x + 2]];
                const std::uint8_t n3 = found[pixels[x + 3]];
                if ((n0 == NONE) | (n1 == NONE) | (n2 == NONE) | (n3 == NONE)) break;
                const std::array<std::uint8_t, 4> four{n0, n1, n2, n3};
                std::memcpy(numbers + x, four.data(), four.size());
                shown[n0] = 1;
                shown[n1] = 1;
                shown[n2] = 1;
                shown[n3] = 1;
            }
            for (; x < width; ++x) {
                const std::uint8_t number = found[pixels[x]];
                if (number == NONE) break;
                numbers[x] = number;
                shown[number] = 1;
            }
            if (x == width) break;
            if (order_.size() == NUMBERS) {
                // Out of numbers: start this line again on an empty table.
                // A line that runs out on its own holds too many keys.
                if (emptied) {
                    nKeys_ = PALETTE_FULL;
                    shown_.fill(0);
                    return;
                }
                forget();
                emptied = true;
                x = 0;
                continue;
            }
            numbers[x] = add(pixels[x]);
            shown[numbers[x]] = 1;
            ++x;
        }
        if (order_.size() > nSorted_) mergeNew();
        // The line's keys, ascending, without a branch per key.
        std::size_t n = 0;
        for (const std::uint32_t entry : order_) {
            lineKeys_[n] = entry;
            n += shown[entry & 0xFF];
        }
        nKeys_ = std::min(n, PALETTE_FULL);
        shown_.fill(0);
    }

    // Appends the keys of the line numbered last with their numbers to
    // `sorted`, as key << 8 | number, ascending.
    void appendSorted(std::vector<std::uint32_t>& sorted) const {
        sorted.insert(sorted.end(), lineKeys_.begin(),
                      lineKeys_.begin() + static_cast<std::ptrdiff_t>(nKeys_));
    }

private:
    static constexpr std::size_t COLORS = std::size_t{1} << 16;
    // Marks a colour without a number; numbers run from 1 to NUMBERS.
    static constexpr std::uint8_t NONE = 0xFF;
    static constexpr std::size_t NUMBERS = NONE - 1;

    // The rest of numberLine(): raw is new to the table, which has room.
    // The colour joins the unsorted end of order_.
    [[gnu::noinline]] std::uint8_t add(std::uint32_t raw) {
        const auto number = static_cast<std::uint8_t>(order_.size() + 1);
        numbers_[raw] = number;
        const auto key = static_cast<std::uint32_t>(PixelSource<false>::key(raw));
        order_.push_back(key << 8 | number);
        return number;
    }

    // Sorts the colours numbered on this line into the others: a line of a
    // band adds a few, a line of colours of its own a few hundred.
    void mergeNew() {
        const auto sorted = order_.begin() + static_cast<std::ptrdiff_t>(nSorted_);
        sortByKey(std::span(sorted, order_.end()));
        const auto end = std::merge(order_.begin(), sorted, sorted, order_.end(), merged_.begin());
        std::copy(merged_.begin(), end, order_.begin());
        nSorted_ = order_.size();
    }

    // Takes the numbers back from every colour.
    void forget() {
        for (const std::uint32_t entry : order_) numbers_[(entry >> 8) / 32] = NONE;
        order_.clear();
        nSorted_ = 0;
        shown_.fill(0);
    }

    std::vector<std::uint8_t> numbers_;
    // Colours with a number as key << 8 | number: the first nSorted_
    // ascending, then those numbered since.
    std::vector<std::uint32_t> order_;
    std::size_t nSorted_ = 0;
    std::array<std::uint32_t, NUMBERS> merged_;
    std::array<std::uint8_t, 256> shown_;
    std::array<std::uint32_t, NUMBERS> lineKeys_{};
    std::size_t nKeys_ = 0;
};

template <bool bAlpha>
using LineNumbers = std::conditional_t<bAlpha, AlphaLineNumbers, ColorLineNumbers>;

// A switch code: CODE_SWITCH and a 16-bit base.
constexpr std::size_t SWITCH_SIZE = 3;

// What step 1 leaves for the coding of each line: the number of every pixel,
// 1 to 254 for a key (the same number for the same key within a line) and 0
// for a transparent pixel, and each line's keys ascending, every one with its
// number, as key << 8 | number. Keys take 21 bits, so these values sort by
// key. Line y's entries are sorted[start[y]] to sorted[start[y + 1]].
//
// The numbers lie in the buffer that takes the codes later, so that its
// memory is fetched from the system once. The buffer has a slot for each line
// as large as the line's codes can be, a switch code and a byte per pixel;
// the numbers of a line fill the end of its slot. The codes of a line never
// start after its slot, as those before took no more than theirs, and coding
// never gets ahead of the values it reads, so the codes overwrite only
// numbers that have served.
struct LineKeys {
    std::span<std::uint8_t> slots;
    std::size_t width = 0;
    std::vector<std::uint32_t> sorted;
    std::vector<std::size_t> start;

    std::span<std::uint8_t> numbers(std::size_t y) const {
        return slots.subspan(y * (SWITCH_SIZE + width) + SWITCH_SIZE, width);
    }
};

// Gives each line the palette of its own distinct keys, ascending, and fills
// `lines`. False as soon as a line holds PALETTE_FULL keys; later lines are
// not looked at.
template <bool bAlpha>
bool foundLinePalettes(const PixelSource<bAlpha>& source, std::vector<Palette>& pals,
                       LineKeys& lines) {
    const std::size_t width = lines.width;
    lines.start.assign(1, 0);
    lines.start.reserve(pals.size() + 1);
    // Room for full lines: the pages that stay unused are never touched,
    // while growing step by step would copy the entries and touch fresh
    // pages each time.
    lines.sorted.reserve(pals.size() * (PALETTE_FULL - 1));
    // Large enough to live on the heap.
    const auto met = std::make_unique<LineNumbers<bAlpha>>();
    for (std::size_t y = 0; y < pals.size(); ++y) {
        std::uint8_t* const numbers = lines.numbers(y).data();
        met->numberLine(source, y * width, width, numbers);
        if (met->size() == PALETTE_FULL) return false;
        const std::size_t first = lines.sorted.size();
        met->appendSorted(lines.sorted);
        if constexpr (bAlpha) met->clear();
        const std::size_t nKeys = lines.sorted.size() - first;
        Palette& pal = pals[y];
        pal.palette.resize(nKeys);
        for (std::size_t k = 0; k < nKeys; ++k) {
            pal.palette[k] = static_cast<std::int32_t>(lines.sorted[first + k] >> 8);
        }
        pal.nUseCount = 1;
        lines.start.push_back(lines.sorted.size());
    }
    return true;
}

// The number of keys in the union of the palette held in `held` and `other`:
// exact below PALETTE_FULL, else PALETTE_FULL. Counting stops as soon as the
// union is certain to reach it.
std::size_t countUnion(const KeySet& held, const std::vector<std::int32_t>& other) {
    std::size_t num_col = held.size();
    for (const std::int32_t c : other) {
        if (!held.contains(static_cast<std::uint32_t>(c)) && ++num_col == PALETTE_FULL) break;
    }
    return num_col;
}

// The number of bits set in x, in a few arithmetic steps: std::popcount is a
// library call where the build does not assume a bit counting instruction.
std::size_t countBits(std::uint64_t x) {
    x -= x >> 1 & 0x5555555555555555;
    x = (x & 0x3333333333333333) + (x >> 2 & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<std::size_t>((x * 0x0101010101010101) >> 56);
}

// For every key, the ascending list of lines whose own palette holds it. The
// lists are found through the rank of the key among the keys present, so that
// the tables grow with the number of keys rather than with the largest key.
// When every key ends in the same `shift` bits (all alpha bits set, in images
// without an alpha plane), those bits are dropped first: the tables then take
// 32 times less memory and stay in the first-level cache.
class KeyLines {
public:
    // Lists for the nKeys keys of pals, which are 0 to maxKey.
    KeyLines(const std::vector<Palette>& pals, std::int32_t maxKey, std::size_t nKeys, int shift)
        : shift_(shift) {
        present_.assign((static_cast<std::size_t>(maxKey) >> shift_) / 64 + 1, 0);
        for (const Palette& pal : pals) {
            for (const std::int32_t c : pal.palette) {
                const auto k = static_cast<std::size_t>(c) >> shift_;
                present_[k >> 6] |= std::uint64_t{1} << (k & 63);
            }
        }
        before_.resize(present_.size());
        std::uint32_t nPresent = 0;
        for (std::size_t w = 0; w < present_.size(); ++w) {
            before_[w] = nPresent;
            nPresent += static_cast<std::uint32_t>(countBits(present_[w]));
        }
        // Count each key's lines, turn the counts into list starts, and
        // fill the lists; filling moves each start to the next list's, so
        // the starts are moved back afterwards.
        // The ranks are kept for the filling, which is cheaper than finding
        // them again.
        start_.assign(std::size_t{nPresent} + 1, 0);
        std::vector<std::uint32_t> ranks;
        ranks.reserve(nKeys);
        for (const Palette& pal : pals) {
            for (const std::int32_t c : pal.palette) {
                const auto k = static_cast<std::uint32_t>(rank(c));
                ranks.push_back(k);
                ++start_[k + 1];
            }
        }
        for (std::size_t k = 1; k < start_.size(); ++k) start_[k] += start_[k - 1];
        lines_.resize(start_.back());
        const std::uint32_t* nextRank = ranks.data();
        for (std::size_t y = 0; y < pals.size(); ++y) {
            for (std::size_t n = pals[y].palette.size(); n > 0; --n) {
                lines_[start_[*nextRank++]++] = static_cast<std::uint32_t>(y);
            }
        }
        for (std::size_t k = start_.size() - 1; k > 0; --k) start_[k] = start_[k - 1];
        start_[0] = 0;
    }

    // How many lines hold key c, a key of a line palette.
    std::size_t count(std::int32_t c) const {
        const std::size_t k = rank(c);
        return start_[k + 1] - start_[k];
    }

    // The lines after line y that hold key c, a key of a line palette.
    std::span<const std::uint32_t> linesAfter(std::int32_t c, std::size_t y) const {
        const std::size_t k = rank(c);
        const auto begin = lines_.begin() + start_[k];
        const auto end = lines_.begin() + start_[k + 1];
        return {std::upper_bound(begin, end, static_cast<std::uint32_t>(y)), end};
    }

private:
    // The number of keys present below c.
    std::size_t rank(std::int32_t c) const {
        const auto k = static_cast<std::size_t>(c) >> shift_;
        const std::uint64_t below = present_[k >> 6] & ((std::uint64_t{1} << (k & 63)) - 1);
        return before_[k >> 6] + countBits(below);
    }

    int shift_;                           // low bits that all keys share
    std::vector<std::uint64_t> present_;  // a bit per key up to the largest
    std::vector<std::uint32_t> before_;   // keys present below each word of present_
    std::vector<std::uint32_t> start_;
    std::vector<std::uint32_t> lines_;
};

// Adds 1 to shared[j] for every line j after `after` whose own palette holds c.
void countShared(const KeyLines& keyLines, std::int32_t c, std::size_t after,
                 std::vector<std::int32_t>& shared) {
    for (const std::uint32_t j : keyLines.linesAfter(c, after)) ++shared[j];
}

}  // namespace

std::optional<std::vector<std::int32_t>> mergePalettes(std::vector<Palette>& pals) {
    const std::size_t height = pals.size();
    std::vector<std::int32_t> lineToPal(height);
    for (std::size_t y = 0; y < height; ++y) lineToPal[y] = static_cast<std::int32_t>(y);
    if (height < 2) return lineToPal;

    // Unions are counted in one of two ways, whichever is cheaper for the
    // absorbing palette; both give the same counts, so the merge is the same.
    // - Via the lines by key: shared[j] counts the keys that each later line
    //   has in common with palette i, found through the lists of i's keys.
    //   Cheap when lines share few colours. It relies on every later line
    //   still having its own palette, which holds: only palette i changes.
    // - By looking up each later line's keys in `held`, stopping as soon as
    //   the union is certain to be too large. Cheap when i is nearly full.
    // The lines by key need a bit for every key up to the largest, so they
    // are built only when comparing every pair of lines could cost more.
    std::int32_t maxKey = 0;
    std::size_t nKeys = 0;
    // The alpha bits of every key, ANDed and ORed: equal when all keys share them.
    std::int32_t alphaAnd = ALPHA_BITS;
    std::int32_t alphaOr = 0;
    for (const Palette& pal : pals) {
        if (!pal.palette.empty()) maxKey = std::max(maxKey, pal.palette.back());
        nKeys += pal.palette.size();
        for (const std::int32_t c : pal.palette) {
            alphaAnd &= c;
            alphaOr |= c;
        }
    }
    const int shift = (alphaAnd & ALPHA_BITS) == (alphaOr & ALPHA_BITS) ? 5 : 0;
    std::optional<KeyLines> keyLines;
    if (height * height / 2 * PALETTE_FULL >
        (static_cast<std::size_t>(maxKey) >> shift) / 64 + nKeys) {
        keyLines.emplace(pals, maxKey, nKeys, shift);
    }
    std::vector<std::int32_t> shared(keyLines ? height : 0);
    KeySet held;
    std::vector<std::int32_t> result;
    std::vector<std::int32_t> added;
    std::size_t nAhead = height;  // palettes in use after i
    // Entry 0 plus the keys of the palettes in use that are done absorbing:
    // they never change again, so this bounds the final table size from below.
    std::size_t nFinished = 1;
    for (std::size_t i = 0; i + 1 < height; ++i) {
        if (pals[i].nUseCount == 0) continue;
        --nAhead;
        bool bViaLines = false;
        if (keyLines) {
            std::size_t viaLines = 0;
            for (const std::int32_t c : pals[i].palette) viaLines += keyLines->count(c);
            bViaLines = viaLines < nAhead * (PALETTE_FULL - pals[i].palette.size());
        }
        if (bViaLines) {
            std::fill(shared.begin() + static_cast<std::ptrdiff_t>(i) + 1, shared.end(), 0);
            for (const std::int32_t c : pals[i].palette) countShared(*keyLines, c, i, shared);
        } else {
            held.clear();
            for (const std::int32_t c : pals[i].palette) held.insert(static_cast<std::uint32_t>(c));
        }
        for (std::size_t j = i + 1; j < height; ++j) {
            if (pals[j].nUseCount == 0) continue;
            const std::size_t num_col = bViaLines
                                            ? pals[i].palette.size() + pals[j].palette.size() -
                                                  static_cast<std::size_t>(shared[j])
                                            : countUnion(held, pals[j].palette);
            if (num_col >= PALETTE_FULL) continue;
            if (num_col == pals[i].palette.size()) {
                // Line j's keys are all in palette i already, the usual case
                // once a palette has taken in a few lines of a band: nothing
                // to add, nothing more to count.
                pals[i].nUseCount += pals[j].nUseCount;
                pals[j].nUseCount = 0;
                --nAhead;
                lineToPal[j] = static_cast<std::int32_t>(i);
                continue;
            }
            added.clear();
            std::set_difference(pals[j].palette.begin(), pals[j].palette.end(),
                                pals[i].palette.begin(), pals[i].palette.end(),
                                std::back_inserter(added));
            result.clear();
            std::set_union(pals[i].palette.begin(), pals[i].palette.end(), pals[j].palette.begin(),
                           pals[j].palette.end(), std::back_inserter(result));
            RLE_CHECK(result.size() == num_col, "result.size()==num_col");
            pals[i].palette.swap(result);
            for (const std::int32_t c : added) {
                if (bViaLines) {
                    countShared(*keyLines, c, j, shared);
                } else {
                    held.insert(static_cast<std::uint32_t>(c));
                }
            }
            pals[i].nUseCount += pals[j].nUseCount;
            pals[j].nUseCount = 0;
            --nAhead;
            // Only line j itself can point at palette j: a palette takes in
            // other lines only while it is the absorbing one, and that comes
            // after every palette before it has been done with.
            lineToPal[j] = static_cast<std::int32_t>(i);
        }
        nFinished += pals[i].palette.size();
        if (nFinished > MAX_TABLE_ENTRIES) return std::nullopt;
    }
    return lineToPal;
}

namespace {

// The palette entry count of the image whose line palettes `lines` holds: its
// distinct pairs plus entry 0. Without an alpha plane every key has all its
// alpha bits set, so the colour alone tells keys apart and the bitmap takes
// 32 times less memory.
template <bool bAlpha>
std::int32_t countEntries(const LineKeys& lines) {
    constexpr int SHIFT = bAlpha ? 0 : 5;
    std::vector<std::uint64_t> met((KEY_COUNT >> SHIFT) / 64);
    std::int32_t nPaletteCount = 1;
    for (const std::uint32_t entry : lines.sorted) {
        const std::uint32_t c = entry >> (8 + SHIFT);
        std::uint64_t& word = met[c >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (c & 63);
        if ((word & bit) == 0) ++nPaletteCount;
        word |= bit;
    }
    return nPaletteCount;
}

// encodeMultipal, and with bCount countAndEncodeMultipal.
template <bool bAlpha>
std::optional<EncodeResult> encodePixels(const Image& image, const OutputTarget& output,
                                         std::int32_t& nColors, bool bCount) {
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);

    // Every line's codes take at most a switch code and a byte per pixel;
    // the buffer is sized for that once and left uninitialised, as step 1
    // fills what coding reads. Both factors are 16-bit values plus 3.
    const std::size_t codesSize = *checkedMul(static_cast<std::uint32_t>(width + SWITCH_SIZE),
                                              static_cast<std::uint32_t>(height));
    auto codes = std::make_unique_for_overwrite<std::uint8_t[]>(codesSize);
    prepareBlock(codes.get(), codesSize);
    std::vector<Palette> pals(height);
    LineKeys lines;
    lines.slots = std::span(codes.get(), codesSize);
    lines.width = width;
    if (!foundLinePalettes(PixelSource<bAlpha>{image.pixels.data(), image.alpha.data()}, pals,
                           lines)) {
        if (bCount) return std::nullopt;
        nColors = static_cast<std::int32_t>(PALETTE_FULL);
        return EncodeResult::TooManyColors;
    }
    if (bCount) {
        const std::int32_t nPaletteCount = countEntries<bAlpha>(lines);
        if (nPaletteCount > PAIR_LIMIT) {
            nColors = PAIR_LIMIT;
            return EncodeResult::TooManyColors;
        }
        nColors = nPaletteCount;
    }
    const std::optional<std::vector<std::int32_t>> lineToPal = mergePalettes(pals);
    if (!lineToPal) return EncodeResult::TooManyColors;

    // Lay the palettes in use out one after another from entry 1. A base is
    // always below the table size, so a table within 16 bits keeps every
    // switch code within 16 bits too.
    std::int32_t nPaletteSize = 1;
    for (Palette& pal : pals) {
        if (pal.nUseCount == 0) continue;
        pal.nPtr = nPaletteSize - 1;
        nPaletteSize += static_cast<std::int32_t>(pal.palette.size());
        if (nPaletteSize > MAX_TABLE_ENTRIES) return EncodeResult::TooManyColors;
    }
    const auto tableSize = static_cast<std::size_t>(nPaletteSize);
    std::vector<std::uint16_t> palette(tableSize);
    std::vector<std::uint8_t> alphaPalette(tableSize);
    palette[0] = COLOR_KEY;
    alphaPalette[0] = 0;
    std::int32_t cnt = 1;
    for (const Palette& pal : pals) {
        if (pal.nUseCount == 0) continue;
        for (const std::int32_t c : pal.palette) {
            palette[static_cast<std::size_t>(cnt)] = static_cast<std::uint16_t>(c >> 5);
            alphaPalette[static_cast<std::size_t>(cnt)] = static_cast<std::uint8_t>((c & 31) + 1);
            ++cnt;
        }
    }
    RLE_CHECK(cnt == nPaletteSize, "cnt==nPaletteSize");

    std::size_t nCodes = 0;
    std::vector<std::uint8_t> lineLengths;
    lineLengths.reserve(height * MAX_LENGTH_ENTRY_SIZE);
    // A line's value for each of its numbers: the position of the key in the
    // line's palette, from 1. Number 0, a transparent pixel, stays value 0.
    std::array<std::uint8_t, 256> valueOf{};
    for (std::size_t y = 0; y < height; ++y) {
        Palette& pal = pals[static_cast<std::size_t>((*lineToPal)[y])];
        RLE_CHECK(pal.nUseCount, "pal.nUseCount");
        --pal.nUseCount;
        const std::size_t start = nCodes;
        // Every line starts at base 0, so each line of a later palette needs
        // its own switch code, even after a line of the same palette.
        if (pal.nPtr != 0) {
            RLE_CHECK(pal.nPtr <= MAX_FIELD, "pal.nPtr<65536");
            codes[nCodes] = CODE_SWITCH;
            storeLe16(&codes[nCodes + 1], static_cast<std::uint16_t>(pal.nPtr));
            nCodes += SWITCH_SIZE;
        }
        // The line's keys and the palette are both ascending, and the keys
        // are a subset of the palette: one walk finds every key's position.
        // The walk goes over the palette without a branch per entry: the
        // current key's number gets each position in turn until the key
        // matches, so the last value it gets is its own. Each key stands for
        // all the pixels that carry its number, so the checks on it hold for
        // each of those pixels.
        const std::uint32_t* key = lines.sorted.data() + lines.start[y];
        const std::uint32_t* const keysEnd = lines.sorted.data() + lines.start[y + 1];
        const std::size_t palSize = pal.palette.size();
        for (std::size_t f = 0; f < palSize && key != keysEnd; ++f) {
            valueOf[*key & 0xFF] = static_cast<std::uint8_t>(f + 1);
            key += pal.palette[f] == static_cast<std::int32_t>(*key >> 8);
        }
        RLE_CHECK(key == keysEnd, "key==keysEnd");
        // Coded straight from the numbers, each turned into its value on the way.
        nCodes += encodeRleLine(lines.numbers(y),
                                std::span(codes.get() + nCodes, codesSize - nCodes), valueOf);
        const std::size_t count = nCodes - start;
        if (count > MAX_LINE_BYTES) return EncodeResult::TooLarge;
        appendLineLength(count, lineLengths);
    }

    RleHeader header;
    header.flags = static_cast<std::uint16_t>(RLE_MULTIPAL | (bAlpha ? RLE_ALPHA : 0));
    header.width = static_cast<std::uint16_t>(width);
    header.height = static_cast<std::uint16_t>(height);
    header.paletteSize = static_cast<std::uint16_t>(nPaletteSize);
    const std::span<const std::uint8_t> alphas =
        bAlpha ? std::span<const std::uint8_t>(alphaPalette) : std::span<const std::uint8_t>();
    if (!writeRleFile(output, header, palette, alphas, lineLengths,
                      std::span(codes.get(), nCodes))) {
        return EncodeResult::WriteFailed;
    }
    return EncodeResult::Written;
}

}  // namespace

EncodeResult encodeMultipal(const Image& image, const OutputTarget& output, std::int32_t& nColors,
                            CheckFailure* failure) {
    if (!sidesFit(image)) return EncodeResult::TooLarge;
    return catchCheckFailure(failure, [&] {
        if (image.hasAlpha()) return *encodePixels<true>(image, output, nColors, false);
        return *encodePixels<false>(image, output, nColors, false);
    });
}

std::optional<EncodeResult> countAndEncodeMultipal(const Image& image, const OutputTarget& output,
                                                   std::int32_t& nColors, CheckFailure* failure) {
    if (!sidesFit(image)) return EncodeResult::TooLarge;
    return catchCheckFailure(failure, [&] {
        if (image.hasAlpha()) return encodePixels<true>(image, output, nColors, true);
        return encodePixels<false>(image, output, nColors, true);
    });
}

}  // namespace rle565
