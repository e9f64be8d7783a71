#pragma once

// What a search needs of BM25 for one index: K by document length (a table, since lengths
// repeat) and, per term, each posting's saturation (the weight before the idf), kept
// between searches until the index changes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "indexing/bm25_scorer.hpp"
#include "indexing/inverted_index.hpp"

namespace revuradova {

/// A posting's slot beside its saturation, so that a pass over a term reads one array.
struct SlotSaturation {
    DocSlot slot;
    float saturation;
};

/// The scratch is valid in any state: after a failed allocation an entry is only left to
/// be computed again.
class QueryScorer {
public:
    /// Brings the length table up to `index`'s current average; the scorer then reads
    /// `index` until the next call.
    void prepare(const InvertedIndex& index);

    /// K of the document at `slot`.
    float norm(DocSlot slot) const {
        const std::uint32_t length = index_->lengths()[slot];
        if (length < norm_table_.size()) return norm_table_[length];
        return BM25Scorer::length_normalisation(static_cast<float>(length), average_);
    }

    float average() const { return average_; }

    /// Each posting's slot and (tf * (k1 + 1)) / (K + tf) for `term`, valid until the next
    /// call.
    const SlotSaturation* saturations(TermId term, std::size_t count, const Posting* postings);

private:
    // Lengths below this have an entry in the table; longer documents compute K directly.
    static constexpr std::uint32_t kTabledLengths = 1u << 13;
    static constexpr std::size_t kCachedPostings = 1024;  // fewer are computed each time
    static constexpr std::size_t kCachedTerms = 64;
    static constexpr std::size_t kSaturationBudget = std::size_t{1} << 23;  // 64 MiB

    struct Saturations {
        TermId term = 0;
        std::uint64_t modification = 0;  // the index contents they hold (0: none)
        std::uint64_t last_use = 0;
        std::vector<SlotSaturation> values;
    };

    void fill(std::vector<SlotSaturation>& values, std::size_t count,
              const Posting* postings) const;
    Saturations& entry_for(TermId term, std::size_t count);

    const InvertedIndex* index_ = nullptr;
    float average_ = 0.0f;
    // K by document length for the index's average at `norm_generation_`: after the
    // average moves, one entry per length up to the longest document is rebuilt instead
    // of one per document.
    std::vector<float> norm_table_;
    std::uint32_t norm_generation_ = 0;
    std::vector<Saturations> saturations_;
    std::vector<SlotSaturation> uncached_;
    std::uint64_t use_clock_ = 0;
};

}  // namespace revuradova
