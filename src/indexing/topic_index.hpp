#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace revuradova {

struct Topic {
    std::string id;
    std::string label;
    std::optional<std::string> description;
    std::vector<std::string> keywords;
    std::uint32_t document_count = 0;
    float coherence = 0.0f;
};

/// One document's share in a topic.
struct TopicAssignment {
    std::string topic_id;
    float weight = 0.0f;
};

/// Topics and the documents assigned to them. An orchestrator builds one empty when asked
/// to; nothing fills or reads it yet.
struct TopicIndex {
    std::unordered_map<std::string, Topic> topics;  // by topic id
    std::unordered_map<std::string, std::unordered_set<std::string>>
        topic_documents;                                                        // topic -> doc ids
    std::unordered_map<std::string, std::vector<TopicAssignment>> assignments;  // doc id -> topics
    std::unordered_map<std::string, std::unordered_set<std::string>>
        keyword_topics;  // keyword -> topics

    TopicIndex() = default;
};

}  // namespace revuradova
