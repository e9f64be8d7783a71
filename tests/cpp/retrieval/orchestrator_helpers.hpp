#pragma once

// Objects, configurations and span readers for the orchestrator tests.

#include <string>
#include <vector>

#include "retrieval/orchestrator.hpp"
#include "test_objects.hpp"

namespace revuradova::testing {

inline KnowledgeObject make(std::string id, KnowledgeType type, std::string content) {
    return testing::make_object(std::move(id), type, "ops", std::move(content));
}

inline OrchestratorConfig config(bool bm25, bool progressive, std::uint64_t max_results = 10) {
    OrchestratorConfig c;
    c.enable_bm25 = bm25;
    c.enable_progressive_filtering = progressive;
    c.max_results = max_results;
    return c;
}

inline std::vector<std::string> event_names(const Span& span) {
    std::vector<std::string> names;
    for (const auto& e : span.events) names.push_back(e.name);
    return names;
}

}  // namespace revuradova::testing
