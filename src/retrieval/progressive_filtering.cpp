#include "retrieval/progressive_filtering.hpp"

#include <algorithm>
#include <numeric>

#include "retrieval/semantic_ranking.hpp"
#include "text/search.hpp"
#include "util/look_ahead.hpp"

namespace revuradova {
namespace {

bool passes_source_relevance(QueryIntent intent, const KnowledgeObject& candidate) {
    switch (intent) {
        case QueryIntent::ProcedureGuidance:
            return candidate.knowledge_type == KnowledgeType::Procedure;
        case QueryIntent::ComplianceCheck:
            return candidate.knowledge_type == KnowledgeType::Policy ||
                   candidate.domain.find("compliance") != std::string::npos;
        case QueryIntent::Definition: return candidate.knowledge_type == KnowledgeType::Definition;
        case QueryIntent::FactualLookup:
        case QueryIntent::Comparison:
        case QueryIntent::TrendAnalysis:
        case QueryIntent::Unknown: break;
    }
    return true;
}

bool has_type_domain_criteria(const QueryContext& context) {
    return !context.domains.empty() || !context.knowledge_types.empty();
}

Positions all_of(std::size_t count) {
    Positions positions(count);
    std::iota(positions.begin(), positions.end(), 0u);
    return positions;
}

// The identifiers of `ids` at `kept`, in that order.
TextList select(Identifiers ids, const Positions& kept) {
    TextList selected;
    for (const std::uint32_t i : kept) selected.push_back(ids[i]);
    return selected;
}

// A named stage operation: kStages[number - 1] run over `candidates` (stage 1) or over the
// entries of `ids` (the others), timed, recorded and reported on `span`.
StageResult run_named_stage(std::size_t number, const QueryContext& context, Candidates candidates,
                            const TextList* ids, Span& span, const UtcTimestamp& now,
                            std::uint64_t limit) {
    const Stage& stage = kStages[number - 1];
    const StageTimer timer;
    StageResult result;
    if (ids == nullptr) {
        const Positions none;
        const StageInput input{context, candidates, nullptr, none, now, limit, {}};
        result = finish_stage(stage.names.name, identifiers_at(candidates, stage.select(input)),
                              candidates.size(), timer);
    } else {
        const CandidateIndex index(candidates);
        const Positions entries = index.resolve(*ids);
        const StageInput input{context, candidates, &index, entries, now, limit, {}};
        result =
            finish_stage(stage.names.name, select(*ids, stage.select(input)), ids->size(), timer);
    }
    span.add_event(stage_event(stage.names.event_label, result));
    return result;
}

}  // namespace

Positions select_source_relevant(const StageInput& input) {
    const Candidates candidates = input.candidates;
    Positions kept;
    kept.reserve(candidates.size());
    visit_looking_ahead(
        candidates.size(), kCandidatesAhead,
        [&](std::size_t i) __attribute__((always_inline)) { __builtin_prefetch(candidates[i]); },
        [&](std::size_t i) {
            if (passes_source_relevance(input.context.intent, *candidates[i])) {
                kept.push_back(static_cast<std::uint32_t>(i));
            }
        });
    return kept;
}

Positions select_type_domain(const StageInput& input) {
    const QueryContext& context = input.context;
    const Positions& entries = input.entries;
    if (!has_type_domain_criteria(context)) return all_of(entries.size());
    // Per identifier (its first position): does any candidate carrying it pass each test?
    const CandidateIndex& index = *input.index;
    const Candidates candidates = index.candidates();
    std::vector<std::uint8_t> domain_passes(candidates.size(), 0);
    std::vector<std::uint8_t> type_passes(candidates.size(), 0);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const KnowledgeObject& candidate = *candidates[i];
        const std::uint32_t group = index.first_of(static_cast<std::uint32_t>(i));
        domain_passes[group] |= std::any_of(
            context.domains.begin(), context.domains.end(),
            [&](const std::string& domain) { return text::contains(candidate.domain, domain); });
        type_passes[group] |=
            std::find(context.knowledge_types.begin(), context.knowledge_types.end(),
                      candidate.knowledge_type) != context.knowledge_types.end();
    }
    Positions kept;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint32_t group = entries[i];
        const bool found = group != CandidateIndex::kNone;
        if (!context.domains.empty() && !(found && domain_passes[group])) continue;
        if (!context.knowledge_types.empty() && !(found && type_passes[group])) continue;
        kept.push_back(static_cast<std::uint32_t>(i));
    }
    return kept;
}

Positions select_fresh(const StageInput& input) {
    const Candidates candidates = input.candidates;
    const Positions& entries = input.entries;
    const std::optional<TimeRange>& time_range = input.context.time_range;
    Positions kept;
    kept.reserve(entries.size());
    visit_looking_ahead(
        entries.size(), kCandidatesAhead,
        [&](std::size_t i) __attribute__((always_inline)) {
            if (entries[i] != CandidateIndex::kNone)
                __builtin_prefetch(&candidates[entries[i]]->created_at);
        },
        [&](std::size_t i) {
            if (entries[i] == CandidateIndex::kNone) return;
            const KnowledgeObject& candidate = *candidates[entries[i]];
            if (time_range) {
                if (time_range->start && candidate.created_at < *time_range->start) return;
                if (time_range->end && candidate.created_at > *time_range->end) return;
            }
            if (candidate.valid_until && input.now > *candidate.valid_until) return;
            if (candidate.valid_from && input.now < *candidate.valid_from) return;
            kept.push_back(static_cast<std::uint32_t>(i));
        });
    return kept;
}

Positions select_semantic_top(const StageInput& input) {
    const QueryContext& context = input.context;
    const std::vector<Ranked> ranked =
        rank_semantic(lowered_query_terms(context.query), context.entities, input.candidates,
                      input.entries, input.limit, input.digests);
    Positions kept;
    kept.reserve(ranked.size());
    for (const Ranked& entry : ranked) kept.push_back(entry.position);
    return kept;
}

StageResult ProgressiveFilter::stage1_source_relevance(const QueryContext& context,
                                                       Candidates candidates, Span& span) {
    return run_named_stage(1, context, candidates, nullptr, span, UtcTimestamp(), 0);
}

StageResult ProgressiveFilter::stage2_type_domain(const QueryContext& context,
                                                  Candidates candidates, Identifiers ids,
                                                  Span& span) {
    return run_named_stage(2, context, candidates, &ids, span, UtcTimestamp(), 0);
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context, Candidates candidates,
                                                Identifiers ids, Span& span) {
    return stage3_freshness(context, candidates, ids, span, UtcTimestamp::now());
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context, Candidates candidates,
                                                Identifiers ids, Span& span,
                                                const UtcTimestamp& now) {
    return run_named_stage(3, context, candidates, &ids, span, now, 0);
}

StageResult ProgressiveFilter::stage4_semantic_reranking(const QueryContext& context,
                                                         Candidates candidates, Identifiers ids,
                                                         std::uint64_t limit, Span& span) {
    return run_named_stage(4, context, candidates, &ids, span, UtcTimestamp(), limit);
}

}  // namespace revuradova
