#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "util/text_hash.hpp"

namespace revuradova {

/// An open-addressing hash set of indexes into a caller's array of texts: the table maps a
/// text to the index under which the caller keeps it, and asks the caller (`key_of(index)`)
/// for the text whenever it must compare. Linear probing over 8-byte buckets holding the
/// low 32 bits of the text's hash and the index; deletion shifts the run back, so there are
/// no tombstones and a probe run never outgrows the entries it holds.
///
/// Invariants: at most three quarters of the buckets are used; every entry lies in the run
/// that starts at its home bucket (hash & mask). Growing allocates the new bucket array
/// before giving up the old one, so reserve() either succeeds or changes nothing, and
/// insert() after a successful reserve() cannot fail.
class IndexTable {
public:
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

    IndexTable() = default;
    IndexTable(const IndexTable&) = default;
    IndexTable& operator=(const IndexTable&) = default;
    // A moved-from table is empty, not a size without buckets.
    IndexTable(IndexTable&& other) noexcept
        : buckets_(std::exchange(other.buckets_, {})),
          mask_(std::exchange(other.mask_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    IndexTable& operator=(IndexTable&& other) noexcept {
        buckets_ = std::exchange(other.buckets_, {});
        mask_ = std::exchange(other.mask_, 0);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    std::size_t size() const noexcept { return size_; }

    /// The index stored for `key` (whose hash is `hash`), or kAbsent.
    template <class KeyOf>
    std::uint32_t find(std::string_view key, std::uint64_t hash, KeyOf&& key_of) const {
        if (size_ == 0) return kAbsent;
        const auto tag = static_cast<std::uint32_t>(hash);
        for (std::size_t at = tag & mask_;; at = (at + 1) & mask_) {
            const Bucket& bucket = buckets_[at];
            if (bucket.index == kAbsent) return kAbsent;
            if (bucket.tag == tag && key_of(bucket.index) == key) return bucket.index;
        }
    }

    /// Starts loading the bucket where a probe for `hash` begins. A hint only: lookups of
    /// many keys call it some keys ahead, so that the cache misses overlap.
    void prefetch(std::uint64_t hash) const noexcept {
        if (size_ != 0) __builtin_prefetch(&buckets_[static_cast<std::uint32_t>(hash) & mask_]);
    }

    /// Calls `touch(index)` for the first entry whose tag matches `hash` (no key compared),
    /// so that a caller can start loading the key a later find() will compare.
    template <class Touch>
    void prefetch_key(std::uint64_t hash, Touch&& touch) const noexcept {
        if (size_ == 0) return;
        const auto tag = static_cast<std::uint32_t>(hash);
        for (std::size_t at = tag & mask_;; at = (at + 1) & mask_) {
            const Bucket& bucket = buckets_[at];
            if (bucket.index == kAbsent) return;
            if (bucket.tag == tag) return touch(bucket.index);
        }
    }

    /// Makes room for `more` entries beyond the current ones. Strong guarantee.
    void reserve(std::size_t more) {
        const std::size_t wanted = size_ + more;
        if (wanted * 4 <= buckets_.size() * 3) return;
        std::size_t capacity = buckets_.empty() ? 16 : buckets_.size();
        while (wanted * 4 > capacity * 3) capacity *= 2;
        std::vector<Bucket> grown(capacity, Bucket{});
        const std::size_t mask = capacity - 1;
        for (const Bucket& bucket : buckets_) {
            if (bucket.index == kAbsent) continue;
            std::size_t at = bucket.tag & mask;
            while (grown[at].index != kAbsent) at = (at + 1) & mask;
            grown[at] = bucket;
        }
        buckets_ = std::move(grown);
        mask_ = mask;
    }

    /// Adds `index` under `hash`; the key must be absent and room reserved.
    void insert(std::uint64_t hash, std::uint32_t index) noexcept {
        const auto tag = static_cast<std::uint32_t>(hash);
        std::size_t at = tag & mask_;
        while (buckets_[at].index != kAbsent) at = (at + 1) & mask_;
        buckets_[at] = Bucket{tag, index};
        ++size_;
    }

    /// Removes the entry holding `index` (stored under `hash`); nothing when absent.
    void erase(std::uint64_t hash, std::uint32_t index) noexcept {
        if (size_ == 0) return;
        std::size_t hole = static_cast<std::uint32_t>(hash) & mask_;
        while (buckets_[hole].index != index) {
            if (buckets_[hole].index == kAbsent) return;
            hole = (hole + 1) & mask_;
        }
        // Backward shift: pull later entries of the run into the hole when the hole lies
        // between their home and their bucket.
        for (std::size_t at = (hole + 1) & mask_; buckets_[at].index != kAbsent;
             at = (at + 1) & mask_) {
            const std::size_t home = buckets_[at].tag & mask_;
            const bool movable = ((at - home) & mask_) >= ((at - hole) & mask_);
            if (movable) {
                buckets_[hole] = buckets_[at];
                hole = at;
            }
        }
        buckets_[hole] = Bucket{};
        --size_;
    }

private:
    struct Bucket {
        std::uint32_t tag = 0;
        std::uint32_t index = kAbsent;
    };

    std::vector<Bucket> buckets_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace revuradova
