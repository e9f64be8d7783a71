#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "models/knowledge_object.hpp"
#include "models/text_list.hpp"
#include "monitoring/otel_tracing.hpp"

namespace revuradova {

/// What a query asks for, decided by fixed keyword rules.
enum class QueryIntent : std::uint8_t {
    FactualLookup = 0,
    ProcedureGuidance = 1,
    ComplianceCheck = 2,
    Comparison = 3,
    TrendAnalysis = 4,
    Definition = 5,
    Unknown = 6,
};

/// The member name ("FactualLookup", ...).
std::string_view intent_name(QueryIntent intent);

/// Inclusive bounds on `created_at`; an absent bound does not restrict.
struct TimeRange {
    std::optional<UtcTimestamp> start;
    std::optional<UtcTimestamp> end;
};

/// A query and the selection criteria the stages read. understand_query fills only
/// `query` and `intent`; C++ callers may set the other criteria before running stages.
struct QueryContext {
    std::string query;
    QueryIntent intent = QueryIntent::Unknown;
    std::vector<std::string> entities;  // rewarded 2.0 each in stage 4 (case-sensitive)
    std::vector<std::string> domains;   // stage 2: domain must contain one of them
    std::vector<KnowledgeType> knowledge_types;  // stage 2: type must be one of them
    TextMap metadata;
    std::optional<TimeRange> time_range;  // stage 3: created_at must lie inside
};

/// What one stage kept and how long it took.
struct StageResult {
    std::string stage_name;
    TextList document_ids;
    std::uint64_t output_count = 0;
    std::uint64_t filtered_count = 0;
    float retained_percent = 0.0f;
    std::uint32_t duration_ms = 0;
};

/// The record of one search.
struct RetrievalResult {
    std::string query;
    std::vector<StageResult> stages;
    TextList final_ids;
    std::uint32_t total_time_ms = 0;
    float estimated_cost = 0.0f;

    /// Counts the stage's duration, makes its identifiers the final ones and keeps it.
    void add_stage(StageResult stage);

    /// "Query: '{}' | Filtered: {} → {} ({:.1}%) | Time: {}ms | Cost: ${:.6}"
    std::string summary() const;
};

/// Candidates are read in place: the caller's knowledge objects, in the caller's order.
using Candidates = std::span<const KnowledgeObject* const>;
using Identifiers = const TextList&;

/// Positions, in a stage's input, of the entries the stage kept, in output order. Callers
/// that keep data of their own alongside the identifiers follow a stage with these.
using KeptPositions = std::vector<std::uint32_t>;

/// "<before> → <after>" in plain decimals (the arrow is U+2192), as progress texts show counts.
std::string counts_arrow(std::uint64_t before, std::uint64_t after);

/// Formats a float with `decimals` digits after the point from its exact value, ties to
/// even ("6.2" for 6.25).
std::string format_fixed(float value, int decimals);

/// Measures one stage on the monotonic clock.
class StageTimer {
public:
    StageTimer();
    /// Whole milliseconds elapsed, truncated, modulo 2^32.
    std::uint32_t elapsed_ms() const;

private:
    std::chrono::steady_clock::time_point start_;
};

/// Query understanding and the four filter stages. Stateless: every operation is a pure
/// function of its arguments plus the clocks, and appends exactly one event to `span`.
struct ProgressiveFilter {
    static QueryContext understand_query(std::string_view query);

    /// Keeps the candidates whose kind suits the intent, in candidate order.
    static StageResult stage1_source_relevance(const QueryContext& context, Candidates candidates,
                                               Span& span, KeptPositions* kept = nullptr);

    /// Applies the context's domain and knowledge-type criteria (any candidate with the
    /// identifier may pass).
    static StageResult stage2_type_domain(const QueryContext& context, Candidates candidates,
                                          Identifiers ids, Span& span,
                                          KeptPositions* kept = nullptr);

    /// Drops identifiers without a candidate, outside the time range, or outside their
    /// first candidate's validity window at the current instant.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span);
    /// The same with the current instant given, for callers that fix the clock.
    static StageResult stage3_freshness(const QueryContext& context, Candidates candidates,
                                        Identifiers ids, Span& span, const UtcTimestamp& now);

    /// Scores each identifier's first candidate against the query words and entities,
    /// sorts by score (stable) and keeps the first `limit`.
    static StageResult stage4_semantic_reranking(const QueryContext& context,
                                                 Candidates candidates, Identifiers ids,
                                                 std::uint64_t limit, Span& span);

    /// For each identifier, the first candidate carrying it, or null.
    static std::vector<const KnowledgeObject*> first_candidates(Candidates candidates,
                                                                Identifiers ids);

    /// Stages 3 and 4 for identifiers already resolved to their first candidate
    /// (`firsts[i]` for `ids[i]`, null when none carries it): the same results without a
    /// lookup per stage.
    static StageResult stage3_freshness_resolved(const QueryContext& context, Identifiers ids,
                                                 Candidates firsts, Span& span,
                                                 const UtcTimestamp& now, KeptPositions* kept);
    static StageResult stage4_semantic_reranking_resolved(const QueryContext& context,
                                                          Identifiers ids, Candidates firsts,
                                                          std::uint64_t limit, Span& span,
                                                          KeptPositions* kept);

private:
    static StageResult freshness(const QueryContext& context, Identifiers ids, Candidates firsts,
                                 Span& span, const UtcTimestamp& now, KeptPositions* kept,
                                 const StageTimer& timer);
    static StageResult reranking(const QueryContext& context, Identifiers ids, Candidates firsts,
                                 std::uint64_t limit, Span& span, KeptPositions* kept,
                                 const StageTimer& timer);

public:
    /// The stage-4 score of one content for already lower-cased query terms. `scratch`
    /// holds the lower-cased content when it is not pure ASCII.
    static float semantic_score(std::string_view content,
                                const std::vector<std::string>& lowered_terms,
                                const std::vector<std::string>& entities,
                                std::string& scratch);
};

}  // namespace revuradova
