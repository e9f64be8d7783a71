#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/text_hash.hpp"

namespace revuradova {

using TermId = std::uint32_t;

/// Maps term texts to dense ids 0, 1, 2, ... in order of first insertion. Open addressing
/// with linear probing over (hash, id) buckets, so a lookup touches one bucket line and, on
/// a hash match, the term's text; lookups take string_view and build no string.
/// Terms are never removed.
class TermDictionary {
public:
    static constexpr TermId kNotFound = 0xFFFFFFFFu;

    TermId find(std::string_view term) const {
        if (texts_.empty()) return kNotFound;
        const std::uint64_t hash = text::hash_text(term);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Bucket& bucket = buckets_[at];
            if (bucket.id == kNotFound) return kNotFound;
            if (bucket.hash == hash && texts_[bucket.id] == term) return bucket.id;
        }
    }

    /// The id of `term`, inserting it when new (`inserted` tells which).
    TermId find_or_insert(std::string_view term, bool& inserted) {
        if ((texts_.size() + 1) * 4 > buckets_.size() * 3) grow();
        const std::uint64_t hash = text::hash_text(term);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            Bucket& bucket = buckets_[at];
            if (bucket.id == kNotFound) {
                bucket = {hash, static_cast<TermId>(texts_.size())};
                texts_.emplace_back(term);
                inserted = true;
                return bucket.id;
            }
            if (bucket.hash == hash && texts_[bucket.id] == term) {
                inserted = false;
                return bucket.id;
            }
        }
    }

    std::size_t size() const { return texts_.size(); }
    const std::string& text(TermId id) const { return texts_[id]; }

private:
    struct Bucket {
        std::uint64_t hash = 0;
        TermId id = kNotFound;
    };

    void grow() {
        const std::size_t capacity = buckets_.empty() ? 64 : buckets_.size() * 2;
        std::vector<Bucket> old = std::move(buckets_);
        buckets_.assign(capacity, Bucket{});
        mask_ = capacity - 1;
        for (const Bucket& bucket : old) {
            if (bucket.id == kNotFound) continue;
            std::size_t at = bucket.hash & mask_;
            while (buckets_[at].id != kNotFound) at = (at + 1) & mask_;
            buckets_[at] = bucket;
        }
    }

    std::vector<Bucket> buckets_;
    std::vector<std::string> texts_;
    std::size_t mask_ = 0;
};

}  // namespace revuradova
