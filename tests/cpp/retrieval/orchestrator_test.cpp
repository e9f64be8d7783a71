#include "retrieval/orchestrator.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <regex>

#include "orchestrator_helpers.hpp"

namespace revuradova {
namespace {

using testing::pointers;

using testing::config;
using testing::event_names;
using testing::make;

using Ids = std::vector<std::string>;

TEST(Orchestrator, ComponentsFollowFlags) {
    for (int mask = 0; mask < 16; ++mask) {
        OrchestratorConfig c;
        c.enable_bm25 = mask & 1;
        c.enable_entity_graph = mask & 2;
        c.enable_topics = mask & 4;
        c.enable_vector_search = mask & 8;
        const RetrievalOrchestrator orchestrator(c);
        EXPECT_EQ(orchestrator.bm25_indexer() != nullptr, c.enable_bm25);
        EXPECT_EQ(orchestrator.entity_graph() != nullptr, c.enable_entity_graph);
        EXPECT_EQ(orchestrator.topic_index() != nullptr, c.enable_topics);
        EXPECT_EQ(orchestrator.vector_store() != nullptr, c.enable_vector_search);
    }
    OrchestratorConfig c;
    c.enable_entity_graph = true;
    c.enable_topics = true;
    c.enable_vector_search = true;
    const RetrievalOrchestrator orchestrator(c);
    EXPECT_TRUE(orchestrator.entity_graph()->entities.empty());
    EXPECT_TRUE(orchestrator.entity_graph()->canonical_entity_by_alias.empty());
    EXPECT_TRUE(orchestrator.topic_index()->topics.empty());
    EXPECT_TRUE(orchestrator.topic_index()->assignments.empty());
    EXPECT_TRUE(orchestrator.vector_store()->chunks.empty());
    EXPECT_EQ(orchestrator.vector_store()->config, VectorDbConfig::defaults());
}

TEST(VectorDbConfig, Defaults) {
    const VectorDbConfig a = VectorDbConfig::defaults();
    VectorDbConfig b = VectorDbConfig::defaults();
    EXPECT_EQ(a.backend, "memory");
    EXPECT_FALSE(a.endpoint);
    EXPECT_FALSE(a.api_key);
    EXPECT_EQ(a.collection_name, "revuradova");
    EXPECT_EQ(a.distance_metric, "cosine");
    EXPECT_EQ(a.dimension, 1536u);
    EXPECT_EQ(a, b);
    b.backend[0] = 'M';  // fresh texts, nothing shared
    EXPECT_EQ(a.backend, "memory");
    const VectorDbStore store(b);
    EXPECT_TRUE(store.chunks.empty());
    EXPECT_TRUE(store.document_chunks.empty());
    EXPECT_EQ(store.config, b);
}

TEST(Orchestrator, RootSpanAndTraceIdentifiers) {
    const RetrievalOrchestrator orchestrator(config(false, true));
    const std::vector<KnowledgeObject> docs = {make("a", KnowledgeType::Data, "x")};
    Span first;
    Span second;
    orchestrator.search("", pointers(docs), &first);
    orchestrator.search("q", pointers(docs), &second);
    const std::regex shape(
        "trace_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(first.trace_id, shape)) << first.trace_id;
    EXPECT_EQ(first.trace_id.size(), 42u);
    EXPECT_NE(first.trace_id, second.trace_id);
    EXPECT_EQ(first.span_id, "retrieval_span");
    EXPECT_EQ(first.name, "orchestrated_search");
    EXPECT_EQ(first.attributes.at("query"), "");
    EXPECT_EQ(first.attributes.at("documents"), "1");
    EXPECT_EQ(second.attributes.at("query"), "q");
    EXPECT_EQ(first.status, SpanStatus::Ok);
    EXPECT_TRUE(first.end_time);
}

TEST(Orchestrator, ProgressiveEmptyList) {
    RetrievalOrchestrator orchestrator(config(true, true));
    orchestrator.bm25_indexer()->index_document(make("indexed", KnowledgeType::Data, "match"));
    Span trace;
    const RetrievalResult result = orchestrator.search("match", {}, &trace);
    EXPECT_EQ(event_names(trace), (Ids{"stage1: 0 docs \u2192 0"}));
    EXPECT_EQ(result.stages.size(), 1u);
    EXPECT_TRUE(result.final_ids.empty());
    EXPECT_EQ(result.estimated_cost, 0.0f);
    EXPECT_EQ(trace.attributes.at("documents"), "0");
}

TEST(Orchestrator, ProgressiveEarlyStops) {
    const RetrievalOrchestrator orchestrator(config(false, true));
    // Stage 1 keeps nothing: a procedure question over data documents.
    std::vector<KnowledgeObject> docs;
    for (int i = 0; i < 5; ++i)
        docs.push_back(make(std::string("d").append(std::to_string(i)), KnowledgeType::Data, "x"));
    Span trace;
    RetrievalResult result = orchestrator.search("how do I", pointers(docs), &trace);
    EXPECT_EQ(event_names(trace), (Ids{"stage1: 5 docs \u2192 0"}));
    EXPECT_EQ(result.stages.size(), 1u);

    // Stage 3 keeps nothing: every document expired.
    for (auto& d : docs) d.valid_until = UtcTimestamp::from_unix(0, 0);
    result = orchestrator.search("where?", pointers(docs), &trace);
    EXPECT_EQ(event_names(trace), (Ids{"stage1: 5 docs \u2192 5", "stage2: 5 \u2192 5 docs",
                                       "stage3: 5 \u2192 0 docs"}));
    EXPECT_EQ(result.stages.size(), 3u);
    EXPECT_TRUE(result.final_ids.empty());
    EXPECT_EQ(result.summary().find("Filtered: 5 \u2192 0 (0.0%)") != std::string::npos, true);
}

TEST(Orchestrator, ProgressiveFullRoad) {
    const RetrievalOrchestrator orchestrator(config(false, true, 2));
    const std::vector<KnowledgeObject> docs = {
        make("x", KnowledgeType::Procedure, "reset the router"),
        make("y", KnowledgeType::Procedure, "reset password now"),
        make("x", KnowledgeType::Data, "duplicate id, other object"),
        make("z", KnowledgeType::Policy, "reset policy"),
    };
    Span trace;
    const RetrievalResult result =
        orchestrator.search("how do I reset password", pointers(docs), &trace);
    EXPECT_EQ(event_names(trace), (Ids{"stage1: 4 docs \u2192 2", "stage2: 2 \u2192 2 docs",
                                       "stage3: 2 \u2192 2 docs", "stage4: 2 \u2192 2 docs"}));
    ASSERT_EQ(result.stages.size(), 4u);
    EXPECT_EQ(result.stages[0].stage_name, "1_source_relevance");
    EXPECT_EQ(result.stages[3].stage_name, "4_semantic_rerank");
    EXPECT_EQ(result.final_ids, (Ids{"y", "x"}));
    EXPECT_EQ(result.estimated_cost, 2.0f * 0.0001f);
    std::uint32_t sum = 0;
    for (const auto& s : result.stages) sum += s.duration_ms;
    EXPECT_EQ(result.total_time_ms, sum);
}

TEST(Orchestrator, DuplicateIdentifiersReachStageTwoOnce) {
    const RetrievalOrchestrator orchestrator(config(false, true));
    const std::vector<KnowledgeObject> docs = {make("x", KnowledgeType::Data, "a"),
                                               make("y", KnowledgeType::Data, "b"),
                                               make("x", KnowledgeType::Data, "c")};
    Span trace;
    const RetrievalResult result = orchestrator.search("where?", pointers(docs), &trace);
    EXPECT_EQ(trace.events[0].name, "stage1: 3 docs \u2192 3");
    EXPECT_EQ(result.stages[0].document_ids, (Ids{"x", "y", "x"}));
    EXPECT_EQ(result.stages[1].document_ids, (Ids{"x", "y", "x"}));
    // Stage 4 scores the first "x" for both of its entries.
    EXPECT_EQ(result.final_ids.size(), 3u);
}

// The orchestrator's road is the stage table run in order: each stage's record equals the
// named stage operation given the previous stage's identifiers, and the records carry the
// table's names.
TEST(Orchestrator, ProgressiveRoadIsTheNamedStagesChained) {
    std::mt19937 rng(11);
    const char* words[] = {"how", "policy", "report", "define", "compare", "x", "trend"};
    const KnowledgeType types[] = {KnowledgeType::Procedure, KnowledgeType::Policy,
                                   KnowledgeType::Definition, KnowledgeType::Data};
    for (int round = 0; round < 40; ++round) {
        std::vector<KnowledgeObject> objects;
        for (int i = 0; i < 30; ++i) {
            std::string content;
            for (int w = 0; w < 5; ++w) content += std::string(words[rng() % 7]) + " ";
            objects.push_back(make("id" + std::to_string(rng() % 20), types[rng() % 4], content));
        }
        const auto documents = pointers(objects);
        const std::string query = std::string(words[rng() % 7]) + " how do I " + words[rng() % 7];
        const RetrievalOrchestrator orchestrator(config(false, true, 1 + rng() % 8));
        const RetrievalResult road = orchestrator.search(query, documents);

        const QueryContext context = ProgressiveFilter::understand_query(query);
        Span span = testing::fresh_span();
        std::vector<StageResult> chained = {
            ProgressiveFilter::stage1_source_relevance(context, documents, span)};
        for (std::size_t s = 1; s < 4 && !chained.back().document_ids.empty(); ++s) {
            const TextList& ids = chained.back().document_ids;
            chained.push_back(
                s == 1   ? ProgressiveFilter::stage2_type_domain(context, documents, ids, span)
                : s == 2 ? ProgressiveFilter::stage3_freshness(context, documents, ids, span)
                         : ProgressiveFilter::stage4_semantic_reranking(
                               context, documents, ids, orchestrator.config().max_results, span));
        }
        ASSERT_EQ(road.stages.size(), chained.size());
        for (std::size_t s = 0; s < chained.size(); ++s) {
            EXPECT_EQ(road.stages[s].stage_name, kStages[s].names.name);
            EXPECT_EQ(road.stages[s].document_ids.to_vector(), chained[s].document_ids.to_vector());
            EXPECT_EQ(road.stages[s].filtered_count, chained[s].filtered_count);
            EXPECT_EQ(road.stages[s].retained_percent, chained[s].retained_percent);
            EXPECT_EQ(span.events[s].name.rfind(kStages[s].names.event_label, 0), 0u);
        }
    }
}

// The options the Python binding uses (no intermediate identifier lists, grouping by
// address, the contents' digests) give the same final identifiers, counts and summary as the
// defaults, for documents whose equal identifiers come only with the same object.
TEST(Orchestrator, BindingOptionsChangeNoResult) {
    std::mt19937 rng(5);
    const char* words[] = {"how", "policy", "report", "expense", "trend", "define", "x"};
    const KnowledgeType types[] = {KnowledgeType::Procedure, KnowledgeType::Policy,
                                   KnowledgeType::Definition, KnowledgeType::Data};
    for (int round = 0; round < 50; ++round) {
        std::vector<KnowledgeObject> objects;
        for (int i = 0; i < 40; ++i) {
            std::string content;
            for (int w = 0; w < 6; ++w) content += std::string(words[rng() % 7]) + " ";
            objects.push_back(make("id" + std::to_string(i), types[rng() % 4], content));
        }
        std::vector<const KnowledgeObject*> documents;
        for (int i = 0; i < 60; ++i) documents.push_back(&objects[rng() % objects.size()]);
        const RetrievalOrchestrator orchestrator(config(false, true));
        const std::string query = std::string(words[rng() % 7]) + " how do I " + words[rng() % 7];
        const RetrievalResult full = orchestrator.search(query, documents);
        // Digests of the contents, as the binding keeps them (some documents without).
        std::vector<text::ContentDigest> made;
        for (const KnowledgeObject* document : documents) {
            made.push_back(text::ContentDigest::of(document->content));
        }
        std::vector<const text::ContentDigest*> digests;
        for (const text::ContentDigest& digest : made) {
            digests.push_back(rng() % 4 == 0 ? nullptr : &digest);
        }
        const RetrievalResult lean =
            orchestrator.search(query, documents, SearchOptions{false, true, digests});
        EXPECT_EQ(lean.final_ids, full.final_ids);
        EXPECT_EQ(lean.estimated_cost, full.estimated_cost);
        ASSERT_EQ(lean.stages.size(), full.stages.size());
        for (std::size_t s = 0; s < full.stages.size(); ++s) {
            EXPECT_EQ(lean.stages[s].output_count, full.stages[s].output_count);
            EXPECT_EQ(lean.stages[s].filtered_count, full.stages[s].filtered_count);
            EXPECT_EQ(lean.stages[s].retained_percent, full.stages[s].retained_percent);
        }
        // The summaries differ at most in the measured time.
        const std::regex time(R"(Time: \d+ms)");
        EXPECT_EQ(std::regex_replace(lean.summary(), time, ""),
                  std::regex_replace(full.summary(), time, ""));
    }
}

TEST(Orchestrator, DigestsAreOnePerDocumentOrNone) {
    const KnowledgeObject object = make("a", KnowledgeType::Procedure, "how to file");
    const std::vector<const KnowledgeObject*> documents{&object, &object};
    const text::ContentDigest digest = text::ContentDigest::of(object.content);
    const std::vector<const text::ContentDigest*> one{&digest};
    const RetrievalOrchestrator orchestrator(config(false, true));
    EXPECT_THROW(orchestrator.search("how to file", documents, SearchOptions{true, false, one}),
                 std::invalid_argument);
    const std::vector<const text::ContentDigest*> two{&digest, nullptr};
    EXPECT_EQ(
        orchestrator.search("how to file", documents, SearchOptions{true, false, two}).final_ids,
        orchestrator.search("how to file", documents).final_ids);
}

}  // namespace
}  // namespace revuradova
