#pragma once

// The knowledge objects a search was given, grouped by identifier: stages 2 to 4 look
// candidates up by identifier, and two candidates with the same identifier count as one
// (the first in candidate order).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "models/knowledge_object.hpp"
#include "text/content_digest.hpp"
#include "util/index_table.hpp"
#include "util/text_list.hpp"

namespace revuradova {

/// Candidates are read in place: the caller's knowledge objects, in the caller's order.
using Candidates = std::span<const KnowledgeObject* const>;
/// Digests of the candidates' contents, by candidate position (null: none), that a caller
/// keeps for objects it knows never change; or none at all.
using ContentDigests = std::span<const text::ContentDigest* const>;

/// The objects are all over the heap: a pass over candidates requests the one this many
/// positions ahead of the one it reads, so that the cache misses overlap.
inline constexpr std::size_t kCandidatesAhead = 8;

/// Positions into a list: of candidates, or of a stage's input entries.
using Positions = std::vector<std::uint32_t>;

class CandidateIndex {
public:
    static constexpr std::uint32_t kNone = IndexTable::kAbsent;

    /// What makes two candidates one: equal identifiers, or (when the caller guarantees
    /// that equal identifiers come only with the same object) the same address.
    enum class Grouping { ByIdentifier, ByObject };

    /// One pass over `candidates` (at most 2^32 - 2 of them).
    explicit CandidateIndex(Candidates candidates, Grouping grouping = Grouping::ByIdentifier);

    Candidates candidates() const { return candidates_; }
    /// The position of the first candidate carrying `id`, or kNone.
    std::uint32_t first_with(std::string_view id) const;
    /// For the candidate at `position`, the first position carrying the same identifier.
    std::uint32_t first_of(std::uint32_t position) const { return first_[position]; }

    /// first_with for each identifier, in order.
    Positions resolve(const TextList& ids) const;

private:
    Candidates candidates_;
    bool by_object_;
    IndexTable table_;  // identifier (or address) -> first position
    Positions first_;
};

/// The identifiers of the candidates at `positions`, in that order.
TextList identifiers_at(Candidates candidates, const Positions& positions);

/// The entries of `values` at `positions`, in that order.
Positions gather(const Positions& values, const Positions& positions);

}  // namespace revuradova
