#pragma once

// The four filter stages. Each has two faces over one implementation:
// - the stage operation (stage1_source_relevance, ...): identifiers in, a StageResult out,
//   one progress event on the span it is given;
// - its selection (source_relevant, type_domain, fresh, semantic_top): positions in,
//   kept positions out, which the orchestrator chains without copying identifiers.
// Stages 2 to 4 work on entries: an entry is an input identifier together with the
// position of its first candidate (CandidateIndex::kNone when no candidate carries it).

#include <cstdint>
#include <string_view>

#include "models/timestamp.hpp"
#include "monitoring/otel_tracing.hpp"
#include "retrieval/candidate_index.hpp"
#include "retrieval/query_understanding.hpp"
#include "retrieval/retrieval_result.hpp"

namespace revuradova {

using Identifiers = const TextList&;

/// Names and progress labels of the stages, in order.
struct StageNames {
    std::string_view name;
    std::string_view event_label;
};
inline constexpr StageNames kStage1{"1_source_relevance", "stage1_filtered"};
inline constexpr StageNames kStage2{"2_type_domain", "stage2_filtered"};
inline constexpr StageNames kStage3{"3_freshness", "stage3_filtered"};
inline constexpr StageNames kStage4{"4_semantic_rerank", "stage4_reranked"};

/// Query understanding and the four stages. Stateless: every operation is a pure function
/// of its arguments plus the clocks.
struct ProgressiveFilter {
    static QueryContext understand_query(std::string_view query) {
        return revuradova::understand_query(query);
    }

    /// Keeps the candidates whose kind suits the intent, in candidate order.
    static StageResult stage1_source_relevance(const QueryContext& context, Candidates candidates,
                                               Span& span);
    /// Applies the context's domain and knowledge-type criteria (any candidate with the
    /// identifier may pass).
    static StageResult stage2_type_domain(const QueryContext& context, Candidates candidates,
                                          Identifiers ids, Span& span);
    /// Drops identifiers without a candidate, outside the time range, or outside their
    /// first candidate's validity window at the current instant.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span);
    /// The same with the current instant given, for callers that fix the clock.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span, const UtcTimestamp& now);
    /// Scores each identifier's first candidate against the query words and entities,
    /// sorts by score (stable) and keeps the first `limit`.
    static StageResult stage4_semantic_reranking(const QueryContext& context, Candidates candidates,
                                                 Identifiers ids, std::uint64_t limit, Span& span);

    /// Stage 1's selection: positions of the candidates kept.
    static Positions source_relevant(const QueryContext& context, Candidates candidates);
    /// Stage 2's selection: indices of the entries kept (all of them without criteria).
    static Positions type_domain(const QueryContext& context, const CandidateIndex& index,
                                 const Positions& firsts);
    /// Stage 3's selection: indices of the entries kept.
    static Positions fresh(const QueryContext& context, Candidates candidates,
                           const Positions& firsts, const UtcTimestamp& now);
    /// Stage 4's selection: indices of the entries kept, best first.
    static Positions semantic_top(const QueryContext& context, Candidates candidates,
                                  const Positions& firsts, std::uint64_t limit);
};

}  // namespace revuradova
