// The encoders' one hashed table: 32-bit keys, raw values or palette keys,
// each with a value beside it or alone, in a fixed power-of-two number of
// slots by open addressing with linear probing.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace rle565 {

// The value type of a table that holds keys alone.
struct NoValue {};

// Keys are any 32-bit values but NO_KEY. The encoders keep each table far
// from full (at most half, mostly an eighth or less), so that nearly every
// key sits in the first slot it looks at and the table stays in the
// first-level cache. Keys are never taken out one by one: clear() empties the
// whole table, visiting only the slots in use, so a fresh table per line or
// per palette costs no more than its keys.
//
// The hot loops look at a key's home slot themselves, through keyData() and
// valueData(), and leave the rest to probe(): a key met before is then found
// without a call and without a load the compiler must repeat.
template <std::size_t SLOTS, class Value = NoValue>
class KeyTable {
    static_assert(std::has_single_bit(SLOTS) && SLOTS >= 2 && SLOTS <= std::size_t{1} << 16,
                  "slots wrap by a mask, are picked by a shift below 32 and kept in 16 bits");

public:
    // Marks an empty slot.
    static constexpr std::uint32_t NO_KEY = 0xFFFFFFFF;

    KeyTable() { keys_.fill(NO_KEY); }

    // The slot where the search for key starts. Fibonacci hashing: the top
    // bits of the product, as many as it takes to number the slots, pick it.
    static std::size_t home(std::uint32_t key) { return (key * 0x9E3779B1u) >> SHIFT; }

    // The slot that holds key, or else the empty slot where it belongs,
    // searching from slot i on; i is home(key) or a slot the search has
    // passed.
    std::size_t probe(std::uint32_t key, std::size_t i) const {
        while (keys_[i] != key && keys_[i] != NO_KEY) i = (i + 1) & MASK;
        return i;
    }
    std::size_t probe(std::uint32_t key) const { return probe(key, home(key)); }

    bool isEmpty(std::size_t i) const { return keys_[i] == NO_KEY; }
    bool holds(std::size_t i, std::uint32_t key) const { return keys_[i] == key; }
    Value value(std::size_t i) const { return values_[i]; }

    // Puts key and its value into slot i, the empty slot that probe() gave
    // for key.
    void put(std::size_t i, std::uint32_t key, Value value = {}) {
        keys_[i] = key;
        if constexpr (HAS_VALUES) values_[i] = value;
        used_[nUsed_++] = static_cast<std::uint16_t>(i);
    }

    bool contains(std::uint32_t key) const { return !isEmpty(probe(key)); }

    // Adds key with its value; false, and the table unchanged, when key was
    // there already.
    bool insert(std::uint32_t key, Value value = {}) {
        const std::size_t i = probe(key);
        if (!isEmpty(i)) return false;
        put(i, key, value);
        return true;
    }

    // The number of keys put since the table was last emptied.
    std::size_t size() const { return nUsed_; }

    void clear() {
        for (std::size_t k = 0; k < nUsed_; ++k) keys_[used_[k]] = NO_KEY;
        nUsed_ = 0;
    }

    // Every slot's key, NO_KEY when empty, and every slot's value, which
    // means something only where the slot holds a key.
    const std::uint32_t* keyData() const { return keys_.data(); }
    const Value* valueData() const { return values_.data(); }

private:
    static constexpr int SHIFT = 32 - std::countr_zero(SLOTS);
    static constexpr std::size_t MASK = SLOTS - 1;
    static constexpr bool HAS_VALUES = !std::is_empty_v<Value>;

    std::array<std::uint32_t, SLOTS> keys_;
    // Zeroed up front, although a value is read only where a key was put:
    // left uninitialised, the single-palette encoder measured a few per cent
    // slower on a sprite sheet.
    [[no_unique_address]] std::array<Value, HAS_VALUES ? SLOTS : 0> values_{};
    // The slots put since the table was last emptied: never more than there
    // are slots.
    std::array<std::uint16_t, SLOTS> used_;
    std::size_t nUsed_ = 0;
};

}  // namespace rle565
