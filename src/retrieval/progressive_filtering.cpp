#include "retrieval/progressive_filtering.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "indexing/top_k.hpp"
#include "retrieval/id_table.hpp"
#include "text/search.hpp"
#include "text/unicode.hpp"

namespace revuradova {
namespace {

struct Keyword {
    std::string_view text;
    QueryIntent intent;
};

// Tested in this order; the first keyword found decides.
constexpr std::array<Keyword, 15> kKeywords{{
    {"how do", QueryIntent::ProcedureGuidance},
    {"how can", QueryIntent::ProcedureGuidance},
    {"process", QueryIntent::ProcedureGuidance},
    {"is this", QueryIntent::ComplianceCheck},
    {"compliant", QueryIntent::ComplianceCheck},
    {"policy", QueryIntent::ComplianceCheck},
    {"compare", QueryIntent::Comparison},
    {"difference between", QueryIntent::Comparison},
    {"trend", QueryIntent::TrendAnalysis},
    {"growing", QueryIntent::TrendAnalysis},
    {"declining", QueryIntent::TrendAnalysis},
    {"define", QueryIntent::Definition},
    {"what is", QueryIntent::Definition},
    {"meaning", QueryIntent::Definition},
    {"?", QueryIntent::FactualLookup},
}};

float percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 0.0f;
    return (static_cast<float>(part) / static_cast<float>(whole)) * 100.0f;
}

// Fills the counts, the duration and the event of a stage that kept `kept` of `input`.
StageResult finish_stage(std::string_view stage_name, std::string_view event_label, TextList kept,
                         std::uint64_t input, const StageTimer& timer, Span& span) {
    StageResult result;
    result.stage_name = stage_name;
    result.output_count = kept.size();
    result.retained_percent = percent(result.output_count, input);
    result.filtered_count = input > result.output_count ? input - result.output_count : 0;
    result.document_ids = std::move(kept);
    result.duration_ms = timer.elapsed_ms();

    std::string event;
    event.reserve(64);
    event += event_label;
    event += ": ";
    event += counts_arrow(input, result.output_count);
    event += " docs (";
    event += format_fixed(result.retained_percent, 1);
    event += "%)";
    span.add_event(std::move(event));
    return result;
}

struct Ranked {
    std::uint32_t position;
    float score;
};

bool passes_source_relevance(QueryIntent intent, const KnowledgeObject& candidate) {
    switch (intent) {
        case QueryIntent::ProcedureGuidance:
            return candidate.knowledge_type == KnowledgeType::Procedure;
        case QueryIntent::ComplianceCheck:
            return candidate.knowledge_type == KnowledgeType::Policy ||
                   candidate.domain.find("compliance") != std::string::npos;
        case QueryIntent::Definition:
            return candidate.knowledge_type == KnowledgeType::Definition;
        case QueryIntent::FactualLookup:
        case QueryIntent::Comparison:
        case QueryIntent::TrendAnalysis:
        case QueryIntent::Unknown:
            break;
    }
    return true;
}

// Entries ordered best first: higher score, then earlier position (a stable sort by score).
struct RankOrder {
    bool operator()(const Ranked& a, const Ranked& b) const {
        if (a.score != b.score) return a.score > b.score;
        return a.position < b.position;
    }
};

// The first `limit` entries of the stable score ordering of every resolved entry. When
// `limit` cuts the list, an entry whose best possible score (every term and entity found)
// cannot beat the worst kept entry is not scanned at all: scores only grow with matches,
// and a later entry loses every tie.
std::vector<Ranked> rank_semantic(const std::vector<std::string>& lowered_terms,
                                  const std::vector<std::string>& entities, Candidates firsts,
                                  std::uint64_t limit) {
    std::vector<Ranked> ranked;
    std::string scratch;
    const auto score_of = [&](const KnowledgeObject& candidate) {
        return ProgressiveFilter::semantic_score(candidate.content, lowered_terms, entities,
                                                 scratch);
    };
    std::size_t resolved = 0;
    for (const KnowledgeObject* first : firsts) resolved += first != nullptr;
    if (limit >= resolved) {
        ranked.reserve(resolved);
        for (std::size_t i = 0; i < firsts.size(); ++i) {
            if (firsts[i] == nullptr) continue;
            ranked.push_back({static_cast<std::uint32_t>(i), score_of(*firsts[i])});
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
        return ranked;
    }
    if (limit == 0) return ranked;

    // Every match adds exactly 1 or 2, so the sum of all of them bounds the undivided score.
    const auto best_sum = static_cast<float>(lowered_terms.size() + 2 * entities.size());
    TopK<Ranked, RankOrder> top(static_cast<std::size_t>(limit), RankOrder{});
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const KnowledgeObject* candidate = firsts[i];
        if (candidate == nullptr) continue;
        if (top.full()) {
            const std::size_t length = candidate->content.size();
            const float bound =
                length == 0 ? best_sum : best_sum / std::sqrt(static_cast<float>(length));
            if (bound <= top.worst().score) continue;  // a later entry also loses every tie
        }
        top.offer({static_cast<std::uint32_t>(i), score_of(*candidate)});
    }
    return top.take_sorted();
}

}  // namespace

