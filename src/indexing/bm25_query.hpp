#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "indexing/inverted_index.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// One query token resolved against an index: its postings (null when no document holds
/// it) and its idf.
struct QueryTerm {
    const PostingList* postings;
    float idf;
};

/// The query tokens, in order with repeats, resolved against `index`.
std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens);

/// Term-at-a-time BM25 ranking over an inverted index, with the scratch it reuses between
/// searches: score accumulators and a table of length normalisations. A document's score
/// adds one term weight per query token in query order, so it equals a scan that scores
/// every document against every token; a document lacking a token adds nothing.
///
/// The scratch is valid in any state at the start of a search, so a search that failed
/// (bad_alloc) leaves nothing for the next one to trip on. One object serves one search at
/// a time.
class BM25Query {
public:
    /// At most `limit` (slot, score) entries, best first; equal scores by slot. Zero and NaN
    /// scores are not hits.
    std::vector<Ranked> rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                             std::size_t limit);

private:
    // Lengths below this have an entry in the normalisation table; longer documents
    // compute K directly.
    static constexpr std::uint32_t kTabledLengths = 1u << 13;

    void prepare(const InvertedIndex& index);

    // Accumulators: a slot's score, valid in sparse mode when its stamp equals the epoch.
    std::vector<float> scores_;
    std::vector<std::uint32_t> stamps_;
    std::vector<DocSlot> touched_;
    std::uint32_t epoch_ = 0;
    // K by document length for the index's average at `norm_generation_`. K depends on
    // the length alone and lengths repeat, so after the average moves a search rebuilds
    // one entry per length up to the longest document instead of one per document.
    std::vector<float> norm_table_;
    std::uint32_t norm_generation_ = 0;
};

}  // namespace revuradova
