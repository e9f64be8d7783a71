#include "retrieval/candidate_index.hpp"

namespace revuradova {

CandidateIndex::CandidateIndex(Candidates candidates) : candidates_(candidates) {
    first_.reserve(candidates.size());
    table_.reserve(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::string& id = candidates[i]->id;
        const std::uint64_t hash = text::hash_text(id);
        std::uint32_t first = table_.find(
            id, hash, [this](std::uint32_t p) -> std::string_view { return candidates_[p]->id; });
        if (first == kNone) {
            first = static_cast<std::uint32_t>(i);
            table_.insert(hash, first);
        }
        first_.push_back(first);
    }
}

std::uint32_t CandidateIndex::first_with(std::string_view id) const {
    return table_.find(id, text::hash_text(id),
                       [this](std::uint32_t p) -> std::string_view { return candidates_[p]->id; });
}

Positions CandidateIndex::resolve(const TextList& ids) const {
    Positions firsts;
    firsts.reserve(ids.size());
    for (const std::string_view id : ids) firsts.push_back(first_with(id));
    return firsts;
}

TextList identifiers_at(Candidates candidates, const Positions& positions) {
    std::size_t bytes = 0;
    for (const std::uint32_t p : positions) bytes += candidates[p]->id.size();
    TextList ids;
    ids.reserve(positions.size(), bytes);
    for (const std::uint32_t p : positions) ids.push_back(candidates[p]->id);
    return ids;
}

Positions gather(const Positions& values, const Positions& positions) {
    Positions kept;
    kept.reserve(positions.size());
    for (const std::uint32_t p : positions) kept.push_back(values[p]);
    return kept;
}

}  // namespace revuradova
