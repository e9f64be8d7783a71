#include "retrieval/semantic_ranking.hpp"

#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
}  // namespace revuradova
