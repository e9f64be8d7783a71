#include "retrieval/query_understanding.hpp"

#include "text/unicode.hpp"

namespace revuradova {

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

QueryContext understand_query(std::string_view query) {
    QueryContext context;
    context.query = std::string(query);
    const std::string lowered = text::to_lowercase(query);
    for (const IntentKeyword& keyword : kIntentKeywords) {
        if (lowered.find(keyword.text) != std::string::npos) {
            context.intent = keyword.intent;
            return context;
        }
    }
    context.intent = QueryIntent::Unknown;
    return context;
}

}  // namespace revuradova
