#pragma once

// Knowledge objects with chosen identifiers, and candidate lists over them, for the filter
// and orchestrator tests.

#include <string>
#include <vector>

#include "models/knowledge_object.hpp"
#include "monitoring/otel_tracing.hpp"

namespace revuradova::testing {

inline KnowledgeObject make_object(std::string id, KnowledgeType type, std::string domain,
                                   std::string content) {
    KnowledgeObject object = KnowledgeObject::create(SourceType::Markdown, "loc", type,
                                                     std::move(domain), std::move(content));
    object.id = std::move(id);
    return object;
}

inline std::vector<const KnowledgeObject*> pointers(const std::vector<KnowledgeObject>& objects) {
    std::vector<const KnowledgeObject*> out;
    out.reserve(objects.size());
    for (const auto& object : objects) out.push_back(&object);
    return out;
}

/// A span for a stage to report on.
inline Span fresh_span() { return SpanBuilder::create("trace", "span", "test").build(); }

}  // namespace revuradova::testing
