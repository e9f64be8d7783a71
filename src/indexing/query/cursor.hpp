#pragma once

// A cursor over one distinct query term's postings and block bounds, for ranking a
// document at a time, and the set of cursors a query makes.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "indexing/bm25_scorer.hpp"
#include "indexing/inverted_index.hpp"
#include "indexing/query/terms.hpp"
#include "util/checks.hpp"

namespace revuradova {

/// The slot of a cursor past its last posting, after every real slot.
inline constexpr DocSlot kEndOfPostings = 0xFFFFFFFFu;

class TermCursor {
public:
    TermCursor(const QueryTerm& term, std::uint32_t repeats, float average)
        : begin_(term.postings->data()),
          at_(begin_),
          end_(begin_ + term.postings->size()),
          blocks_begin_(term.blocks->data()),
          block_(blocks_begin_),
          blocks_end_(blocks_begin_ + term.blocks->size()),
          idf_(term.idf),
          term_(term.id),
          repeats_(repeats) {
        // The largest block bound bounds every posting of the term.
        for (const BlockBounds& block : *term.blocks) {
            bound_ = std::max(bound_, block_weight(&block, average));
        }
    }

    TermId term() const { return term_; }
    float idf() const { return idf_; }
    std::uint32_t repeats() const { return repeats_; }
    const Posting* postings() const { return begin_; }
    std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
    /// Bounds this term's part of any document's score (its weight times the repeats).
    double bound() const { return bound_; }

    DocSlot slot() const { return at_ == end_ ? kEndOfPostings : at_->slot; }
    void next() { ++at_; }

    /// Moves to the first posting at `target` or later. Postings are visited in increasing
    /// order, usually close to the cursor: a few steps, then gallop and bisect.
    void seek(DocSlot target) {
        for (int i = 0; i < 4; ++i) {
            if (at_ == end_ || at_->slot >= target) return;
            ++at_;
        }
        if (at_ == end_ || at_->slot >= target) return;
        std::size_t step = 1;
        const Posting* low = at_;
        while (low + step < end_ && (low + step)->slot < target) {
            low += step;
            step *= 2;
        }
        at_ = std::lower_bound(low + 1, std::min(low + step, end_), target,
                               [](const Posting& p, DocSlot wanted) { return p.slot < wanted; });
        REVURADOVA_CHECK(slot() >= target && (at_ == begin_ || (at_ - 1)->slot < target));
    }

    /// Reads this term's weight in the document at `slot` if the cursor is on it; returns
    /// whether it is. weight() holds the weight until the next load.
    bool load(DocSlot slot, float norm) {
        loaded_ = at_ != end_ && at_->slot == slot;
        if (loaded_) weight_ = BM25Scorer::term_weight(at_->term_frequency, norm, idf_);
        return loaded_;
    }
    bool loaded() const { return loaded_; }
    float weight() const { return weight_; }

    /// The bound of this term's part in the document at `target`, from the block it would
    /// fall in (0 past the last block). Targets must not decrease between calls.
    double block_bound_at(DocSlot target, float average) {
        while (block_ != blocks_end_ && block_->last_slot < target) ++block_;
        return block_ == blocks_end_ ? 0.0 : block_weight(block_, average);
    }

    /// The bound of the block holding the posting the cursor is on (found from its position).
    double block_bound_here(float average) {
        const auto position = static_cast<std::size_t>(at_ - begin_);
        return block_weight(blocks_begin_ + position / kBlockPostings, average);
    }

    /// The bound of block `index` of this term (for scans block by block).
    double block_bound(std::size_t index, float average) {
        return block_weight(blocks_begin_ + index, average);
    }
    std::size_t block_count() const {
        return static_cast<std::size_t>(blocks_end_ - blocks_begin_);
    }

private:
    // An upper bound of the term's weight in any document of `b`, times the repeats. A
    // weight grows with the term frequency and falls with the length, and float rounding
    // keeps that order, so the block's largest frequency at its shortest length bounds it.
    double block_weight(const BlockBounds* b, float average) {
        if (b != bounded_block_) {
            const float k =
                BM25Scorer::length_normalisation(static_cast<float>(b->min_length), average);
            block_bound_ =
                static_cast<double>(BM25Scorer::term_weight(b->max_term_frequency, k, idf_)) *
                repeats_;
            bounded_block_ = b;
        }
        return block_bound_;
    }

    // Iteration.
    const Posting* begin_;
    const Posting* at_;
    const Posting* end_;
    const BlockBounds* blocks_begin_;
    const BlockBounds* block_;  // where block_bound_at last stopped
    const BlockBounds* blocks_end_;
    // The term.
    float idf_;
    TermId term_;
    std::uint32_t repeats_;
    double bound_ = 0.0;
    // Memo: the last block bound computed, and the weight of the last document loaded.
    const BlockBounds* bounded_block_ = nullptr;
    double block_bound_ = 0.0;
    bool loaded_ = false;
    float weight_ = 0.0f;
};

/// The distinct terms of a query with postings, one cursor each, and per query token in
/// order the cursor it adds to a score.
struct QueryCursors {
    std::vector<TermCursor> cursors;
    std::vector<std::uint32_t> token_cursor;
    double widen = 1.0;  // bounds times this are never below the float sums they bound
    std::vector<std::uint32_t> by_bound;  // cursors by ascending bound (ties: first seen first)
    std::vector<double> prefix;           // prefix[i]: the sum of the first i + 1 of by_bound

    QueryCursors(const std::vector<QueryTerm>& query, float average);

    /// The postings (repeats counted) of the terms, by descending bound, while the bounds
    /// from that term on could still lift a document to `floor`: what a term at a time
    /// pass pruned from that floor accumulates at most.
    std::size_t postings_reaching(double floor) const {
        std::size_t postings = 0;
        for (std::size_t i = by_bound.size(); i-- > 0;) {
            if (prefix[i] * widen < floor) break;
            postings += cursors[by_bound[i]].size() * cursors[by_bound[i]].repeats();
        }
        return postings;
    }

    /// The score of the document whose terms were just loaded: one weight per token, added
    /// in query order in 32-bit floats.
    float loaded_score() const {
        float score = 0.0f;
        for (const std::uint32_t c : token_cursor) {
            if (cursors[c].loaded()) score = score + cursors[c].weight();
        }
        return score;
    }
};

}  // namespace revuradova
