#include "encode_multipal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <span>

#include "bytes.h"
#include "check.h"
#include "rle_line.h"
#include "rle_reader.h"
#include "rle_writer.h"

namespace {

// Width and height travel in 16-bit header fields.
constexpr std::int32_t MAX_SIDE = 65535;

// A palette holds at most 251 keys; this many are too many, for a line's own
// palette and for a merged one alike.
constexpr std::size_t PALETTE_FULL = 252;

// The header's 16-bit entry count bounds the whole palette table.
constexpr std::int32_t MAX_TABLE_ENTRIES = 65535;

// Palette keys take 21 bits, so this value is never a pixel's key.
constexpr std::int32_t NO_KEY = -1;

// The palette key colour × 32 + (alpha − 1) of pixel i, or NO_KEY when the
// pixel is transparent: alpha 0 with an alpha plane, the colour key without.
std::int32_t pixelKey(const Image& image, std::size_t i) {
    const std::int32_t color = image.pixels[i];
    if (image.hasAlpha()) {
        const std::int32_t alpha = image.alpha[i];
        return alpha == 0 ? NO_KEY : color * 32 + (alpha - 1);
    }
    return color == COLOR_KEY ? NO_KEY : color * 32 + (ALPHA_OPAQUE - 1);
}

// A set of up to PALETTE_FULL palette keys, by open addressing in a fixed
// table kept below half full. Emptying it forgets only the slots in use, so
// a fresh set per line or per palette costs no more than its keys.
class KeySet {
public:
    KeySet() { slots_.fill(NO_KEY); }

    std::size_t size() const { return keys_.size(); }
    const std::vector<std::int32_t>& keys() const { return keys_; }

    bool contains(std::int32_t key) const {
        for (std::size_t i = home(key);; i = (i + 1) & MASK) {
            if (slots_[i] == key) return true;
            if (slots_[i] == NO_KEY) return false;
        }
    }

    // Adds key; false when it was there already. The caller never adds more
    // than PALETTE_FULL keys.
    bool insert(std::int32_t key) {
        std::size_t i = home(key);
        while (slots_[i] != NO_KEY) {
            if (slots_[i] == key) return false;
            i = (i + 1) & MASK;
        }
        slots_[i] = key;
        used_.push_back(static_cast<std::uint16_t>(i));
        keys_.push_back(key);
        return true;
    }

    void clear() {
        for (const std::uint16_t i : used_) slots_[i] = NO_KEY;
        used_.clear();
        keys_.clear();
    }

private:
    static constexpr std::size_t SLOTS = 512;
    static constexpr std::size_t MASK = SLOTS - 1;

    // Fibonacci hashing: the top 9 bits of the product pick the slot.
    static std::size_t home(std::int32_t key) {
        return (static_cast<std::uint32_t>(key) * 0x9E3779B1u) >> 23;
    }

    std::array<std::int32_t, SLOTS> slots_;
    std::vector<std::uint16_t> used_;
    std::vector<std::int32_t> keys_;
};

// Gives each line the palette of its own distinct keys, ascending. False as
// soon as a line holds PALETTE_FULL keys; later lines are not looked at.
bool foundLinePalettes(const Image& image, std::vector<Palette>& pals) {
    const auto width = static_cast<std::size_t>(image.width);
    KeySet met;
    for (std::size_t y = 0; y < pals.size(); ++y) {
        met.clear();
        std::int32_t previous = NO_KEY;  // runs are common: their key is in the set already
        for (std::size_t x = 0; x < width; ++x) {
            const std::int32_t c = pixelKey(image, y * width + x);
            if (c == NO_KEY || c == previous) continue;
            previous = c;
            if (met.insert(c) && met.size() == PALETTE_FULL) return false;
        }
        Palette& pal = pals[y];
        pal.palette = met.keys();
        std::sort(pal.palette.begin(), pal.palette.end());
        pal.nUseCount = 1;
    }
    return true;
}

// The number of keys in the union of the palette held in `held` and `other`:
// exact below PALETTE_FULL, else PALETTE_FULL. Counting stops as soon as the
// union is certain to reach it.
std::size_t countUnion(const KeySet& held, const std::vector<std::int32_t>& other) {
    std::size_t num_col = held.size();
    for (const std::int32_t c : other) {
        if (!held.contains(c) && ++num_col == PALETTE_FULL) break;
    }
    return num_col;
}

// For every key, the ascending list of lines whose own palette holds it.
class KeyLines {
public:
    // Lists for the keys 0 to maxKey.
    KeyLines(const std::vector<Palette>& pals, std::int32_t maxKey) {
        // Count each key's lines, turn the counts into list starts, and
        // fill the lists; filling moves each start to the next list's, so
        // the starts are moved back afterwards.
        start_.assign(static_cast<std::size_t>(maxKey) + 2, 0);
        for (const Palette& pal : pals) {
            for (const std::int32_t c : pal.palette) ++start_[static_cast<std::size_t>(c) + 1];
        }
        for (std::size_t k = 1; k < start_.size(); ++k) start_[k] += start_[k - 1];
        lines_.resize(start_.back());
        for (std::size_t y = 0; y < pals.size(); ++y) {
            for (const std::int32_t c : pals[y].palette) {
                lines_[start_[static_cast<std::size_t>(c)]++] = static_cast<std::uint32_t>(y);
            }
        }
        for (std::size_t k = start_.size() - 1; k > 0; --k) start_[k] = start_[k - 1];
        start_[0] = 0;
    }

