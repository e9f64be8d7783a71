#pragma once

// What a question asks for: its intent, decided by a fixed keyword table, and the
// selection criteria the filter stages read.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/knowledge_object.hpp"

namespace revuradova {

/// The seven intents, numbered 0 to 6 in this order.
enum class QueryIntent : std::uint8_t {
    FactualLookup,
    ProcedureGuidance,
    ComplianceCheck,
    Comparison,
    TrendAnalysis,
    Definition,
    Unknown
};

/// The member name ("FactualLookup", ...).
std::string_view intent_name(QueryIntent intent);

/// A keyword and the intent it signals.
struct IntentKeyword {
    std::string_view text;
    QueryIntent intent;
};

/// Looked for in this order in the fully lower-cased query, as a substring; the first
/// keyword found decides, and a query holding none is Unknown.
inline constexpr std::array<IntentKeyword, 15> kIntentKeywords{{
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
    std::vector<std::string> entities;           // rewarded 2.0 each in stage 4 (case-sensitive)
    std::vector<std::string> domains;            // stage 2: domain must contain one of them
    std::vector<KnowledgeType> knowledge_types;  // stage 2: type must be one of them
    TextMap metadata;
    std::optional<TimeRange> time_range;  // stage 3: created_at must lie inside
};

/// The query with the intent of its first keyword (kIntentKeywords), no other criteria.
QueryContext understand_query(std::string_view query);

}  // namespace revuradova
