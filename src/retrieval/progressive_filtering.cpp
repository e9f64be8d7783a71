#include "retrieval/progressive_filtering.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "retrieval/id_table.hpp"
#include "text/unicode.hpp"

namespace revuradova {
namespace {

constexpr std::string_view kArrow = "\u2192";

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

// Measures one stage on the monotonic clock.
class StageTimer {
public:
    StageTimer() : start_(std::chrono::steady_clock::now()) {}
    /// Whole milliseconds elapsed, truncated, modulo 2^32.
    std::uint32_t elapsed_ms() const {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns) / 1'000'000u);
    }

private:
    std::chrono::steady_clock::time_point start_;
};

float percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 0.0f;
    return (static_cast<float>(part) / static_cast<float>(whole)) * 100.0f;
}

// Fills the counts, the duration and the event of a stage that kept `kept` of `input`.
StageResult finish_stage(std::string_view stage_name, std::string_view event_label,
                         std::vector<std::string> kept,
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
    event += std::to_string(input);
    event += ' ';
    event += kArrow;
    event += ' ';
    event += std::to_string(result.output_count);
    event += " docs (";
    event += format_fixed(result.retained_percent, 1);
    event += "%)";
    span.add_event(std::move(event));
    return result;
}

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

// The first candidate carrying each identifier.
IdTable<const KnowledgeObject*> first_candidates(Candidates candidates) {
    IdTable<const KnowledgeObject*> table(candidates.size());
    for (const KnowledgeObject* candidate : candidates) {
        bool inserted = false;
        const KnowledgeObject*& slot = table.find_or_insert(candidate->id, inserted);
        if (inserted) slot = candidate;
    }
    return table;
}

const KnowledgeObject* lookup(const IdTable<const KnowledgeObject*>& table, std::string_view id) {
    const auto* found = table.find(id);
    return found == nullptr ? nullptr : *found;
}

// Byte-wise substring test; memmem is the C library's fast search.
bool contains(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    return memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// Lower-cases `content` into `out`: pure ASCII (the common case) through a branch-free loop
// the compiler vectorises, anything else through the full Unicode mapping.
void lowercase_into(std::string_view content, std::string& out) {
    out.clear();
    if (text::is_ascii(content)) {
        out.resize(content.size());
        char* dest = out.data();
        const char* src = content.data();
        for (std::size_t i = 0; i < content.size(); ++i) {
            const auto c = static_cast<unsigned char>(src[i]);
            dest[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26u ? 32 : 0));
        }
        return;
    }
    text::append_lowercase(content, out);
}

}  // namespace

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

std::string format_fixed(float value, int decimals) {
    // printf formats the exact binary value and rounds ties to even.
    char buffer[64];
    const int length =
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, static_cast<double>(value));
    if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        return std::string(buffer, static_cast<std::size_t>(length));
    }
    std::string big(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(big.data(), big.size(), "%.*f", decimals, static_cast<double>(value));
    big.resize(static_cast<std::size_t>(length));
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
                                                       Candidates candidates, Span& span) {
    const StageTimer timer;
    std::vector<std::string> kept;
    kept.reserve(candidates.size());
    for (const KnowledgeObject* candidate : candidates) {
        if (passes_source_relevance(context.intent, *candidate)) kept.push_back(candidate->id);
    }
    return finish_stage("1_source_relevance", "stage1_filtered", std::move(kept),
                        candidates.size(), timer, span);
}