StageTimer::StageTimer() : start_(std::chrono::steady_clock::now()) {}

std::uint32_t StageTimer::elapsed_ms() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns) / 1'000'000u);
}

std::string_view intent_name(QueryIntent intent) {
    switch (intent) {
        case QueryIntent::FactualLookup: return "FactualLookup";
        case QueryIntent::ProcedureGuidance: return "ProcedureGuidance";
        case QueryIntent::ComplianceCheck: return "ComplianceCheck";
        case QueryIntent::Comparison: return "Comparison";
        case QueryIntent::TrendAnalysis: return "TrendAnalysis";
        case QueryIntent::Definition: return "Definition";
        case QueryIntent::Unknown: break;
    }
    return "Unknown";
}

std::string counts_arrow(std::uint64_t before, std::uint64_t after) {
    return std::to_string(before) + " \u2192 " + std::to_string(after);
}

std::string format_fixed(float value, int decimals) {
    // to_chars with a precision formats the exact binary value and rounds ties to even, as
    // printf does in the C locale, whatever locale the process has set.
    char buffer[128];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer,
                                            static_cast<double>(value),
                                            std::chars_format::fixed, decimals);
    if (error == std::errc()) return std::string(buffer, end);
    std::string big(400 + static_cast<std::size_t>(decimals), '\0');
    const auto [big_end, big_error] = std::to_chars(big.data(), big.data() + big.size(),
                                                    static_cast<double>(value),
                                                    std::chars_format::fixed, decimals);
    big.resize(big_error == std::errc() ? static_cast<std::size_t>(big_end - big.data()) : 0);
    return big;
}

QueryContext ProgressiveFilter::understand_query(std::string_view query) {
    QueryContext context;
    context.query = std::string(query);
    const std::string lowered = text::to_lowercase(query);
    for (const Keyword& keyword : kKeywords) {
        if (lowered.find(keyword.text) != std::string::npos) {
            context.intent = keyword.intent;
            return context;
        }
    }
    context.intent = QueryIntent::Unknown;
    return context;
}

StageResult ProgressiveFilter::stage1_source_relevance(const QueryContext& context,
                                                       Candidates candidates, Span& span,
                                                       KeptPositions* positions) {
    const StageTimer timer;
    TextList kept;
    kept.reserve(candidates.size(), candidates.size() * 40);
    if (positions != nullptr) positions->clear();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!passes_source_relevance(context.intent, *candidates[i])) continue;
        kept.push_back(candidates[i]->id);
        if (positions != nullptr) positions->push_back(static_cast<std::uint32_t>(i));
    }
    return finish_stage("1_source_relevance", "stage1_filtered", std::move(kept),
                        candidates.size(), timer, span);
}

