#include "retrieval/orchestrator.hpp"

#include <bit>
#include <limits>
#include <stdexcept>

#include "retrieval/id_table.hpp"
#include "text/text_hash.hpp"

namespace revuradova {
namespace {


// For every passed document, the position of the first passed document with the same
// identifier. Open addressing over (hash tag, position) pairs: 8 bytes a bucket, keys read
// from the documents themselves.
std::vector<std::uint32_t> first_occurrences(Candidates documents) {
    std::vector<std::uint32_t> first(documents.size());
    if (documents.empty()) return first;
    const std::size_t capacity = std::bit_ceil(documents.size() * 2);
    const std::size_t mask = capacity - 1;
    struct Bucket {
        std::uint32_t tag;
        std::uint32_t position_plus_one;  // 0: empty
    };
    std::vector<Bucket> buckets(capacity, Bucket{0, 0});
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const std::string& id = documents[i]->id;
        const std::uint64_t hash = text::hash_text(id);
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            Bucket& bucket = buckets[at];
            if (bucket.position_plus_one == 0) {
                bucket = {tag, static_cast<std::uint32_t>(i + 1)};
                first[i] = static_cast<std::uint32_t>(i);
                break;
            }
            const std::uint32_t earlier = bucket.position_plus_one - 1;
            if (bucket.tag == tag && documents[earlier]->id == id) {
                first[i] = earlier;
                break;
            }
        }
    }
    return first;
}

// The passed documents whose identifier is among `ids`: caller order, each document at
// most once, every document carrying one of the identifiers.
std::vector<const KnowledgeObject*> select_candidates(Candidates documents, const TextList& ids) {
    IdTable<bool> wanted(ids.size());
    for (const std::string_view id : ids) {
        bool inserted = false;
        wanted.find_or_insert(id, inserted) = true;
    }
    std::vector<const KnowledgeObject*> candidates;
    for (const KnowledgeObject* document : documents) {
        if (wanted.find(document->id) != nullptr) candidates.push_back(document);
    }
    return candidates;
}

// Keeps the entries of `values` at `positions`, in that order.
void gather(std::vector<const KnowledgeObject*>& values, const KeptPositions& positions) {
    std::vector<const KnowledgeObject*> kept;
    kept.reserve(positions.size());
    for (const std::uint32_t p : positions) kept.push_back(values[p]);
    values = std::move(kept);
}

// "stageN: A → B docs", the root span's progress line for stages 2 to 4.
std::string stage_event(int stage, std::size_t before, std::size_t after) {
    return "stage" + std::to_string(stage) + ": " + counts_arrow(before, after) + " docs";
}

}  // namespace

RetrievalOrchestrator::RetrievalOrchestrator(OrchestratorConfig config, RandomSource random)
    : config_(config), random_(random) {
    if (config_.enable_bm25) bm25_indexer_.emplace();
    if (config_.enable_entity_graph) entity_graph_.emplace();
    if (config_.enable_topics) topic_index_.emplace();
    if (config_.enable_vector_search) vector_store_.emplace(VectorDbConfig::defaults());
}

RetrievalResult RetrievalOrchestrator::search(std::string_view query, Candidates documents,
                                              Span* trace) const {
    // Stages keep 32-bit positions into the passed documents.
    if (documents.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a search takes at most 2**32 - 2 documents");
    }
    std::string trace_id = "trace_" + uuid_v4(random_);
    Span root = SpanBuilder::create(std::move(trace_id), "retrieval_span", "orchestrated_search")
                    .with_attribute("query", std::string(query))
                    .with_attribute("documents", std::to_string(documents.size()))
                    .build();

    RetrievalResult result;
    result.query = std::string(query);

    if (config_.enable_progressive_filtering) {
        execute_progressive_pipeline(query, documents, root, result);
    } else if (bm25_indexer_) {
        const std::vector<RankedHit> hits =
            bm25_indexer_->rank(query, static_cast<std::size_t>(config_.max_results));
        root.add_event("bm25_found_" + std::to_string(hits.size()) + "_results");
        for (const RankedHit& hit : hits) result.final_ids.push_back(bm25_indexer_->doc_id(hit.slot));
    }

    if (!result.final_ids.empty()) {
        result.estimated_cost = static_cast<float>(result.final_ids.size()) * kCostPerResult;
    }
    root.end();
    if (trace != nullptr) *trace = std::move(root);
    return result;
}

// The stages after the first look identifiers up among the passed documents that carry
// one of the previous stage's identifiers; the first such document for an identifier is the
// first passed document with it. That document is tracked alongside each identifier, so no
// stage needs a lookup of its own, and the candidate lists are built only for the type and
// domain criteria, which look at every candidate.
void RetrievalOrchestrator::execute_progressive_pipeline(std::string_view query,
                                                         Candidates documents, Span& root,
                                                         RetrievalResult& result) const {
    const QueryContext context = ProgressiveFilter::understand_query(query);
    KeptPositions kept_positions;

    // Each stage records its own event on a throw-away copy of the root span.
    StageResult stage;
    {
        Span stage_span = root;
        stage = ProgressiveFilter::stage1_source_relevance(context, documents, stage_span,
                                                           &kept_positions);
    }
    std::size_t kept = stage.document_ids.size();
    // Stage 1's line puts "docs" between the counts.
    root.add_event("stage1: " + std::to_string(documents.size()) + " docs \u2192 " +
                   std::to_string(kept));
    result.add_stage(std::move(stage));
    if (kept == 0) return;

    std::vector<const KnowledgeObject*> firsts;
    {
        const std::vector<std::uint32_t> first = first_occurrences(documents);
        firsts.reserve(kept_positions.size());
        for (const std::uint32_t p : kept_positions) firsts.push_back(documents[first[p]]);
    }

    for (int number = 2; number <= 4; ++number) {
        const TextList& previous = result.stages.back().document_ids;
        Span stage_span = root;
        switch (number) {
            case 2: {
                std::vector<const KnowledgeObject*> candidates;
                if (!context.domains.empty() || !context.knowledge_types.empty()) {
                    candidates = select_candidates(documents, previous);
                }
                stage = ProgressiveFilter::stage2_type_domain(context, candidates, previous,
                                                              stage_span, &kept_positions);
                break;
            }
            case 3:
                stage = ProgressiveFilter::stage3_freshness_resolved(
                    context, previous, firsts, stage_span, UtcTimestamp::now(), &kept_positions);
                break;
            default:
                stage = ProgressiveFilter::stage4_semantic_reranking_resolved(
                    context, previous, firsts, config_.max_results, stage_span, &kept_positions);
                break;
        }
        gather(firsts, kept_positions);
        const std::size_t before = kept;
        kept = stage.document_ids.size();
        root.add_event(stage_event(number, before, kept));
        result.add_stage(std::move(stage));
        if (kept == 0) return;
    }
}

}  // namespace revuradova
