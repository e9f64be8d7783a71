#pragma once

// The exact top-k BM25 algorithms. Each takes the query's cursors or terms and a TopK
// whose threshold it both reads and raises, and leaves in it the `limit` best documents:
// the first `limit` of every document scored against every query token (one weight per
// token, added in query order in 32-bit floats), best first, ties to the earlier slot.
// Only positive scores are hits; the caller sets that floor on the TopK.

#include <vector>

#include "indexing/inverted_index.hpp"
#include "indexing/query/accumulators.hpp"
#include "indexing/query/cursor.hpp"
#include "indexing/query/scorer.hpp"
#include "indexing/query/terms.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// One distinct term: its postings in slot order, passing over whole blocks whose bound
/// cannot enter. Needs exactly one cursor.
void rank_single_term(QueryScorer& scorer, QueryCursors& query, TopK& top);

/// Term at a time: every posting's weight into accumulators, term by term in query order,
/// then the best of the slots written. Any query.
void rank_term_at_a_time(const InvertedIndex& index, QueryScorer& scorer,
                         const std::vector<QueryTerm>& query, Accumulators& accumulators,
                         TopK& top);

/// Term at a time with MaxScore pruning (Turtle and Flood 1995): terms by descending bound,
/// each accumulated for every document holding it while a document holding none of those
/// could still enter, then probed only for the documents seen that still can; the last few
/// scored exactly. Any query with at least one cursor; faster the higher the TopK's starting
/// threshold.
void rank_pruned_term_at_a_time(const InvertedIndex& index, QueryScorer& scorer,
                                QueryCursors& query, Accumulators& accumulators, TopK& top);

/// Document at a time with block-max MaxScore (Turtle and Flood 1995; Ding and Suel 2011):
/// only the postings of terms that can still lift a document into the top are walked, the
/// others probed per candidate, and candidates whose block bounds cannot enter are passed
/// over. Any query with at least one cursor; faster the higher the TopK's starting
/// threshold.
void rank_block_max_maxscore(QueryScorer& scorer, QueryCursors& query, TopK& top);

}  // namespace revuradova
