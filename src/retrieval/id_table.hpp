#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/text_hash.hpp"

namespace revuradova {

/// A fixed-capacity hash table from identifier views to small values, built once per
/// filter stage so that looking a candidate up by identifier is O(1) instead of a scan.
/// The keys are views: the texts they point to must outlive the table.
template <class Value>
class IdTable {
public:
    explicit IdTable(std::size_t max_keys) {
        const std::size_t capacity = std::bit_ceil(max_keys * 2 + 2);
        buckets_.resize(capacity);
        mask_ = capacity - 1;
    }

    /// The value stored under `key`, created as Value{} when absent (`inserted` is then true).
    Value& find_or_insert(std::string_view key, bool& inserted) {
        const std::uint64_t hash = text::hash_text(key);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            Bucket& bucket = buckets_[at];
            if (!bucket.used) {
                bucket = Bucket{hash, key, Value{}, true};
                inserted = true;
                return bucket.value;
            }
            if (bucket.hash == hash && bucket.key == key) {
                inserted = false;
                return bucket.value;
            }
        }
    }

    Value* find(std::string_view key) {
        return const_cast<Value*>(static_cast<const IdTable&>(*this).find(key));
    }

    const Value* find(std::string_view key) const {
        const std::uint64_t hash = text::hash_text(key);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Bucket& bucket = buckets_[at];
            if (!bucket.used) return nullptr;
            if (bucket.hash == hash && bucket.key == key) return &bucket.value;
        }
    }

private:
    struct Bucket {
        std::uint64_t hash = 0;
        std::string_view key;
        Value value{};
        bool used = false;
    };
    std::vector<Bucket> buckets_;
    std::size_t mask_ = 0;
};

}  // namespace revuradova
