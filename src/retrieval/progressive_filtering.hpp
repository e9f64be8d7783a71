#pragma once

// The four filter stages, as one table (kStages) of selections that the orchestrator runs
// in a loop. A selection maps positions to kept positions, so a chain of stages copies no
// identifiers; the named stage operations (stage1_source_relevance, ...) run the same
// table entries on identifiers, each with one progress event on the span it is given.
// Stages 2 to 4 work on entries: an entry is an input identifier together with the
// position of its first candidate (CandidateIndex::kNone when no candidate carries it).

#include <array>
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

/// What a stage's selection reads.
struct StageInput {
    const QueryContext& context;
    Candidates candidates;
    /// Stages 2 to 4: the candidates grouped by identifier (stage 1 reads none).
    const CandidateIndex* index;
    /// Stages 2 to 4: the entries (stage 1 reads the candidates themselves).
    const Positions& entries;
    UtcTimestamp now;        // stage 3's current instant
    std::uint64_t limit;     // stage 4's result limit
    ContentDigests digests;  // stage 4: the contents' digests, by candidate, or none
};

/// One stage: its names and its selection, which returns the positions kept, in output
/// order: of candidates for stage 1, of entries for the others.
struct Stage {
    StageNames names;
    Positions (*select)(const StageInput& input);
};

/// Keeps the candidates whose kind suits the intent, in candidate order.
Positions select_source_relevant(const StageInput& input);
/// Keeps the entries that meet the context's domain and knowledge-type criteria (any
/// candidate with the identifier may pass); all of them without criteria.
Positions select_type_domain(const StageInput& input);
/// Keeps the entries that have a candidate inside the time range and inside its validity
/// window at `now`.
Positions select_fresh(const StageInput& input);
/// Keeps the `limit` entries whose candidates score best against the query words and
/// entities, best first (ties in entry order).
Positions select_semantic_top(const StageInput& input);

inline constexpr std::array<Stage, 4> kStages = {{
    {kStage1, select_source_relevant},
    {kStage2, select_type_domain},
    {kStage3, select_fresh},
    {kStage4, select_semantic_top},
}};

/// Query understanding and the four stages. Stateless: every operation is a pure function
/// of its arguments plus the clocks.
struct ProgressiveFilter {
    static QueryContext understand_query(std::string_view query) {
        return revuradova::understand_query(query);
    }

    /// Stage 1 (kStages[0]) over `candidates`.
    static StageResult stage1_source_relevance(const QueryContext& context, Candidates candidates,
                                               Span& span);
    /// Stage 2 over the entries of `ids`.
    static StageResult stage2_type_domain(const QueryContext& context, Candidates candidates,
                                          Identifiers ids, Span& span);
    /// Stage 3 over the entries of `ids` at the current instant.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span);
    /// The same with the current instant given, for callers that fix the clock.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span, const UtcTimestamp& now);
    /// Stage 4 over the entries of `ids`: sorted by score (stable), the first `limit` kept.
    static StageResult stage4_semantic_reranking(const QueryContext& context, Candidates candidates,
                                                 Identifiers ids, std::uint64_t limit, Span& span);
};

}  // namespace revuradova
