#include "indexing/query/bm25_query.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "indexing/query/algorithms.hpp"

namespace revuradova {
namespace {

// Below this many postings in all, a term at a time pass over a few cached lines costs less
// than any pruning.
constexpr std::size_t kPrunedPostings = std::size_t{1} << 15;
// How many postings of the rarest term the starting threshold scores at most.
constexpr std::size_t kSeedPostings = 128;

// The k-th best score among the documents of the term with the highest bound (usually the
// rarest), when it holds at least k and few enough to score them all cheaply; 0 otherwise.
// k documents score at least that much, so nothing scoring less can enter the top k.
double starting_threshold(const InvertedIndex& index, QueryScorer& scorer,
                          const QueryCursors& query, std::size_t limit) {
    const auto rarest = std::max_element(
        query.cursors.begin(), query.cursors.end(),
        [](const TermCursor& a, const TermCursor& b) { return a.bound() < b.bound(); });
    const std::size_t count = rarest->size();
    if (count < limit || count > index.doc_count() / 4) return 0.0;
    // Any k scored documents give a valid threshold; the first hundred or so a good one.
    const Posting* begin = rarest->postings();
    const Posting* end = begin + std::min(count, std::max(limit, kSeedPostings));
    QueryCursors probe = query;
    TopK seed(limit);
    for (const Posting* p = begin; p != end; ++p) {
        const float norm = scorer.norm(p->slot);
        for (TermCursor& cursor : probe.cursors) {
            cursor.seek(p->slot);
            cursor.load(p->slot, norm);
        }
        seed.offer({p->slot, probe.loaded_score()});
    }
    return seed.full() ? static_cast<double>(seed.worst().score) : 0.0;
}

std::size_t total_postings(const QueryCursors& query) {
    std::size_t postings = 0;
    for (const TermCursor& cursor : query.cursors) postings += cursor.size() * cursor.repeats();
    return postings;
}

// Pruning pays once the starting threshold leaves at most an eighth of the postings to
// accumulate: past that, what is probed and looked over again costs more than the plain
// term at a time saves, which has nothing to score twice.
Algorithm choose(const QueryCursors& query, double floor) {
    const std::size_t total = total_postings(query);
    if (floor <= 0.0 || total < kPrunedPostings) return Algorithm::term_at_a_time;
    if (query.postings_reaching(floor) * 8 <= total) {
        return Algorithm::pruned_term_at_a_time;
    }
    return Algorithm::term_at_a_time;
}

}  // namespace

std::vector<Ranked> BM25Query::rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                                    std::size_t limit, Algorithm algorithm) {
    if (index.doc_count() == 0 || limit == 0) return {};
    scorer_.prepare(index);
    QueryCursors cursors(query, scorer_.average());
    if (cursors.cursors.empty()) return {};
    TopK top(limit);
    top.set_threshold(std::numeric_limits<float>::denorm_min());  // positive scores only
    // k documents are known to score at least the starting threshold, so it is a floor for
    // every algorithm; the pruning ones start from it.
    const bool several = cursors.cursors.size() > 1;
    if ((algorithm == Algorithm::automatic && several) ||
        algorithm == Algorithm::pruned_term_at_a_time) {
        const double floor = starting_threshold(index, scorer_, cursors, limit);
        top.set_threshold(floor);
        if (algorithm == Algorithm::automatic) algorithm = choose(cursors, floor);
    } else if (algorithm == Algorithm::automatic) {
        algorithm = Algorithm::single_term;
    }
    switch (algorithm) {
        case Algorithm::single_term:
            if (cursors.cursors.size() != 1) {
                throw std::invalid_argument("the single-term algorithm needs one distinct term");
            }
            rank_single_term(scorer_, cursors, top);
            break;
        case Algorithm::pruned_term_at_a_time:
            rank_pruned_term_at_a_time(index, scorer_, cursors, accumulators_, top);
            break;
        case Algorithm::block_max_maxscore: rank_block_max_maxscore(scorer_, cursors, top); break;
        case Algorithm::term_at_a_time:
        case Algorithm::automatic:
            rank_term_at_a_time(index, scorer_, query, accumulators_, top);
            break;
    }
    return top.take_sorted();
}

}  // namespace revuradova
