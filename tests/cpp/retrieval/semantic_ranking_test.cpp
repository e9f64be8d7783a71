#include "retrieval/semantic_ranking.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace revuradova {
namespace {

TEST(SemanticScore, ScoreExample) {
    std::string scratch;
    const float score = semantic_score("Alpha beta", {"alpha", "gamma"}, {}, scratch);
    EXPECT_EQ(score, 1.0f / std::sqrt(10.0f));
    EXPECT_NEAR(score, 0.316228f, 1e-6f);
    EXPECT_EQ(semantic_score("", {"alpha"}, {"x"}, scratch), 0.0f);
}

TEST(SemanticScore, EntitiesAreCaseSensitiveAndWorthTwo) {
    std::string scratch;
    EXPECT_EQ(semantic_score("ACME Corp report", {"report"}, {"ACME"}, scratch),
              3.0f / std::sqrt(16.0f));
    EXPECT_EQ(semantic_score("ACME Corp report", {"report"}, {"acme"}, scratch),
              1.0f / std::sqrt(16.0f));
}

TEST(SemanticScore, NonAsciiContentAndTerms) {
    std::string scratch;
    // The content lower-cases with the full mapping (final sigma included).
    EXPECT_GT(semantic_score("ΟΔΟΣ ΚΑΙ", {"οδος"}, {}, scratch), 0.0f);
    EXPECT_EQ(semantic_score("ΟΔΟΣ ΚΑΙ", {"οδοσ"}, {}, scratch), 0.0f);
    EXPECT_GT(semantic_score("Straße", {"straße"}, {}, scratch), 0.0f);
}

// The prepared query merges equal words, reorders them, gives up early and skips the words
// a content's digest rules out; none of that may change a score by a bit. Random contents
// (mixed case, some not ASCII, some empty) against random queries with repeated words and
// entities, and random bars, with and without the contents' digests.
TEST(SemanticQuery, ScoresBitForBitAsEachWordInTurn) {
    std::mt19937 rng(29);
    const std::vector<std::string> pieces = {"alpha", "Beta", "GAMMA",  "x",         " ",
                                             "al",    "ph",   "\u212A", "caf\u00c9", "e"};
    const std::vector<std::string> words = {"alpha", "beta", "gamma",     "x", "ph",
                                            "alph",  "k",    "caf\u00e9", "e", "Beta"};
    std::string scratch;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> terms;
        std::vector<std::string> entities;
        for (std::size_t n = rng() % 7; n > 0; --n) terms.push_back(words[rng() % words.size()]);
        for (std::size_t n = rng() % 3; n > 0; --n) entities.push_back(words[rng() % words.size()]);
        const SemanticQuery query(terms, entities);
        for (int c = 0; c < 8; ++c) {
            std::string content;
            const bool ascii = rng() % 2 == 0;
            for (std::size_t n = rng() % 60; n > 0; --n) {
                content += pieces[rng() % (ascii ? pieces.size() - 2 : pieces.size())];
            }
            const float expected = semantic_score(content, terms, entities, scratch);
            const text::ContentDigest digest = text::ContentDigest::of(content);
            ASSERT_EQ(query.score_above(content, -1.0f, scratch), expected) << content;
            ASSERT_EQ(query.score_above(content, -1.0f, scratch, &digest), expected) << content;
            ASSERT_LE(expected, query.bound(content.size()));
            for (const float bar : {0.0f, expected, expected * 0.5f, expected * 1.5f, 0.3f}) {
                const float got =
                    query.score_above(content, bar, scratch, rng() % 2 ? &digest : nullptr);
                if (expected > bar) {
                    ASSERT_EQ(got, expected) << content << " bar " << bar;
                } else {
                    ASSERT_TRUE(got < 0.0f || got == expected) << content << " bar " << bar;
                }
            }
        }
    }
}

}  // namespace
}  // namespace revuradova
