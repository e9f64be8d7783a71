// The orchestrator with progressive filtering off: the BM25 road, and no road at all.

#include <gtest/gtest.h>

#include <cerrno>

#include "orchestrator_helpers.hpp"
#include "retrieval/orchestrator.hpp"

namespace revuradova {
namespace {

using testing::pointers;
using Ids = std::vector<std::string>;

using testing::config;
using testing::event_names;
using testing::make;

TEST(Orchestrator, Bm25Road) {
    RetrievalOrchestrator orchestrator(config(true, false, 3));
    for (int i = 0; i < 5; ++i) {
        orchestrator.bm25_indexer()->index_document(make(
            "d" + std::to_string(i), KnowledgeType::Data, std::string(i + 1, 'w') + "ord alpha"));
    }
    const std::vector<KnowledgeObject> passed = {make("p", KnowledgeType::Data, "alpha")};
    Span trace;
    const RetrievalResult result = orchestrator.search("alpha", pointers(passed), &trace);
    EXPECT_EQ(event_names(trace), (Ids{"bm25_found_3_results"}));
    EXPECT_EQ(result.final_ids.size(), 3u);
    EXPECT_TRUE(result.stages.empty());
    EXPECT_EQ(result.total_time_ms, 0u);
    const float cost = 3.0f * 0.0001f;
    EXPECT_EQ(result.estimated_cost, cost);
    EXPECT_LT(result.estimated_cost, 0.0003f);  // the float just below the nearest one
    EXPECT_EQ(trace.attributes.at("documents"), "1");

    const RetrievalOrchestrator zero(config(true, false, 0));
    zero.search("alpha", {}, &trace);
    EXPECT_EQ(event_names(trace), (Ids{"bm25_found_0_results"}));
}

TEST(Orchestrator, Bm25RoadWithoutIndex) {
    const RetrievalOrchestrator orchestrator(config(false, false));
    Span trace;
    const RetrievalResult result = orchestrator.search("query", {}, &trace);
    EXPECT_EQ(result.query, "query");
    EXPECT_TRUE(result.stages.empty());
    EXPECT_TRUE(result.final_ids.empty());
    EXPECT_EQ(result.total_time_ms, 0u);
    EXPECT_EQ(result.estimated_cost, 0.0f);
    EXPECT_TRUE(trace.events.empty());
}

TEST(Orchestrator, FailingRandomSourceThrows) {
    const RetrievalOrchestrator orchestrator(
        config(false, true), [](std::uint8_t*, std::size_t) { throw RandomSourceError(EIO); });
    EXPECT_THROW(orchestrator.search("q", {}), RandomSourceError);
}

}  // namespace
}  // namespace revuradova
