#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/index_table.hpp"
#include "util/reserve.hpp"

namespace revuradova {

using TermId = std::uint32_t;

/// Maps the terms of an index to small dense ids, so that postings and per-term data live
/// in plain arrays. A term that leaves the index gives its id back, and the next new term
/// takes it. Lookups take string_view and build no string.
///
/// Insertion and removal are split so that a caller can make room for everything first
/// (reserve, reserve_removals: these may fail and change nothing) and then change the
/// dictionary with calls that cannot fail (insert, erase).
class TermDictionary {
public:
    static constexpr TermId kNotFound = IndexTable::kAbsent;

    TermId find(std::string_view term) const { return find(term, text::hash_text(term)); }
    TermId find(std::string_view term, std::uint64_t hash) const {
        return table_.find(term, hash,
                           [this](TermId id) -> std::string_view { return texts_[id]; });
    }

    /// Cache hints for a find(term, hash) to come: first the bucket, then (once the bucket
    /// has arrived) the text it will be compared with.
    void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }
    void prefetch_text(std::uint64_t hash) const noexcept {
        table_.prefetch_key(hash, [this](TermId id) { __builtin_prefetch(&texts_[id]); });
    }

    /// Number of terms in the dictionary.
    std::size_t size() const noexcept { return table_.size(); }
    /// Every id in use is below this bound.
    std::size_t id_bound() const noexcept { return texts_.size(); }
    const std::string& text(TermId id) const { return texts_[id]; }
    /// Whether `id` names a term in the dictionary now.
    bool contains_id(TermId id) const { return id < texts_.size() && !texts_[id].empty(); }

    /// Room for `more` insertions. Strong guarantee.
    void reserve(std::size_t more) {
        table_.reserve(more);
        reserve_more(texts_, more);
    }
    /// Room for `more` removals. Strong guarantee.
    void reserve_removals(std::size_t more) { reserve_more(free_ids_, more); }

    /// Adds a term that is absent (texts are never empty: tokens have three bytes or more)
    /// and returns its id; needs room reserved.
    TermId insert(std::string&& term, std::uint64_t hash) noexcept {
        TermId id;
        if (!free_ids_.empty()) {
            id = free_ids_.back();
            free_ids_.pop_back();
            texts_[id] = std::move(term);
        } else {
            id = static_cast<TermId>(texts_.size());
            texts_.push_back(std::move(term));  // within reserved capacity
        }
        table_.insert(hash, id);
        return id;
    }

    /// Removes the term `id`; needs room reserved with reserve_removals().
    void erase(TermId id) noexcept {
        table_.erase(text::hash_text(texts_[id]), id);
        std::string().swap(texts_[id]);
        free_ids_.push_back(id);  // within reserved capacity
    }

private:
    IndexTable table_;
    std::vector<std::string> texts_;  // by id; empty for a free id
    std::vector<TermId> free_ids_;
};

}  // namespace revuradova
