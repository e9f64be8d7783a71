#pragma once

// Score accumulators for ranking a term at a time: one float per document slot.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "indexing/inverted_index.hpp"
#include "indexing/query/scorer.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// Dense when a query adds at least one weight per few documents (no bookkeeping per
/// posting, one pass over every slot at the end); sparse below that, where stamps tell which slots
/// this search has written and only those are visited. Valid in any state: a search that
/// failed leaves nothing for the next one to trip on.
class Accumulators {
public:
    /// Starts a search over `slots` documents that adds about `postings` weights; dense
    /// from one posting per `dense_share` slots on (a caller that looks over the written
    /// slots several times wants dense sooner).
    void start(std::size_t slots, std::size_t postings, std::size_t dense_share = 4);

    /// Adds each posting's saturation * idf to the score of its slot.
    void add(const SlotSaturation* postings, std::size_t count, float idf);

    /// Like add, for the slots already written in this search only (dense: every slot).
    void add_to_written(const SlotSaturation* postings, std::size_t count, float idf);

    bool dense() const { return dense_; }
    /// The slots written so far (dense: every slot).
    std::size_t written() const { return dense_ ? slots_ : touched_count_; }

    /// How many written slots score at least `bar`.
    std::size_t count_reaching(float bar) const;

    /// Offers every written slot's score to `top`.
    void harvest(TopK& top) const;

    /// The `k`-th largest score written, or 0 when fewer than `k` slots were written.
    float kth_largest(std::size_t k) const;

    /// Every written slot whose score is at least `bar` (and positive), in slot order.
    void collect(float bar, std::vector<Ranked>& out) const;

    /// One query token's postings, and how many of them are added already.
    struct TokenPostings {
        TermId term;
        const Posting* postings;
        std::size_t count;
        std::size_t added;
        float idf;
    };

    /// Term at a time over `slots` documents, range by range of `range` slots: per range
    /// every token's weights added in token order, then the range's scores offered to
    /// `top`. The same offers as start(), add() per token and harvest(), from scores that
    /// stay in the cache however many documents there are.
    void add_and_harvest_in_ranges(std::vector<TokenPostings>& tokens, std::size_t slots,
                                   QueryScorer& scorer, TopK& top, std::size_t range = kRangeSlots);
    static constexpr std::size_t kRangeSlots = std::size_t{1} << 17;

private:
    // Sparse: a slot's score beside the stamp of the search that last wrote it, so that
    // each posting costs one cache line.
    struct Cell {
        float score;
        std::uint32_t stamp;
    };

    std::span<const DocSlot> touched() const { return {touched_.data(), touched_count_}; }

    std::vector<float> scores_;  // dense
    std::vector<float> range_;   // the scores of one range of slots
    std::vector<Cell> cells_;    // sparse
    // The slots written, first written first: the first touched_count_ entries (the
    // vector only grows, so that a search writes into room made once).
    std::vector<DocSlot> touched_;
    std::size_t touched_count_ = 0;
    std::uint32_t epoch_ = 0;
    std::size_t slots_ = 0;
    bool dense_ = false;
};

}  // namespace revuradova
