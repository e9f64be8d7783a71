#include "retrieval/retrieval_result.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace revuradova {
namespace {

using Ids = std::vector<std::string>;

TEST(Formatting, ExactValueTiesToEven) {
    EXPECT_EQ(format_fixed(100.0f / 16.0f, 1), "6.2");  // 6.25 exactly
    EXPECT_EQ(format_fixed((2.0f / 3.0f) * 100.0f, 1), "66.7");
    EXPECT_EQ(format_fixed(100.0f, 1), "100.0");
    EXPECT_EQ(format_fixed(0.0f, 1), "0.0");
    EXPECT_EQ(format_fixed(3.0f * 0.0001f, 6), "0.000300");
    EXPECT_EQ(format_fixed(0.0f, 6), "0.000000");
    EXPECT_EQ(format_fixed(0.125f, 2), "0.12");
    EXPECT_EQ(format_fixed(0.375f, 2), "0.38");
}

StageResult stage_with(std::vector<std::string> ids, std::uint64_t filtered,
                       std::uint32_t duration) {
    StageResult stage;
    stage.output_count = ids.size();
    stage.document_ids = std::move(ids);
    stage.filtered_count = filtered;
    stage.duration_ms = duration;
    return stage;
}

TEST(RetrievalResult, AddStageCountsEveryDuration) {
    RetrievalResult result;
    result.query = "q";
    result.add_stage(stage_with({"a", "b", "c"}, 1, 7));
    EXPECT_EQ(result.total_time_ms, 7u);  // the first stage counts too
    EXPECT_EQ(result.final_ids, (Ids{"a", "b", "c"}));
    result.add_stage(stage_with({"b"}, 2, 5));
    EXPECT_EQ(result.total_time_ms, 12u);
    EXPECT_EQ(result.final_ids, (Ids{"b"}));
    EXPECT_EQ(result.stages.size(), 2u);
    result.estimated_cost = 1.0f * 0.0001f;
    EXPECT_EQ(result.summary(),
              "Query: 'q' | Filtered: 4 \u2192 1 (25.0%) | Time: 12ms | Cost: $0.000100");
}

TEST(RetrievalResult, SummaryWithoutStages) {
    RetrievalResult result;
    result.query = "it's";
    EXPECT_EQ(result.summary(),
              "Query: 'it's' | Filtered: 0 \u2192 0 (0.0%) | Time: 0ms | Cost: $0.000000");
    result.final_ids = {"x", "y", "z"};
    result.estimated_cost = 3.0f * 0.0001f;
    EXPECT_EQ(result.summary(),
              "Query: 'it's' | Filtered: 0 \u2192 3 (0.0%) | Time: 0ms | Cost: $0.000300");
}

TEST(RetrievalResult, SixteenthRoundsToEven) {
    RetrievalResult result;
    std::vector<std::string> ids(16, "id");
    result.add_stage(stage_with(ids, 0, 0));
    result.add_stage(stage_with({"id"}, 15, 0));
    EXPECT_NE(result.summary().find("(6.2%)"), std::string::npos) << result.summary();
}

}  // namespace
}  // namespace revuradova
