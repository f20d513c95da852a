// The encoders' hashed table: keys that share a home slot, the wrap at the
// last slot, a table filled to its last slot, and emptying, against a map.
#include "encode/key_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

using namespace rle565;

namespace {

// The first `count` keys from `from` on whose search starts at slot `home`.
template <class Table>
std::vector<std::uint32_t> keysAtHome(std::size_t home, std::size_t count, std::uint32_t from = 0) {
    std::vector<std::uint32_t> keys;
    for (std::uint32_t key = from; keys.size() < count; ++key) {
        if (Table::home(key) == home) keys.push_back(key);
    }
    return keys;
}

// Keys of one home take the slots after it in the order they came, wrapping
// from the last slot to the first, and each keeps its own value.
TEST(KeyTable, CollidingKeysFollowTheirHomeAndWrapAtTheEnd) {
    using Table = KeyTable<16, std::uint8_t>;
    Table table;
    const std::vector<std::uint32_t> keys = keysAtHome<Table>(15, 4);
    for (std::uint8_t n = 0; n < 3; ++n) EXPECT_TRUE(table.insert(keys[n], n + 1));
    EXPECT_EQ(table.probe(keys[0]), 15u);
    EXPECT_EQ(table.probe(keys[1]), 0u);
    EXPECT_EQ(table.probe(keys[2]), 1u);
    for (std::uint8_t n = 0; n < 3; ++n) EXPECT_EQ(table.value(table.probe(keys[n])), n + 1);
    // The fourth passes all three and stops at the next empty slot.
    EXPECT_FALSE(table.contains(keys[3]));
    EXPECT_EQ(table.probe(keys[3]), 2u);
    EXPECT_FALSE(table.insert(keys[1], 9));
    EXPECT_EQ(table.value(table.probe(keys[1])), 2);
    EXPECT_EQ(table.size(), 3u);
}

// Every slot taken, by keys of one home and of others: each key is found
// with its value, none is added twice.
TEST(KeyTable, HoldsAKeyInEverySlot) {
    using Table = KeyTable<64, std::uint8_t>;
    Table table;
    std::vector<std::uint32_t> keys = keysAtHome<Table>(60, 10);
    for (std::uint32_t key = 0; keys.size() < 64; ++key) {
        if (Table::home(key) != 60) keys.push_back(key);
    }
    for (std::size_t n = 0; n < keys.size(); ++n) {
        ASSERT_TRUE(table.insert(keys[n], static_cast<std::uint8_t>(n))) << n;
    }
    EXPECT_EQ(table.size(), 64u);
    for (std::size_t n = 0; n < keys.size(); ++n) {
        EXPECT_EQ(table.value(table.probe(keys[n])), n) << n;
        EXPECT_FALSE(table.insert(keys[n], 0)) << n;
    }
}

// Random keys from a narrow range, so that homes are shared, inserted and
// looked up against a map, the table emptied now and then: more rounds than
// the table has slots, each filling it up to half.
TEST(KeyTable, AgreesWithAMapAcrossEmptying) {
    KeyTable<512, std::uint8_t> table;
    KeyTable<512> set;
    std::map<std::uint32_t, std::uint8_t> model;
    std::mt19937 rng(565);
    for (int round = 0; round < 600; ++round) {
        const std::uint32_t span = round % 2 == 0 ? 400 : 0x200000;
        const std::uint32_t count = rng() % 257;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t key = rng() % span;
            const auto value = static_cast<std::uint8_t>(rng());
            const bool bNew = model.emplace(key, value).second;
            ASSERT_EQ(table.insert(key, value), bNew) << round;
            ASSERT_EQ(set.insert(key), bNew) << round;
            const std::uint32_t other = rng() % span;
            ASSERT_EQ(set.contains(other), model.count(other) == 1) << round;
        }
        ASSERT_EQ(table.size(), model.size()) << round;
        for (const auto& [key, value] : model) ASSERT_EQ(table.value(table.probe(key)), value);
        table.clear();
        set.clear();
        for (const auto& entry : model) ASSERT_FALSE(table.contains(entry.first)) << round;
        for (const auto& entry : model) ASSERT_FALSE(set.contains(entry.first)) << round;
        model.clear();
    }
}

}  // namespace
