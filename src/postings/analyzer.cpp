#include "postings/analyzer.hpp"

namespace revuradova::postings {

Stemmer stemmer_named(std::string_view name) {
    if (name.empty()) return Stemmer::none;
    if (name == "english") return Stemmer::english;
    throw InvalidInput("unknown stemmer '" + std::string(name) +
                       "': accepted are '' (none) and 'english'");
}

Analyzer::Analyzer(std::size_t min_bytes, Stemmer stemmer)
    : min_bytes_(min_bytes), stemmer_(stemmer) {
    if (min_bytes == 0) throw InvalidInput("min_bytes must be at least 1, got 0");
}

std::vector<std::string> Analyzer::terms(std::string_view text) {
    std::vector<std::string> terms;
    for_each_term(
        text, [&](std::string_view term, std::size_t, std::size_t) { terms.emplace_back(term); });
    return terms;
}

std::vector<std::pair<std::size_t, std::size_t>> Analyzer::spans(std::string_view text,
                                                                 const TermSet& wanted) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    // Tokens come in order: byte offsets become code-point offsets in one walk, counting
    // every byte that does not continue a character. It steps back only when two tokens
    // come from one character (a lower-case form split by a non-alphanumeric character).
    std::size_t byte = 0;
    std::size_t code_point = 0;
    const auto starts_character = [&](std::size_t at) {
        return (static_cast<unsigned char>(text[at]) & 0xC0u) != 0x80u;
    };
    const auto code_point_at = [&](std::size_t target) {
        for (; byte < target; ++byte) code_point += starts_character(byte) ? 1 : 0;
        for (; byte > target; --byte) code_point -= starts_character(byte - 1) ? 1 : 0;
        return code_point;
    };
    for_each_term(text, [&](std::string_view term, std::size_t begin, std::size_t end) {
        if (!wanted.contains(term)) return;
        const std::size_t start = code_point_at(begin);
        spans.emplace_back(start, code_point_at(end));
    });
    return spans;
}

}  // namespace revuradova::postings
