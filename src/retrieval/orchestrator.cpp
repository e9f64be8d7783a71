#include "retrieval/orchestrator.hpp"

#include <limits>
#include <stdexcept>

namespace revuradova {
namespace {

// "stageN: A → B docs", the root span's progress line for stages 2 to 4.
std::string root_stage_event(int stage, std::size_t before, std::size_t after) {
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
                                              const SearchOptions& options, Span* trace) const {
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

// The passed documents are grouped by identifier once; from then on every stage works on
// positions of first candidates (the stage selections), and identifiers are copied only
// into the stage records. Stages record nothing on spans of their own here: the copies of
// the root span that stages would write to are discarded unseen.
void RetrievalOrchestrator::execute_progressive_pipeline(std::string_view query,
                                                         Candidates documents,
                                                         const SearchOptions& options, Span& root,
                                                         RetrievalResult& result) const {
    const QueryContext context = ProgressiveFilter::understand_query(query);

    // Identifiers of a stage's output, when recorded: every stage's with record_stage_ids,
    // otherwise only stage 4's, the final ones (a stage that keeps nothing lists nothing).
    const auto ids_of = [&](const Positions& positions, bool last) {
        return options.record_stage_ids || last ? identifiers_at(documents, positions) : TextList();
    };
    StageTimer timer;
    Positions kept = ProgressiveFilter::source_relevant(context, documents);
    result.add_stage(
        finish_stage(kStage1.name, ids_of(kept, false), kept.size(), documents.size(), timer));
    // Stage 1's line puts "docs" between the counts.
    root.add_event("stage1: " + std::to_string(documents.size()) + " docs \u2192 " +
                   std::to_string(kept.size()));
    if (kept.empty()) return;

    const CandidateIndex index(documents, options.identifiers_follow_objects
                                              ? CandidateIndex::Grouping::ByObject
                                              : CandidateIndex::Grouping::ByIdentifier);
    Positions firsts;  // entry i: the first document carrying the i-th identifier
    firsts.reserve(kept.size());
    for (const std::uint32_t p : kept) firsts.push_back(index.first_of(p));

    for (int number = 2; number <= 4; ++number) {
        timer = StageTimer();
        const StageNames* names = nullptr;
        switch (number) {
            case 2:
                names = &kStage2;
                kept = ProgressiveFilter::type_domain(context, index, firsts);
                break;
            case 3:
                names = &kStage3;
                kept = ProgressiveFilter::fresh(context, documents, firsts, UtcTimestamp::now());
                break;
            default:
                names = &kStage4;
                kept = ProgressiveFilter::semantic_top(context, documents, firsts,
                                                       config_.max_results);
                break;
        }
        const std::size_t before = firsts.size();
        firsts = gather(firsts, kept);
        StageResult stage =
            finish_stage(names->name, ids_of(firsts, number == 4), firsts.size(), before, timer);
        root.add_event(root_stage_event(number, before, firsts.size()));
        result.add_stage(std::move(stage));
        if (firsts.empty()) return;
    }
}

}  // namespace revuradova
