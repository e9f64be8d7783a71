#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "models/knowledge_object.hpp"

namespace revuradova {

using TextSet = std::unordered_set<std::string>;

/// An entity as the graph keeps it: the text fields of Entity plus graph statistics.
struct IndexedEntity {
    std::string id;
    std::string name;
    std::vector<std::string> aliases;
    std::optional<std::string> description;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    TextMap attributes;
    EntityKind kind = EntityKind::Other;
    float confidence = 0.0f;
    std::uint32_t mention_count = 0;
    std::uint32_t document_count = 0;
};

/// Entities and their relationships across documents. An orchestrator builds one empty
/// when asked to; nothing fills or reads it yet.
struct EntityGraph {
    std::unordered_map<std::string, IndexedEntity> entities;          // by entity id
    std::unordered_map<std::string, TextSet> entity_ids_by_name;      // name or alias -> ids
    std::unordered_map<std::string, Relationship> relationships;      // by relationship key
    std::unordered_map<std::string, TextSet> outgoing_relationships;  // entity id -> keys
    std::unordered_map<std::string, TextSet> incoming_relationships;  // entity id -> keys
    std::unordered_map<std::string, std::string> canonical_entity_by_alias;

    EntityGraph() = default;
};

}  // namespace revuradova
