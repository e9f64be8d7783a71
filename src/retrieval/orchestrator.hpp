#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "indexing/bm25_indexer.hpp"
#include "indexing/entity_graph.hpp"
#include "indexing/topic_index.hpp"
#include "models/uuid.hpp"
#include "monitoring/otel_tracing.hpp"
#include "retrieval/progressive_filtering.hpp"
#include "retrieval/vector_db_retrieval.hpp"

namespace revuradova {

/// What an orchestrator is built with; kept unchanged for its lifetime.
struct OrchestratorConfig {
    std::uint64_t max_results = 0;
    bool enable_bm25 = false;
    bool enable_entity_graph = false;
    bool enable_topics = false;
    bool enable_vector_search = false;
    bool enable_progressive_filtering = false;
};

/// How much of a progressive search the caller needs, and what it knows of its documents.
struct SearchOptions {
    /// Whether every stage record lists the identifiers it kept. Without, only the last
    /// stage that ran does (they are the final identifiers); counts and times are complete.
    bool record_stage_ids = true;
    /// The caller guarantees that two passed documents carry the same identifier only when
    /// they are the same object (as knowledge objects made from Python do: their
    /// identifiers are random UUIDs, never set). Documents are then grouped by address,
    /// with the same result and without reading identifiers.
    bool identifiers_follow_objects = false;
    /// Digests of the documents' contents, one per document (null: none), from a caller
    /// whose objects never change after their digest is made; empty: none. They only
    /// spare reading contents: results are the same without them.
    ContentDigests digests;
};

/// Runs one search end to end: a trace with a root span, then either the progressive road
/// (understanding and four filter stages over the documents passed with the query) or the
/// BM25 road (the orchestrator's own index), then pricing.
///
/// Invariant: each component is present exactly when its flag was true at construction.
/// Only the BM25 index is ever filled (through bm25_indexer()) or read.
class RetrievalOrchestrator {
public:
    static constexpr float kCostPerResult = 0.0001f;

    /// Builds the components the flags ask for, in order: BM25 index, entity graph, topic
    /// index, vector store. `random` draws the trace identifiers.
    explicit RetrievalOrchestrator(OrchestratorConfig config,
                                   RandomSource random = system_random_bytes);

    const OrchestratorConfig& config() const { return config_; }
    BM25Indexer* bm25_indexer() { return bm25_indexer_ ? &*bm25_indexer_ : nullptr; }
    const BM25Indexer* bm25_indexer() const { return bm25_indexer_ ? &*bm25_indexer_ : nullptr; }
    const EntityGraph* entity_graph() const { return entity_graph_ ? &*entity_graph_ : nullptr; }
    const TopicIndex* topic_index() const { return topic_index_ ? &*topic_index_ : nullptr; }
    const VectorDbStore* vector_store() const { return vector_store_ ? &*vector_store_ : nullptr; }

    /// Runs one search over `documents` (read in place, never changed). Throws
    /// RandomSourceError when no trace identifier can be drawn, std::invalid_argument when
    /// the options' digests are neither empty nor one per document. When `trace` is given it
    /// receives the ended root span, for callers that inspect what the search recorded.
    RetrievalResult search(std::string_view query, Candidates documents,
                           Span* trace = nullptr) const {
        return search(query, documents, SearchOptions{}, trace);
    }
    RetrievalResult search(std::string_view query, Candidates documents,
                           const SearchOptions& options, Span* trace = nullptr) const;

private:
    void execute_progressive_pipeline(std::string_view query, Candidates documents,
                                      const SearchOptions& options, Span& root,
                                      RetrievalResult& result) const;

    OrchestratorConfig config_;
    std::optional<BM25Indexer> bm25_indexer_;
    std::optional<EntityGraph> entity_graph_;
    std::optional<TopicIndex> topic_index_;
    std::optional<VectorDbStore> vector_store_;
    RandomSource random_;
};

}  // namespace revuradova
