#include "retrieval/progressive_filtering.hpp"

#include <algorithm>
#include <numeric>

#include "retrieval/semantic_ranking.hpp"
#include "text/search.hpp"

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

// The stage operation around a selection: time it, record the kept identifiers, report.
template <class Select>
StageResult run_stage(const StageNames& names, Identifiers ids, Span& span, Select&& select_kept) {
    const StageTimer timer;
    StageResult result = finish_stage(names.name, select(ids, select_kept()), ids.size(), timer);
    span.add_event(stage_event(names.event_label, result));
    return result;
}

}  // namespace

Positions ProgressiveFilter::source_relevant(const QueryContext& context, Candidates candidates) {
    Positions kept;
    kept.reserve(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i + kCandidatesAhead < candidates.size())
            __builtin_prefetch(candidates[i + kCandidatesAhead]);
        if (passes_source_relevance(context.intent, *candidates[i])) {
            kept.push_back(static_cast<std::uint32_t>(i));
        }
    }
    return kept;
}

Positions ProgressiveFilter::type_domain(const QueryContext& context, const CandidateIndex& index,
                                         const Positions& firsts) {
    if (!has_type_domain_criteria(context)) return all_of(firsts.size());
    // Per identifier (its first position): does any candidate carrying it pass each test?
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
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const std::uint32_t group = firsts[i];
        const bool found = group != CandidateIndex::kNone;
        if (!context.domains.empty() && !(found && domain_passes[group])) continue;
        if (!context.knowledge_types.empty() && !(found && type_passes[group])) continue;
        kept.push_back(static_cast<std::uint32_t>(i));
    }
    return kept;
}

Positions ProgressiveFilter::fresh(const QueryContext& context, Candidates candidates,
                                   const Positions& firsts, const UtcTimestamp& now) {
    Positions kept;
    kept.reserve(firsts.size());
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        if (i + kCandidatesAhead < firsts.size() &&
            firsts[i + kCandidatesAhead] != CandidateIndex::kNone) {
            __builtin_prefetch(&candidates[firsts[i + kCandidatesAhead]]->created_at);
        }
        if (firsts[i] == CandidateIndex::kNone) continue;
        const KnowledgeObject& candidate = *candidates[firsts[i]];
        if (context.time_range) {
            const TimeRange& range = *context.time_range;
            if (range.start && candidate.created_at < *range.start) continue;
            if (range.end && candidate.created_at > *range.end) continue;
        }
        if (candidate.valid_until && now > *candidate.valid_until) continue;
        if (candidate.valid_from && now < *candidate.valid_from) continue;
        kept.push_back(static_cast<std::uint32_t>(i));
    }
    return kept;
}

Positions ProgressiveFilter::semantic_top(const QueryContext& context, Candidates candidates,
                                          const Positions& firsts, std::uint64_t limit) {
    const std::vector<Ranked> ranked = rank_semantic(lowered_query_terms(context.query),
                                                     context.entities, candidates, firsts, limit);
    Positions kept;
    kept.reserve(ranked.size());
    for (const Ranked& entry : ranked) kept.push_back(entry.position);
    return kept;
}

StageResult ProgressiveFilter::stage1_source_relevance(const QueryContext& context,
                                                       Candidates candidates, Span& span) {
    const StageTimer timer;
    StageResult result =
        finish_stage(kStage1.name, identifiers_at(candidates, source_relevant(context, candidates)),
                     candidates.size(), timer);
    span.add_event(stage_event(kStage1.event_label, result));
    return result;
}

StageResult ProgressiveFilter::stage2_type_domain(const QueryContext& context,
                                                  Candidates candidates, Identifiers ids,
                                                  Span& span) {
    return run_stage(kStage2, ids, span, [&] {
        if (!has_type_domain_criteria(context)) return all_of(ids.size());
        const CandidateIndex index(candidates);
        return type_domain(context, index, index.resolve(ids));
    });
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context, Candidates candidates,
                                                Identifiers ids, Span& span) {
    return stage3_freshness(context, candidates, ids, span, UtcTimestamp::now());
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context, Candidates candidates,
                                                Identifiers ids, Span& span,
                                                const UtcTimestamp& now) {
    return run_stage(kStage3, ids, span, [&] {
        return fresh(context, candidates, CandidateIndex(candidates).resolve(ids), now);
    });
}

StageResult ProgressiveFilter::stage4_semantic_reranking(const QueryContext& context,
                                                         Candidates candidates, Identifiers ids,
                                                         std::uint64_t limit, Span& span) {
    return run_stage(kStage4, ids, span, [&] {
        return semantic_top(context, candidates, CandidateIndex(candidates).resolve(ids), limit);
    });
}

}  // namespace revuradova
