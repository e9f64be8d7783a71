#include "retrieval/candidate_index.hpp"

#include <algorithm>
#include <cstdint>

namespace revuradova {
namespace {

// The bytes of the address held at `slot`, as a key of the text table.
std::string_view address_bytes(const KnowledgeObject* const& slot) {
    return {reinterpret_cast<const char*>(&slot), sizeof slot};
}

// Grouping by object when no object is passed twice, the common case, needs no table:
// distinct objects lie at least sizeof(KnowledgeObject) bytes apart, so each has its own
// slot of that size counted from the lowest address, and one bit per slot tells whether
// an address came before. False when an address repeats or the addresses are too spread
// out for the bits to pay (then nothing is written and the table decides).
bool all_distinct_objects(Candidates candidates, Positions& first) {
    if (candidates.empty()) return true;
    const auto address = [](const KnowledgeObject* object) {
        return reinterpret_cast<std::uintptr_t>(object);
    };
    std::uintptr_t lowest = address(candidates[0]);
    std::uintptr_t highest = lowest;
    for (const KnowledgeObject* object : candidates) {
        lowest = std::min(lowest, address(object));
        highest = std::max(highest, address(object));
    }
    const std::uintptr_t slots = (highest - lowest) / sizeof(KnowledgeObject) + 1;
    if (slots / 64 > candidates.size()) return false;  // more than a word of bits each
    std::vector<std::uint64_t> seen(static_cast<std::size_t>(slots / 64 + 1), 0);
    for (const KnowledgeObject* object : candidates) {
        const std::uintptr_t slot = (address(object) - lowest) / sizeof(KnowledgeObject);
        std::uint64_t& word = seen[static_cast<std::size_t>(slot / 64)];
        const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
        if ((word & bit) != 0) return false;
        word |= bit;
    }
    first.resize(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) first[i] = static_cast<std::uint32_t>(i);
    return true;
}

}  // namespace

// The keys are hashed some candidates ahead of the one being placed, and the bucket where
// each probe starts is requested then, so that the misses on the table overlap; grouping by
// identifier also requests the objects further ahead, since their identifiers are read.
CandidateIndex::CandidateIndex(Candidates candidates, Grouping grouping)
    : candidates_(candidates), by_object_(grouping == Grouping::ByObject) {
    constexpr std::size_t kAhead = 16;
    if (by_object_ && all_distinct_objects(candidates, first_)) return;
    first_.reserve(candidates.size());
    table_.reserve(candidates.size());
    const auto key_of = [this](std::uint32_t p) -> std::string_view {
        return by_object_ ? address_bytes(candidates_[p]) : std::string_view(candidates_[p]->id);
    };
    const std::size_t count = candidates.size();
    std::uint64_t hashes[kAhead];
    const auto request = [&](std::size_t i) {
        if (!by_object_ && i + kAhead < count) __builtin_prefetch(candidates_[i + kAhead]);
        hashes[i % kAhead] = text::hash_text(key_of(static_cast<std::uint32_t>(i)));
        table_.prefetch(hashes[i % kAhead]);
    };
    for (std::size_t i = 0; i < count && i < kAhead; ++i) request(i);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t hash = hashes[i % kAhead];
        if (i + kAhead < count) request(i + kAhead);
        const std::string_view key = key_of(static_cast<std::uint32_t>(i));
        std::uint32_t first = table_.find(key, hash, key_of);
        if (first == kNone) {
            first = static_cast<std::uint32_t>(i);
            table_.insert(hash, first);
        }
        first_.push_back(first);
    }
}

std::uint32_t CandidateIndex::first_with(std::string_view id) const {
    if (by_object_) {  // the table holds addresses: look the identifier up in order
        for (std::size_t p = 0; p < candidates_.size(); ++p) {
            if (candidates_[p]->id == id) return static_cast<std::uint32_t>(p);
        }
        return kNone;
    }
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
