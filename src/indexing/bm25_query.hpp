#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "indexing/inverted_index.hpp"
#include "indexing/query_cursor.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// One query token resolved against an index: its postings (null when no document holds
/// it) with their bounds, and its idf.
struct QueryTerm {
    TermId id;
    const PostingList* postings;
    const BlockList* blocks;
    float idf;
};

/// The query tokens, in order with repeats, resolved against `index`.
std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens);

/// Exact top-k BM25 ranking. Every strategy gives a document the score of a scan of every
/// document against every query token: one term weight per token, added in query order in
/// 32-bit floats; ties go to the earlier slot. Which strategy runs depends on the query:
/// - one distinct term: a scan of its postings that skips blocks whose bound cannot enter;
/// - several terms, one of them rare enough to give a starting threshold: document at a
///   time with block-max MaxScore (Turtle and Flood 1995; Ding and Suel 2011), which walks
///   only the postings of terms that can still lift a document into the top k;
/// - otherwise: term at a time into score accumulators.
///
/// The scratch it keeps (accumulators, a table of length normalisations) is valid in any
/// state, so a search that failed leaves nothing for the next one to trip on. One object
/// serves one search at a time.
class BM25Query {
public:
    /// At most `limit` (slot, score) entries, best first. Only positive scores are hits.
    std::vector<Ranked> rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                             std::size_t limit);

private:
    // Lengths below this have an entry in the normalisation table; longer documents
    // compute K directly.
    static constexpr std::uint32_t kTabledLengths = 1u << 13;

    // The distinct terms of a query and, per token in order, the cursor it adds.
    struct Plan {
        std::vector<QueryCursor> cursors;
        std::vector<std::uint32_t> token_cursor;
        double widen;  // bounds times this are never below the float sums they bound
        std::vector<std::uint32_t> by_bound;  // cursors by ascending bound
        std::vector<double> prefix;           // prefix[i]: sum of the first i + 1 bounds
    };

    void prepare(const InvertedIndex& index);
    float norm_of(const InvertedIndex& index, DocSlot slot) const;
    float score_of(const InvertedIndex& index, DocSlot slot, Plan& plan) const;
    double starting_threshold(const InvertedIndex& index, const Plan& plan, std::size_t limit);
    bool worth_pruning(const Plan& plan, double floor) const;
    // Roughly how many postings accumulating costs as much as walking one document at a time.
    static constexpr std::size_t kWalkCost = 64;

    std::vector<Ranked> rank_single(const InvertedIndex& index, Plan& plan, std::size_t limit);
    std::vector<Ranked> rank_pruned(const InvertedIndex& index, Plan& plan, std::size_t limit,
                                    double floor);
    std::vector<Ranked> rank_exhaustive(const InvertedIndex& index,
                                        const std::vector<QueryTerm>& query, std::size_t limit);
    const float* saturations(const InvertedIndex& index, TermId term, std::size_t count,
                             const Posting* postings);

    // Term-at-a-time accumulators: a slot's score, valid in sparse mode when its stamp
    // equals the epoch.
    std::vector<float> scores_;
    std::vector<std::uint32_t> stamps_;
    std::vector<DocSlot> touched_;
    std::uint32_t epoch_ = 0;
    // K by document length for the index's average at `norm_generation_`. K depends on
    // the length alone and lengths repeat, so after the average moves a search rebuilds
    // one entry per length up to the longest document instead of one per document.
    std::vector<float> norm_table_;
    std::uint32_t norm_generation_ = 0;
    // Each posting's (tf * (k1 + 1)) / (K + tf), the weight before the idf, for the index
    // contents of `modification` (0: none). With them, ranking costs one multiplication per
    // posting until the index changes.
    struct Saturations {
        TermId term = 0;
        std::uint64_t modification = 0;
        std::uint64_t last_use = 0;
        std::vector<float> values;
    };
    static constexpr std::size_t kCachedPostings = 1024;  // fewer are computed each time
    static constexpr std::size_t kCachedTerms = 64;
    static constexpr std::size_t kSaturationBudget = std::size_t{1} << 24;  // 64 MiB
    std::vector<Saturations> saturations_;
    std::vector<float> uncached_;
    std::uint64_t use_clock_ = 0;
};

}  // namespace revuradova