    // How many lines hold key c.
    std::size_t count(std::int32_t c) const {
        const auto k = static_cast<std::size_t>(c);
        return start_[k + 1] - start_[k];
    }

    // The lines after line y that hold key c.
    std::span<const std::uint32_t> linesAfter(std::int32_t c, std::size_t y) const {
        const auto k = static_cast<std::size_t>(c);
        const auto begin = lines_.begin() + start_[k];
        const auto end = lines_.begin() + start_[k + 1];
        return {std::upper_bound(begin, end, static_cast<std::uint32_t>(y)), end};
    }

private:
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
    // The lines by key need a table as large as the largest key, so they are
    // built only when comparing every pair of lines could cost more.
    std::int32_t maxKey = 0;
    std::size_t nKeys = 0;
    for (const Palette& pal : pals) {
        if (!pal.palette.empty()) maxKey = std::max(maxKey, pal.palette.back());
        nKeys += pal.palette.size();
    }
    std::optional<KeyLines> keyLines;
    if (height * height / 2 * PALETTE_FULL > static_cast<std::size_t>(maxKey) + nKeys) {
        keyLines.emplace(pals, maxKey);
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
            for (const std::int32_t c : pals[i].palette) held.insert(c);
        }
        for (std::size_t j = i + 1; j < height; ++j) {
            if (pals[j].nUseCount == 0) continue;
            const std::size_t num_col = bViaLines
                                            ? pals[i].palette.size() + pals[j].palette.size() -
                                                  static_cast<std::size_t>(shared[j])
                                            : countUnion(held, pals[j].palette);
            if (num_col >= PALETTE_FULL) continue;
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
                    held.insert(c);
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

EncodeResult encodeMultipal(const Image& image, const char* outputPath, std::int32_t& nColors) {
    if (image.width < 0 || image.width > MAX_SIDE || image.height < 0 || image.height > MAX_SIDE) {
        return EncodeResult::TooLarge;
    }
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    const bool bAlpha = image.hasAlpha();

    std::vector<Palette> pals(height);
    if (!foundLinePalettes(image, pals)) {
        nColors = static_cast<std::int32_t>(PALETTE_FULL);
        return EncodeResult::TooManyColors;
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

    // A line's codes take at most width bytes plus a switch code; the buffers
    // are reserved for that once. Both factors are 16-bit values plus 3.
    std::vector<std::uint8_t> codes;
    codes.reserve(*checkedMul(width + 3, height));
    std::vector<std::uint8_t> lineLengths;
    lineLengths.reserve(std::size_t{height} * 3);
    std::vector<std::uint8_t> values(width);
    for (std::size_t y = 0; y < height; ++y) {
        Palette& pal = pals[static_cast<std::size_t>((*lineToPal)[y])];
        RLE_CHECK(pal.nUseCount, "pal.nUseCount");
        --pal.nUseCount;
        const std::size_t start = codes.size();
        // Every line starts at base 0, so each line of a later palette needs
        // its own switch code, even after a line of the same palette.
        if (pal.nPtr != 0) {
            RLE_CHECK(pal.nPtr < 65536, "pal.nPtr<65536");
            std::array<std::uint8_t, 2> base;
            storeLe16(base.data(), static_cast<std::uint16_t>(pal.nPtr));
            codes.push_back(CODE_SWITCH);
            codes.insert(codes.end(), base.begin(), base.end());
        }
        std::int32_t previous = NO_KEY;
        std::size_t color = 0;
        for (std::size_t x = 0; x < width; ++x) {
            const std::int32_t c = pixelKey(image, y * width + x);
            if (c == NO_KEY) {
                values[x] = 0;
                continue;
            }
            if (c != previous) {
                previous = c;
                const auto found = std::lower_bound(pal.palette.begin(), pal.palette.end(), c);
                color = found != pal.palette.end() && *found == c
                            ? static_cast<std::size_t>(found - pal.palette.begin())
                            : pal.palette.size();
                RLE_CHECK(color < pal.palette.size(), "color<pal.palette.size()");
                ++color;
                RLE_CHECK(palette[color + static_cast<std::size_t>(pal.nPtr)] == (c >> 5),
                          "palette[color+pal.nPtr]==(c>>5)");
            }
            values[x] = static_cast<std::uint8_t>(color);
        }
        encodeRleLine(values, codes);
        const std::size_t count = codes.size() - start;
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
    if (!writeRleFile(outputPath, header, palette, alphas, lineLengths, codes)) {
        return EncodeResult::WriteFailed;
    }
    return EncodeResult::Written;
}
