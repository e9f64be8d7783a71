#pragma once

#include <cstddef>
#include <vector>

#include "indexing/inverted_index.hpp"
#include "indexing/query/accumulators.hpp"
#include "indexing/query/scorer.hpp"
#include "indexing/query/terms.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// Which algorithm ranks a query (see algorithms.hpp). `automatic` lets the planner choose;
/// the others force one, for tests and benchmarks.
enum class Algorithm {
    automatic,
    single_term,
    term_at_a_time,
    pruned_term_at_a_time,
    block_max_maxscore,
};

/// Exact top-k BM25 ranking: every algorithm gives the ranking of a scan of every document
/// against every query token. The planner picks
/// - one distinct term: the single-term scan;
/// - several terms with many postings, one of them rare enough to give a starting threshold
///   that leaves at most an eighth of them to accumulate: term at a time with MaxScore
///   pruning, started from that threshold;
/// - otherwise: term at a time (on many documents, range by range of them).
/// Block-max MaxScore (document at a time) is only run when forced: on every corpus
/// measured, the pruned term at a time beats it.
///
/// The scratch it keeps (the scorer's tables, accumulators) is valid in any state, so a
/// search that failed leaves nothing for the next one to trip on. One object serves one
/// search at a time.
class BM25Query {
public:
    /// At most `limit` (slot, score) entries, best first. Only positive scores are hits.
    /// Forcing single_term on a query of several distinct terms throws
    /// std::invalid_argument.
    std::vector<Ranked> rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                             std::size_t limit, Algorithm algorithm = Algorithm::automatic);

private:
    QueryScorer scorer_;
    Accumulators accumulators_;
};

}  // namespace revuradova
