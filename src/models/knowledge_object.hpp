#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "models/box.hpp"
#include "models/timestamp.hpp"
#include "util/text_hash.hpp"

namespace revuradova {

/// The kind of source a document came from.
enum class SourceType : std::uint8_t {
    LocalFile,
    Pdf,
    Docx,
    Xlsx,
    Csv,
    Json,
    Yaml,
    Markdown,
    Html
};

/// The kind of knowledge a document holds.
enum class KnowledgeType : std::uint8_t {
    Procedure = 0,
    Policy = 1,
    Definition = 2,
    Data = 3,
    Code = 4,
    Discussion = 5,
    Reference = 6,
};

/// Parses the exact, case-sensitive names ("pdf", "local_file", "procedure", ...).
std::optional<SourceType> parse_source_type(std::string_view text);
std::optional<KnowledgeType> parse_knowledge_type(std::string_view text);
std::string_view source_type_name(SourceType type);
std::string_view knowledge_type_name(KnowledgeType type);

inline constexpr std::string_view kInvalidSourceType = "Invalid source type";
inline constexpr std::string_view kInvalidKnowledgeType = "Invalid knowledge type";

/// What an extracted entity names.
enum class EntityKind : std::uint8_t { Person, Organization, Location, Product, Concept, Other };

/// How two entities relate.
enum class RelationshipKind : std::uint8_t {
    Mentions,
    PartOf,
    DependsOn,
    Defines,
    References,
    Other
};

struct TableOfContentsEntry {
    std::string title;
    double position = 0.0;
    std::uint32_t level = 0;
    std::vector<Box<TableOfContentsEntry>> children;
};

struct Section {
    std::string id;
    std::string title;
    std::uint32_t level = 0;
    std::string content;
    std::vector<Box<Section>> subsections;
    double position = 0.0;
};

struct DocumentStructure {
    std::vector<TableOfContentsEntry> table_of_contents;
    std::vector<Section> sections;
    std::vector<std::string> headings;
    std::vector<std::string> labels;
    std::vector<Section> extra_sections;
    TextMap attributes;
};

struct Entity {
    std::string id;
    EntityKind kind = EntityKind::Other;
    std::string name;
    std::vector<std::string> aliases;
    std::optional<std::string> description;
    /// Byte ranges [begin, end) of the entity's mentions in the content.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    float confidence = 0.0f;
    TextMap attributes;
};

struct Relationship {
    std::string source_id;
    std::string target_id;
    std::string relation;
    TextMap attributes;
    float confidence = 0.0f;
    RelationshipKind kind = RelationshipKind::Other;
};

/// One ingested document. Built only by KnowledgeObject::create and not modified by the
/// system afterwards; the fields are public so that C++ callers (and tests) can prepare
/// objects with optional fields such as the validity window set. Copies are deep.
struct KnowledgeObject {
    // The fields a filtered search reads of every object come first, next to one another,
    // so that its passes over many objects touch as few cache lines of each as possible;
    // the domain (read for compliance questions) and the identifier (read for the kept
    // ones) follow.
    std::string content;
    KnowledgeType knowledge_type = KnowledgeType::Procedure;
    SourceType source_type = SourceType::LocalFile;
    std::uint32_t version = 1;
    UtcTimestamp created_at;
    std::optional<UtcTimestamp> valid_from;
    std::optional<UtcTimestamp> valid_until;
    std::string domain;
    std::string id;

    std::string source_location;
    std::vector<Entity> entities;
    std::vector<Relationship> relationships;
    std::vector<std::pair<std::string, float>> scored_terms;
    DocumentStructure structure;
    std::optional<std::string> note;
    std::vector<std::string> tags;
    TextMap metadata;
    UtcTimestamp updated_at;
    UtcTimestamp ingested_at;
    UtcTimestamp accessed_at;
    std::optional<UtcTimestamp> reviewed_at;

    /// Reads the clock once (all four timestamps equal), draws a "ko_" + UUID identifier
    /// and takes over the three texts. Throws ClockBeforeEpochError or RandomSourceError
    /// when the platform cannot supply those.
    static KnowledgeObject create(SourceType source_type, std::string source_location,
                                  KnowledgeType knowledge_type, std::string domain,
                                  std::string content);
};

}  // namespace revuradova
