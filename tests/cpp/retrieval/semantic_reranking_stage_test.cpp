// Stage 4: ranking by the content score, limits, ties and entities.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "retrieval/progressive_filtering.hpp"
#include "test_objects.hpp"

namespace revuradova {
namespace {

using testing::pointers;
constexpr auto make = testing::make_object;

using testing::fresh_span;
using Ids = std::vector<std::string>;

// ---------------------------------------------------------------- stage 4

TEST(Stage4, RankingLimitsAndTies) {
    const std::vector<KnowledgeObject> objects = {
        make("weak", KnowledgeType::Data, "", "nothing relevant here at all"),
        make("tie1", KnowledgeType::Data, "", "ALPHA gamma"),
        make("tie2", KnowledgeType::Data, "", "gamma alpha"),
        make("best", KnowledgeType::Data, "", "alpha"),
        make("empty", KnowledgeType::Data, "", ""),
    };
    const auto candidates = pointers(objects);
    QueryContext context;
    context.query = "Alpha  gamma\u00a0alpha";
    const Ids ids = {"weak", "tie1", "tie2", "best", "empty", "nobody"};
    Span span = fresh_span();
    const StageResult all =
        ProgressiveFilter::stage4_semantic_reranking(context, candidates, ids, 100, span);
    EXPECT_EQ(all.stage_name, "4_semantic_rerank");
    // best: 2/sqrt(5); ties: 3/sqrt(11) in ids order; weak and empty: 0, in ids order.
    EXPECT_EQ(all.document_ids, (Ids{"tie1", "tie2", "best", "weak", "empty"}));
    EXPECT_EQ(all.filtered_count, 1u);
    EXPECT_EQ(span.events.back().name, "stage4_reranked: 6 \u2192 5 docs (83.3%)");

    EXPECT_TRUE(ProgressiveFilter::stage4_semantic_reranking(context, candidates, ids, 0, span)
                    .document_ids.empty());
    const StageResult two = ProgressiveFilter::stage4_semantic_reranking(
        context, candidates, Ids{"weak", "best", "nobody"}, 2, span);
    EXPECT_EQ(two.document_ids, (Ids{"best", "weak"}));
    EXPECT_EQ(span.events.back().name, "stage4_reranked: 3 \u2192 2 docs (66.7%)");
    EXPECT_EQ(two.filtered_count, 1u);
}

TEST(Stage4, EntitiesAreCaseSensitiveAndWorthTwo) {
    const std::vector<KnowledgeObject> objects = {
        make("lower", KnowledgeType::Data, "", "acme corp report"),
        make("upper", KnowledgeType::Data, "", "ACME Corp report"),
    };
    QueryContext context;
    context.query = "report";
    context.entities = {"ACME"};
    Span span = fresh_span();
    const StageResult result = ProgressiveFilter::stage4_semantic_reranking(
        context, pointers(objects), Ids{"lower", "upper"}, 10, span);
    EXPECT_EQ(result.document_ids, (Ids{"upper", "lower"}));
}

// The pruned top-k selection of stage 4 equals scoring everything and sorting stably.
TEST(Stage4, LimitedRankingEqualsFullSort) {
    std::mt19937 rng(17);
    const char* words[] = {"alpha", "Beta", "gamma", "DELTA", "x", "alphabet", "caf\u00e9"};
    for (int round = 0; round < 200; ++round) {
        std::vector<KnowledgeObject> objects;
        const int count = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < count; ++i) {
            std::string content;
            const int length = static_cast<int>(rng() % 8);
            for (int w = 0; w < length; ++w) content += std::string(words[rng() % 7]) + " ";
            objects.push_back(
                make("id" + std::to_string(rng() % 30), KnowledgeType::Data, "", content));
        }
        const auto candidates = pointers(objects);
        Ids ids;
        for (const auto& o : objects) ids.push_back(o.id);
        ids.push_back("missing");
        QueryContext context;
        const char* queries[] = {"alpha gamma", "ALPHA beta x caf\u00c9",
                                 "x alpha X beta alpha x gamma alphabet"};
        context.query = queries[rng() % 3];
        if (rng() % 3 == 0) context.entities = {"DELTA"};
        if (rng() % 5 == 0) context.entities = {"DELTA", "alpha", "DELTA"};
        Span span = fresh_span();
        const Ids all =
            ProgressiveFilter::stage4_semantic_reranking(context, candidates, ids, 1000, span)
                .document_ids.to_vector();
        for (std::uint64_t limit : {0u, 1u, 2u, 3u, 5u, 8u}) {
            const Ids limited =
                ProgressiveFilter::stage4_semantic_reranking(context, candidates, ids, limit, span)
                    .document_ids.to_vector();
            const Ids expected(all.begin(), all.begin() + std::min<std::size_t>(limit, all.size()));
            ASSERT_EQ(limited, expected) << "round " << round << " limit " << limit;
        }
    }
}

}  // namespace
}  // namespace revuradova