StageResult ProgressiveFilter::stage2_type_domain(const QueryContext& context,
                                                  Candidates candidates, Identifiers ids,
                                                  Span& span, KeptPositions* positions) {
    const StageTimer timer;
    TextList kept;
    if (positions != nullptr) positions->clear();
    if (context.domains.empty() && context.knowledge_types.empty()) {
        kept = ids;
        if (positions != nullptr) {
            for (std::size_t i = 0; i < ids.size(); ++i) {
                positions->push_back(static_cast<std::uint32_t>(i));
            }
        }
    } else {
        // Per identifier: does any candidate carrying it pass the domain test, the type test?
        struct Passes {
            bool domain = false;
            bool type = false;
        };
        IdTable<Passes> passes(candidates.size());
        for (const KnowledgeObject* candidate : candidates) {
            bool inserted = false;
            Passes& entry = passes.find_or_insert(candidate->id, inserted);
            if (!entry.domain) {
                entry.domain = std::any_of(
                    context.domains.begin(), context.domains.end(),
                    [&](const std::string& d) { return text::contains(candidate->domain, d); });
            }
            if (!entry.type) {
                entry.type = std::find(context.knowledge_types.begin(),
                                       context.knowledge_types.end(),
                                       candidate->knowledge_type) != context.knowledge_types.end();
            }
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const Passes* entry = passes.find(ids[i]);
            if (!context.domains.empty() && (entry == nullptr || !entry->domain)) continue;
            if (!context.knowledge_types.empty() && (entry == nullptr || !entry->type)) continue;
            kept.push_back(ids[i]);
            if (positions != nullptr) positions->push_back(static_cast<std::uint32_t>(i));
        }
    }
    return finish_stage("2_type_domain", "stage2_filtered", std::move(kept), ids.size(),
                        timer, span);
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context,
                                                Candidates candidates, Identifiers ids,
                                                Span& span) {
    return stage3_freshness(context, candidates, ids, span, UtcTimestamp::now());
}

StageResult ProgressiveFilter::stage3_freshness(const QueryContext& context,
                                                Candidates candidates, Identifiers ids,
                                                Span& span, const UtcTimestamp& now) {
    const StageTimer timer;  // the lookup counts as part of the stage
    const auto firsts = first_candidates(candidates, ids);
    return freshness(context, ids, firsts, span, now, nullptr, timer);
}

std::vector<const KnowledgeObject*> ProgressiveFilter::first_candidates(Candidates candidates,
                                                                       Identifiers ids) {
    IdTable<const KnowledgeObject*> table(candidates.size());
    for (const KnowledgeObject* candidate : candidates) {
        bool inserted = false;
        const KnowledgeObject*& slot = table.find_or_insert(candidate->id, inserted);
        if (inserted) slot = candidate;
    }
    std::vector<const KnowledgeObject*> firsts;
    firsts.reserve(ids.size());
    for (const std::string_view id : ids) {
        const auto* found = table.find(id);
        firsts.push_back(found == nullptr ? nullptr : *found);
    }
    return firsts;
}

StageResult ProgressiveFilter::stage3_freshness_resolved(const QueryContext& context,
                                                         Identifiers ids, Candidates firsts,
                                                         Span& span, const UtcTimestamp& now,
                                                         KeptPositions* positions) {
    return freshness(context, ids, firsts, span, now, positions, StageTimer());
}

StageResult ProgressiveFilter::freshness(const QueryContext& context, Identifiers ids,
                                         Candidates firsts, Span& span, const UtcTimestamp& now,
                                         KeptPositions* positions, const StageTimer& timer) {
    TextList kept;
    kept.reserve(ids.size(), ids.size() * 40);
    if (positions != nullptr) positions->clear();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const KnowledgeObject* candidate = firsts[i];
        if (candidate == nullptr) continue;
        if (context.time_range) {
            const TimeRange& range = *context.time_range;
            if (range.start && candidate->created_at < *range.start) continue;
            if (range.end && candidate->created_at > *range.end) continue;
        }
        if (candidate->valid_until && now > *candidate->valid_until) continue;
        if (candidate->valid_from && now < *candidate->valid_from) continue;
        kept.push_back(ids[i]);
        if (positions != nullptr) positions->push_back(static_cast<std::uint32_t>(i));
    }
    return finish_stage("3_freshness", "stage3_filtered", std::move(kept), ids.size(), timer,
                        span);
}

