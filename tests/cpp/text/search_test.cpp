#include "text/search.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/unicode.hpp"

namespace revuradova::text {
namespace {

bool reference_folded(std::string_view haystack, std::string_view needle) {
    return to_lowercase(haystack).find(needle) != std::string::npos;
}

TEST(Search, ExactContains) {
    EXPECT_TRUE(contains("abc", ""));
    EXPECT_TRUE(contains("hello world", "o w"));
    EXPECT_FALSE(contains("hello world", "O w"));
    EXPECT_FALSE(contains("ab", "abc"));
    const std::string long_text = std::string(100, 'a') + "needle" + std::string(100, 'b');
    EXPECT_TRUE(contains(long_text, "needle"));
    EXPECT_TRUE(contains(long_text, long_text));
    EXPECT_FALSE(contains(long_text, "needles"));
}

TEST(Search, FoldedOutcomes) {
    EXPECT_EQ(find_ascii_folded("The Quick BROWN fox", "brown"), FoldedMatch::Found);
    EXPECT_EQ(find_ascii_folded("The Quick BROWN fox", "browne"), FoldedMatch::Absent);
    // '@' | 0x20 is '`': the fold must not turn one into the other.
    EXPECT_EQ(find_ascii_folded("a@b", "a`b"), FoldedMatch::Absent);
    EXPECT_EQ(find_ascii_folded("[x]", "{x}"), FoldedMatch::Absent);
    // Found within ASCII bytes even when other characters follow.
    EXPECT_EQ(find_ascii_folded("ALPHA café", "alpha"), FoldedMatch::Found);
    // Not found in ASCII, but the Kelvin sign lower-cases to "k": needs the full mapping.
    EXPECT_EQ(find_ascii_folded("\u212Aey", "key"), FoldedMatch::NeedsUnicode);
    EXPECT_EQ(find_ascii_folded("plain", "caf\u00e9"), FoldedMatch::Absent);
    EXPECT_EQ(find_ascii_folded("caf\u00c9", "caf\u00e9"), FoldedMatch::NeedsUnicode);
    EXPECT_EQ(find_ascii_folded("x", "longer"), FoldedMatch::Absent);
    EXPECT_EQ(find_ascii_folded("\u00e9", "longer"), FoldedMatch::NeedsUnicode);
}

// Random texts over a small alphabet, long enough to cross the 16-byte blocks: the folded
// search agrees with lower-casing and searching, and it asks for the Unicode path exactly
// when the text has non-ASCII bytes and no ASCII match.
// Both implementations run on every machine: the widest the processor offers and SSE2.
class SearchPaths : public ::testing::TestWithParam<SearchPath> {};
INSTANTIATE_TEST_SUITE_P(Search, SearchPaths,
                         ::testing::Values(SearchPath::Best, SearchPath::Sse2));

TEST_P(SearchPaths, FoldedAgreesWithLowercaseThenFind) {
    const SearchPath path = GetParam();
    std::mt19937 rng(3);
    const std::string alphabet[] = {"a", "B", "c",      "A",      "b", " ",
                                    "@", "`", "\u00e9", "\u212A", "k"};
    for (int round = 0; round < 4000; ++round) {
        std::string haystack;
        const int length = static_cast<int>(rng() % 300);
        for (int i = 0; i < length; ++i) haystack += alphabet[rng() % 9 + (round % 5 == 0 ? 2 : 0)];
        std::string needle;
        const int needle_length = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < needle_length; ++i) needle += "abck @`"[rng() % 7];
        const bool expected = reference_folded(haystack, needle);
        const FoldedMatch got = find_ascii_folded(haystack, needle, path);
        if (got == FoldedMatch::Found) {
            EXPECT_TRUE(expected) << haystack << " / " << needle;
        } else if (got == FoldedMatch::Absent) {
            EXPECT_FALSE(expected) << haystack << " / " << needle;
            EXPECT_TRUE(is_ascii(haystack));
        } else {
            EXPECT_FALSE(is_ascii(haystack));
        }
        EXPECT_EQ(contains(haystack, needle, path), haystack.find(needle) != std::string::npos);
    }
}

// The last positions of a text are filtered by a block that overlaps the ones before it:
// a needle at any position near the end is found, none is found twice or out of range, and
// a non-ASCII byte anywhere in the tail still asks for the Unicode path.
TEST_P(SearchPaths, MatchesAndOtherBytesNearTheEnd) {
    const SearchPath path = GetParam();
    const std::string needles[] = {"q", "qz", "qzq", "qzzzzzzzzzzzzzzzq", std::string(40, 'q')};
    for (const std::string& needle : needles) {
        std::string upper = needle;
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        for (std::size_t length = needle.size(); length <= 110; ++length) {
            const std::size_t last = length - needle.size();
            for (std::size_t at = last > 70 ? last - 70 : 0; at <= last; ++at) {
                std::string text(length, 'x');
                text.replace(at, needle.size(), at % 2 == 0 ? needle : upper);
                EXPECT_EQ(find_ascii_folded(text, needle, path), FoldedMatch::Found)
                    << length << " " << at << " " << needle;
                EXPECT_EQ(contains(text, at % 2 == 0 ? needle : upper, path), true);
                text.replace(at, needle.size(), std::string(needle.size(), 'y'));
                EXPECT_EQ(find_ascii_folded(text, needle, path), FoldedMatch::Absent);
                EXPECT_FALSE(contains(text, needle, path));
                // A lone lead byte (not ASCII) where the needle ended: up to the last byte.
                text[at + needle.size() - 1] = static_cast<char>(0xC3);
                EXPECT_EQ(find_ascii_folded(text, needle, path), FoldedMatch::NeedsUnicode)
                    << length << " " << at << " " << needle;
            }
        }
    }
}

}  // namespace
}  // namespace revuradova::text
