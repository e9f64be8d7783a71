#pragma once

// A cursor over one query term's postings and blocks, for document-at-a-time ranking.

#include <algorithm>
#include <cstdint>

#include "indexing/bm25_scorer.hpp"
#include "indexing/inverted_index.hpp"

namespace revuradova {

inline constexpr DocSlot kEndOfPostings = 0xFFFFFFFFu;

struct QueryCursor {
    const Posting* begin;
    const Posting* at;
    const Posting* end;
    const BlockBounds* blocks_begin;
    const BlockBounds* block;  // the block seek_block last stopped at
    const BlockBounds* blocks_end;
    float idf;
    TermId term;
    std::uint32_t repeats = 0;                   // how many query tokens are this term
    double bound = 0.0;                          // bounds every posting's weight, times the repeats
    const BlockBounds* bounded_block = nullptr;  // the block `block_bound` belongs to
    double block_bound = 0.0;
    std::uint32_t term_frequency = 0;  // in the document being scored; 0 when absent
    float weight = 0.0f;

    DocSlot slot() const { return at == end ? kEndOfPostings : at->slot; }

    // Moves to the first posting at `target` or later. Postings are visited in increasing
    // order, usually close to the cursor: a few steps, then gallop and bisect.
    void seek(DocSlot target) {
        for (int i = 0; i < 4; ++i) {
            if (at == end || at->slot >= target) return;
            ++at;
        }
        if (at == end || at->slot >= target) return;
        std::size_t step = 1;
        const Posting* low = at;
        while (low + step < end && (low + step)->slot < target) {
            low += step;
            step *= 2;
        }
        at = std::lower_bound(low + 1, std::min(low + step, end), target,
                              [](const Posting& p, DocSlot wanted) { return p.slot < wanted; });
    }

    // The block a document at `target` would fall in (null past the last one).
    const BlockBounds* seek_block(DocSlot target) {
        while (block != blocks_end && block->last_slot < target) ++block;
        return block == blocks_end ? nullptr : block;
    }

    // An upper bound of this term's weight in any document of `b`, times the repeats. A
    // weight grows with the term frequency and falls with the length, and float rounding
    // keeps that order, so the block's largest frequency at its shortest length bounds it.
    double block_weight(const BlockBounds* b, float average) {
        if (b != bounded_block) {
            const float k =
                BM25Scorer::length_normalisation(static_cast<float>(b->min_length), average);
            block_bound =
                static_cast<double>(BM25Scorer::term_weight(b->max_term_frequency, k, idf)) *
                repeats;
            bounded_block = b;
        }
        return block_bound;
    }
};

}  // namespace revuradova
