#include "retrieval/orchestrator.hpp"

#include <limits>
#include <optional>
#include <stdexcept>

namespace revuradova {
namespace {

// The root span's progress line for a stage: "stage1: N docs → M" for stage 1,
// "stageN: A → B docs" for the others.
std::string root_stage_event(std::size_t number, std::size_t before, std::size_t after) {
    if (number == 1) {
        return "stage1: " + std::to_string(before) + " docs \u2192 " + std::to_string(after);
    }
    return "stage" + std::to_string(number) + ": " + counts_arrow(before, after) + " docs";
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
                                              const SearchOptions& options, Span* trace) const {
    // Stages keep 32-bit positions into the passed documents.
    if (documents.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a search takes at most 2**32 - 2 documents");
    }
    if (!options.digests.empty() && options.digests.size() != documents.size()) {
        throw std::invalid_argument("a search takes one content digest per document, or none");
    }
    std::string trace_id = uuid_v4(random_, "trace_");
    Span root = SpanBuilder::create(std::move(trace_id), "retrieval_span", "orchestrated_search")
                    .with_attribute("query", std::string(query))
                    .with_attribute("documents", std::to_string(documents.size()))
                    .build();

    RetrievalResult result;
    result.query = std::string(query);

    if (config_.enable_progressive_filtering) {
        execute_progressive_pipeline(query, documents, options, root, result);
    } else if (bm25_indexer_) {
        const std::vector<Ranked> hits =
            bm25_indexer_->rank(query, static_cast<std::size_t>(config_.max_results));
        root.add_event("bm25_found_" + std::to_string(hits.size()) + "_results");
        for (const Ranked& hit : hits)
            result.final_ids.push_back(bm25_indexer_->doc_id(hit.position));
    }

    if (!result.final_ids.empty()) {
        result.estimated_cost = static_cast<float>(result.final_ids.size()) * kCostPerResult;
    }
    root.end();
    if (trace != nullptr) *trace = std::move(root);
    return result;
}

// The stages run in table order on positions: stage 1 over the passed documents, then
// (the documents grouped by identifier once) stages 2 to 4 over entries, each the first
// document carrying an identifier the previous stage kept. Identifiers are copied only
// into the stage records. Stages record nothing on spans of their own here: the copies of
// the root span that stages would write to are discarded unseen.
void RetrievalOrchestrator::execute_progressive_pipeline(std::string_view query,
                                                         Candidates documents,
                                                         const SearchOptions& options, Span& root,
                                                         RetrievalResult& result) const {
    const QueryContext context = ProgressiveFilter::understand_query(query);
    const auto grouping = options.identifiers_follow_objects
                              ? CandidateIndex::Grouping::ByObject
                              : CandidateIndex::Grouping::ByIdentifier;
    std::optional<CandidateIndex> index;
    Positions entries;  // after stage 1: each entry's first document
    std::size_t before = documents.size();
    for (std::size_t s = 0; s < kStages.size(); ++s) {
        const Stage& stage = kStages[s];
        const bool last = s + 1 == kStages.size();
        const StageTimer timer;
        const StageInput input{context,        documents,           index ? &*index : nullptr,
                               entries,        UtcTimestamp::now(), config_.max_results,
                               options.digests};
        const Positions kept = stage.select(input);
        entries = s == 0 ? kept : gather(entries, kept);
        // Identifiers of a stage's output, when recorded: every stage's with
        // record_stage_ids, otherwise only the last's, the final ones.
        TextList ids =
            options.record_stage_ids || last ? identifiers_at(documents, entries) : TextList();
        result.add_stage(
            finish_stage(stage.names.name, std::move(ids), entries.size(), before, timer));
        root.add_event(root_stage_event(s + 1, before, entries.size()));
        if (entries.empty()) return;
        if (s == 0) {
            index.emplace(documents, grouping);
            for (std::uint32_t& entry : entries) entry = index->first_of(entry);
        }
        before = entries.size();
    }
}

}  // namespace revuradova
