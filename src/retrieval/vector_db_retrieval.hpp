#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "models/knowledge_object.hpp"

namespace revuradova {

/// Settings of a vector store.
struct VectorDbConfig {
    std::string backend;
    std::optional<std::string> endpoint;  // where a remote backend lives
    std::optional<std::string> api_key;   // credentials of a remote backend
    std::string collection_name;
    std::string distance_metric;
    std::uint64_t dimension = 0;

    /// "memory", no endpoint or key, collection "revuradova", "cosine", 1536 dimensions.
    static VectorDbConfig defaults() {
        return VectorDbConfig{"memory", std::nullopt, std::nullopt, "revuradova", "cosine", 1536};
    }

    friend bool operator==(const VectorDbConfig&, const VectorDbConfig&) = default;
};

/// A piece of a document with an optional embedding.
struct Chunk {
    std::string id;
    std::string document_id;
    std::string text;
    std::optional<std::vector<float>> embedding;
    TextMap metadata;
    std::uint64_t position = 0;  // byte offset in the document
    std::uint32_t token_count = 0;
};

/// An in-process chunk store. An orchestrator builds one empty, with the default settings,
/// when asked to; nothing fills or reads it yet.
struct VectorDbStore {
    std::unordered_map<std::string, Chunk> chunks;  // by chunk id
    std::unordered_map<std::string, std::vector<std::string>>
        document_chunks;  // doc id -> chunk ids
    VectorDbConfig config;

    explicit VectorDbStore(VectorDbConfig settings) : config(std::move(settings)) {}
};

}  // namespace revuradova