float ProgressiveFilter::semantic_score(std::string_view content,
                                        const std::vector<std::string>& lowered_terms,
                                        const std::vector<std::string>& entities,
                                        std::string& scratch) {
    float score = 0.0f;
    // ASCII text lower-cases byte for byte, so terms are first looked for case-folded in
    // place; only a text with other characters, where a term was not found that way, is
    // lower-cased in full (once) and searched again.
    bool lowered = false;
    for (const std::string& term : lowered_terms) {
        bool found;
        if (!lowered) {
            const text::FoldedMatch match = text::find_ascii_folded(content, term);
            found = match == text::FoldedMatch::Found;
            if (match == text::FoldedMatch::NeedsUnicode) {
                scratch.clear();
                text::append_lowercase(content, scratch);
                lowered = true;
            }
        }
        if (lowered) found = text::contains(scratch, term);
        if (found) score = score + 1.0f;
    }
    for (const std::string& entity : entities) {
        if (text::contains(content, entity)) score = score + 2.0f;
    }
    if (!content.empty()) score = score / std::sqrt(static_cast<float>(content.size()));
    return score;
}

StageResult ProgressiveFilter::stage4_semantic_reranking(const QueryContext& context,
                                                         Candidates candidates, Identifiers ids,
                                                         std::uint64_t limit, Span& span) {
    const StageTimer timer;  // the lookup counts as part of the stage
    const auto firsts = first_candidates(candidates, ids);
    return reranking(context, ids, firsts, limit, span, nullptr, timer);
}

StageResult ProgressiveFilter::stage4_semantic_reranking_resolved(
    const QueryContext& context, Identifiers ids, Candidates firsts, std::uint64_t limit,
    Span& span, KeptPositions* positions) {
    return reranking(context, ids, firsts, limit, span, positions, StageTimer());
}

StageResult ProgressiveFilter::reranking(const QueryContext& context, Identifiers ids,
                                         Candidates firsts, std::uint64_t limit, Span& span,
                                         KeptPositions* positions, const StageTimer& timer) {
    std::vector<std::string> lowered_terms;
    for (const std::string_view term : text::split_white_space(context.query)) {
        lowered_terms.push_back(text::to_lowercase(term));
    }

    const std::vector<Ranked> ranked =
        rank_semantic(lowered_terms, context.entities, firsts, limit);
    TextList kept;
    kept.reserve(ranked.size(), ranked.size() * 40);
    if (positions != nullptr) positions->clear();
    for (const Ranked& r : ranked) {
        kept.push_back(ids[r.position]);
        if (positions != nullptr) positions->push_back(r.position);
    }
    return finish_stage("4_semantic_rerank", "stage4_reranked", std::move(kept), ids.size(),
                        timer, span);
}

void RetrievalResult::add_stage(StageResult stage) {
    // Every stage's time counts, the first one included.
    total_time_ms += stage.duration_ms;
    final_ids = stage.document_ids;
    stages.push_back(std::move(stage));
}

std::string RetrievalResult::summary() const {
    const std::uint64_t initial =
        stages.empty() ? 0 : stages.front().output_count + stages.front().filtered_count;
    const std::uint64_t final_count = final_ids.size();
    const float retained = stages.empty() ? 0.0f : percent(final_count, initial);
    std::string line = "Query: '";
    line += query;
    line += "' | Filtered: ";
    line += counts_arrow(initial, final_count);
    line += " (";
    line += format_fixed(retained, 1);
    line += "%) | Time: ";
    line += std::to_string(total_time_ms);
    line += "ms | Cost: $";
    line += format_fixed(estimated_cost, 6);
    return line;
}

}  // namespace revuradova
