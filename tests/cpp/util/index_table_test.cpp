#include "util/index_table.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "util/text_hash.hpp"

namespace revuradova {
namespace {

// Random insertions and erasures (backward shift included) against std::unordered_map,
// with a hash of few bits so that probe runs are long and wrap around the table.
TEST(IndexTable, AgreesWithAStandardMapUnderChurn) {
    std::mt19937 rng(3);
    std::vector<std::string> keys;
    for (int i = 0; i < 600; ++i) keys.push_back("key" + std::to_string(i));
    const auto weak_hash = [](const std::string& key) {
        return text::hash_text(key) & 0x3F;  // 64 homes: heavy collisions
    };
    const auto key_of = [&](std::uint32_t index) -> std::string_view { return keys[index]; };

    IndexTable table;
    std::unordered_map<std::string, std::uint32_t> model;
    for (int step = 0; step < 20000; ++step) {
        const std::uint32_t index = rng() % keys.size();
        const std::string& key = keys[index];
        const bool present = model.count(key) != 0;
        if (!present && rng() % 3 != 0) {
            table.reserve(1);
            table.insert(weak_hash(key), index);
            model[key] = index;
        } else if (present) {
            table.erase(weak_hash(key), index);
            model.erase(key);
        }
        ASSERT_EQ(table.size(), model.size());
        if (step % 97 == 0) {
            for (std::uint32_t i = 0; i < keys.size(); ++i) {
                const bool want = model.count(keys[i]) != 0;
                const std::uint32_t got = table.find(keys[i], weak_hash(keys[i]), key_of);
                ASSERT_EQ(got, want ? i : IndexTable::kAbsent) << keys[i] << " at step " << step;
            }
        }
    }
}

TEST(IndexTable, MovedFromTableIsEmpty) {
    const std::vector<std::string> keys = {"a", "b"};
    const auto key_of = [&](std::uint32_t index) -> std::string_view { return keys[index]; };
    IndexTable table;
    table.reserve(2);
    table.insert(text::hash_text("a"), 0);
    table.insert(text::hash_text("b"), 1);
    IndexTable taken = std::move(table);
    EXPECT_EQ(taken.find("b", text::hash_text("b"), key_of), 1u);
    // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is specified.
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.find("a", text::hash_text("a"), key_of), IndexTable::kAbsent);
}

TEST(TextHash, DependsOnTheKeyAndOnEveryByte) {
    const text::HashKey one{{0x243F6A8885A308D3ull, 0x13198A2E03707345ull, 0xA4093822299F31D1ull,
                             0x082EFA98EC4E6C89ull}};
    const text::HashKey two{{0x243F6A8885A308D3ull, 0x13198A2E03707345ull, 0xA4093822299F31D1ull,
                             0x452821E638D01377ull}};
    std::set<std::uint64_t> seen;
    std::string text;
    for (int length = 0; length < 70; ++length) {
        EXPECT_NE(text::hash_text(text, one), text::hash_text(text, two)) << length;
        seen.insert(text::hash_text(text, one));
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::string flipped = text;
            flipped[i] = static_cast<char>(flipped[i] ^ 1);
            EXPECT_NE(text::hash_text(flipped, one), text::hash_text(text, one)) << length;
        }
        text.push_back(static_cast<char>('a' + length % 26));
    }
    EXPECT_EQ(seen.size(), 70u);
    // The process key is drawn once and kept.
    EXPECT_EQ(&text::process_hash_key(), &text::process_hash_key());
}

}  // namespace
}  // namespace revuradova