StageResult ProgressiveFilter::stage2_type_domain(const QueryContext& context,
                                                  Candidates candidates, Identifiers ids,
                                                  Span& span) {
    const StageTimer timer;
    std::vector<std::string> kept;
    if (context.domains.empty() && context.knowledge_types.empty()) {
        kept.assign(ids.begin(), ids.end());
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
                    [&](const std::string& d) { return contains(candidate->domain, d); });
            }
            if (!entry.type) {
                entry.type = std::find(context.knowledge_types.begin(),
                                       context.knowledge_types.end(),
                                       candidate->knowledge_type) != context.knowledge_types.end();
            }
        }
        for (const std::string& id : ids) {
            const Passes* entry = passes.find(id);
            if (!context.domains.empty() && (entry == nullptr || !entry->domain)) continue;
            if (!context.knowledge_types.empty() && (entry == nullptr || !entry->type)) continue;
            kept.push_back(id);
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
    const StageTimer timer;
    const auto first = first_candidates(candidates);
    std::vector<std::string> kept;
    kept.reserve(ids.size());
    for (const std::string& id : ids) {
        const KnowledgeObject* candidate = lookup(first, id);
        if (candidate == nullptr) continue;
        if (context.time_range) {
            const TimeRange& range = *context.time_range;
            if (range.start && candidate->created_at < *range.start) continue;
            if (range.end && candidate->created_at > *range.end) continue;
        }
        if (candidate->valid_until && now > *candidate->valid_until) continue;
        if (candidate->valid_from && now < *candidate->valid_from) continue;
        kept.push_back(id);
    }
    return finish_stage("3_freshness", "stage3_filtered", std::move(kept), ids.size(), timer,
                        span);
}

float ProgressiveFilter::semantic_score(std::string_view content,
                                        const std::vector<std::string>& lowered_terms,
                                        const std::vector<std::string>& entities,
                                        std::string& scratch) {
    float score = 0.0f;
    if (!lowered_terms.empty()) {
        lowercase_into(content, scratch);
        for (const std::string& term : lowered_terms) {
            if (contains(scratch, term)) score = score + 1.0f;
        }
    }
    for (const std::string& entity : entities) {
        if (contains(content, entity)) score = score + 2.0f;
    }
    if (!content.empty()) score = score / std::sqrt(static_cast<float>(content.size()));
    return score;
}

StageResult ProgressiveFilter::stage4_semantic_reranking(const QueryContext& context,
                                                         Candidates candidates, Identifiers ids,
                                                         std::uint64_t limit, Span& span) {
    const StageTimer timer;
    std::vector<std::string> lowered_terms;
    for (const std::string_view term : text::split_white_space(context.query)) {
        lowered_terms.push_back(text::to_lowercase(term));
    }

    // Each distinct identifier is scored once, on its first candidate.
    struct Entry {
        const KnowledgeObject* candidate = nullptr;
        float score = 0.0f;
        bool scored = false;
    };
    IdTable<Entry> table(candidates.size());
    for (const KnowledgeObject* candidate : candidates) {
        bool inserted = false;
        Entry& entry = table.find_or_insert(candidate->id, inserted);
        if (inserted) entry.candidate = candidate;
    }

    struct Ranked {
        const std::string* id;
        float score;
    };
    std::vector<Ranked> ranked;
    ranked.reserve(ids.size());
    std::string scratch;
    for (const std::string& id : ids) {
        Entry* entry = table.find(id);
        if (entry == nullptr) continue;
        if (!entry->scored) {
            entry->score =
                semantic_score(entry->candidate->content, lowered_terms, context.entities, scratch);
            entry->scored = true;
        }
        ranked.push_back({&id, entry->score});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
    if (limit < ranked.size()) ranked.resize(static_cast<std::size_t>(limit));

    std::vector<std::string> kept;
    kept.reserve(ranked.size());
    for (const Ranked& r : ranked) kept.push_back(*r.id);
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
    line += std::to_string(initial);
    line += ' ';
    line += kArrow;
    line += ' ';
    line += std::to_string(final_count);
    line += " (";
    line += format_fixed(retained, 1);
    line += "%) | Time: ";
    line += std::to_string(total_time_ms);
    line += "ms | Cost: $";
    line += format_fixed(estimated_cost, 6);
    return line;
}

}  // namespace revuradova
