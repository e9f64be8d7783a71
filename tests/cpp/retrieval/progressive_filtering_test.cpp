#include "retrieval/progressive_filtering.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "test_objects.hpp"

namespace revuradova {
namespace {

using testing::pointers;
constexpr auto make = testing::make_object;

using testing::fresh_span;
using Ids = std::vector<std::string>;

// ---------------------------------------------------------------- stage 1

TEST(Stage1, EmptyInput) {
    Span span = fresh_span();
    const StageResult result = ProgressiveFilter::stage1_source_relevance(QueryContext{}, {}, span);
    EXPECT_EQ(result.stage_name, "1_source_relevance");
    EXPECT_TRUE(result.document_ids.empty());
    EXPECT_EQ(result.output_count, 0u);
    EXPECT_EQ(result.filtered_count, 0u);
    EXPECT_EQ(result.retained_percent, 0.0f);
    ASSERT_EQ(span.events.size(), 1u);
    EXPECT_EQ(span.events[0].name, "stage1_filtered: 0 \u2192 0 docs (0.0%)");
}

TEST(Stage1, IntentRules) {
    const std::vector<KnowledgeObject> objects = {
        make("p", KnowledgeType::Procedure, "ops", ""),
        make("pol", KnowledgeType::Policy, "hr", ""),
        make("d", KnowledgeType::Definition, "legal compliance", ""),
        make("D", KnowledgeType::Definition, "Compliance", ""),
        make("p", KnowledgeType::Data, "ops", ""),
    };
    const auto candidates = pointers(objects);
    auto run = [&](QueryIntent intent) {
        QueryContext context;
        context.intent = intent;
        Span span = fresh_span();
        return ProgressiveFilter::stage1_source_relevance(context, candidates, span);
    };
    EXPECT_EQ(run(QueryIntent::ProcedureGuidance).document_ids, (Ids{"p"}));
    EXPECT_EQ(run(QueryIntent::ComplianceCheck).document_ids, (Ids{"pol", "d"}));
    EXPECT_EQ(run(QueryIntent::Definition).document_ids, (Ids{"d", "D"}));
    const StageResult all = run(QueryIntent::FactualLookup);
    EXPECT_EQ(all.document_ids, (Ids{"p", "pol", "d", "D", "p"}));  // duplicates kept
    EXPECT_EQ(all.retained_percent, 100.0f);
    for (QueryIntent intent :
         {QueryIntent::Comparison, QueryIntent::TrendAnalysis, QueryIntent::Unknown}) {
        EXPECT_EQ(run(intent).output_count, 5u);
    }
    const StageResult procedures = run(QueryIntent::ProcedureGuidance);
    EXPECT_EQ(procedures.filtered_count, 4u);
    EXPECT_EQ(procedures.retained_percent, 20.0f);
}

// ---------------------------------------------------------------- stage 2

TEST(Stage2, NoCriteriaPassesIdsThrough) {
    Span span = fresh_span();
    const Ids ids = {"x", "unknown", "x"};
    const StageResult result = ProgressiveFilter::stage2_type_domain(QueryContext{}, {}, ids, span);
    EXPECT_EQ(result.stage_name, "2_type_domain");
    EXPECT_EQ(result.document_ids, ids);
    EXPECT_EQ(span.events[0].name, "stage2_filtered: 3 \u2192 3 docs (100.0%)");
}

TEST(Stage2, DomainsAndTypesWithAnyMatch) {
    const std::vector<KnowledgeObject> objects = {
        make("a", KnowledgeType::Policy, "finance compliance", ""),
        make("b", KnowledgeType::Data, "sales", ""),
        make("c", KnowledgeType::Data, "Finance", ""),
        make("b", KnowledgeType::Policy, "finance", ""),  // second candidate carrying "b"
    };
    const auto candidates = pointers(objects);
    const Ids ids = {"a", "b", "c", "missing", "a"};

    QueryContext domains;
    domains.domains = {"finance"};
    Span span = fresh_span();
    EXPECT_EQ(ProgressiveFilter::stage2_type_domain(domains, candidates, ids, span).document_ids,
              (Ids{"a", "b", "a"}));

    QueryContext types;
    types.knowledge_types = {KnowledgeType::Data};
    EXPECT_EQ(ProgressiveFilter::stage2_type_domain(types, candidates, ids, span).document_ids,
              (Ids{"b", "c"}));

    QueryContext both;
    both.domains = {"sales", "Fin"};
    both.knowledge_types = {KnowledgeType::Policy};
    // "b": one candidate passes the domain test, another the type test; each filter is any-match.
    EXPECT_EQ(ProgressiveFilter::stage2_type_domain(both, candidates, ids, span).document_ids,
              (Ids{"b"}));

    QueryContext empty_entry;
    empty_entry.domains = {""};
    EXPECT_EQ(
        ProgressiveFilter::stage2_type_domain(empty_entry, candidates, ids, span).document_ids,
        (Ids{"a", "b", "c", "a"}));

    const StageResult none = ProgressiveFilter::stage2_type_domain(empty_entry, {}, ids, span);
    EXPECT_TRUE(none.document_ids.empty());
    EXPECT_EQ(none.filtered_count, 5u);
}

// ---------------------------------------------------------------- stage 3

TEST(Stage3, TimeRangeAndValidity) {
    const UtcTimestamp now = UtcTimestamp::from_unix(1'800'000'000, 500);
    std::vector<KnowledgeObject> objects = {
        make("old", KnowledgeType::Data, "", ""),
        make("edge", KnowledgeType::Data, "", ""),
        make("expired", KnowledgeType::Data, "", ""),
        make("until_now", KnowledgeType::Data, "", ""),
        make("future", KnowledgeType::Data, "", ""),
        make("from_now", KnowledgeType::Data, "", ""),
        make("new", KnowledgeType::Data, "", ""),
    };
    for (auto& o : objects) o.created_at = UtcTimestamp::from_unix(1'700'000'000, 0);
    objects[0].created_at = UtcTimestamp::from_unix(1'600'000'000, 0);
    objects[1].created_at = UtcTimestamp::from_unix(1'650'000'000, 0);  // equals the start
    objects[2].valid_until = UtcTimestamp::from_unix(1'800'000'000, 499);
    objects[3].valid_until = now;
    objects[4].valid_from = UtcTimestamp::from_unix(1'800'000'000, 501);
    objects[5].valid_from = now;
    objects[6].created_at = UtcTimestamp::from_unix(1'750'000'001, 0);  // after the end
    const auto candidates = pointers(objects);
    Ids ids;
    for (const auto& o : objects) ids.push_back(o.id);
    ids.push_back("no_candidate");

    Span span = fresh_span();
    const StageResult plain =
        ProgressiveFilter::stage3_freshness(QueryContext{}, candidates, ids, span, now);
    EXPECT_EQ(plain.stage_name, "3_freshness");
    EXPECT_EQ(plain.document_ids, (Ids{"old", "edge", "until_now", "from_now", "new"}));

    QueryContext ranged;
    ranged.time_range = TimeRange{UtcTimestamp::from_unix(1'650'000'000, 0),
                                  UtcTimestamp::from_unix(1'750'000'000, 0)};
    EXPECT_EQ(ProgressiveFilter::stage3_freshness(ranged, candidates, ids, span, now).document_ids,
              (Ids{"edge", "until_now", "from_now"}));

    QueryContext open_end;
    open_end.time_range = TimeRange{std::nullopt, UtcTimestamp::from_unix(1'650'000'000, 0)};
    EXPECT_EQ(
        ProgressiveFilter::stage3_freshness(open_end, candidates, ids, span, now).document_ids,
        (Ids{"old", "edge"}));
}

TEST(Stage3, FirstCandidateDecidesAndDuplicatesAreTestedTwice) {
    std::vector<KnowledgeObject> objects = {make("x", KnowledgeType::Data, "", ""),
                                            make("x", KnowledgeType::Data, "", "")};
    objects[1].valid_until = UtcTimestamp::from_unix(0, 0);  // never consulted
    const auto candidates = pointers(objects);
    Span span = fresh_span();
    EXPECT_EQ(ProgressiveFilter::stage3_freshness(QueryContext{}, candidates, Ids{"x", "x"}, span)
                  .document_ids,
              (Ids{"x", "x"}));

    const StageResult none =
        ProgressiveFilter::stage3_freshness(QueryContext{}, {}, Ids{"a", "b"}, span);
    EXPECT_TRUE(none.document_ids.empty());
    EXPECT_EQ(none.filtered_count, 2u);
    EXPECT_EQ(none.retained_percent, 0.0f);
}

}  // namespace
}  // namespace revuradova
