#include "models/knowledge_object.hpp"

#include <array>

#include "models/uuid.hpp"

namespace revuradova {
namespace {

constexpr std::array<std::pair<std::string_view, SourceType>, 9> kSourceTypeNames{{
    {"local_file", SourceType::LocalFile},
    {"pdf", SourceType::Pdf},
    {"docx", SourceType::Docx},
    {"xlsx", SourceType::Xlsx},
    {"csv", SourceType::Csv},
    {"json", SourceType::Json},
    {"yaml", SourceType::Yaml},
    {"markdown", SourceType::Markdown},
    {"html", SourceType::Html},
}};

constexpr std::array<std::pair<std::string_view, KnowledgeType>, 7> kKnowledgeTypeNames{{
    {"procedure", KnowledgeType::Procedure},
    {"policy", KnowledgeType::Policy},
    {"definition", KnowledgeType::Definition},
    {"data", KnowledgeType::Data},
    {"code", KnowledgeType::Code},
    {"discussion", KnowledgeType::Discussion},
    {"reference", KnowledgeType::Reference},
}};

template <class Enum, std::size_t N>
std::optional<Enum> lookup(const std::array<std::pair<std::string_view, Enum>, N>& table,
                           std::string_view text) {
    for (const auto& [name, value] : table) {
        if (name == text) return value;
    }
    return std::nullopt;
}

template <class Enum, std::size_t N>
std::string_view name_of(const std::array<std::pair<std::string_view, Enum>, N>& table,
                         Enum value) {
    return table[static_cast<std::size_t>(value)].first;
}

}  // namespace

std::optional<SourceType> parse_source_type(std::string_view text) {
    return lookup(kSourceTypeNames, text);
}

std::optional<KnowledgeType> parse_knowledge_type(std::string_view text) {
    return lookup(kKnowledgeTypeNames, text);
}

std::string_view source_type_name(SourceType type) { return name_of(kSourceTypeNames, type); }

std::string_view knowledge_type_name(KnowledgeType type) {
    return name_of(kKnowledgeTypeNames, type);
}

KnowledgeObject KnowledgeObject::create(SourceType source_type, std::string source_location,
                                        KnowledgeType knowledge_type, std::string domain,
                                        std::string content) {
    const UtcTimestamp now = UtcTimestamp::now();
    KnowledgeObject object;
    object.id = uuid_v4(system_random_bytes, "ko_");
    object.source_type = source_type;
    object.source_location = std::move(source_location);
    object.knowledge_type = knowledge_type;
    object.domain = std::move(domain);
    object.content = std::move(content);
    object.created_at = now;
    object.updated_at = now;
    object.ingested_at = now;
    object.accessed_at = now;
    return object;
}

}  // namespace revuradova
