#include "indexing/query/bm25_query.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "indexing/query/algorithms.hpp"

namespace revuradova {
namespace {

// How many postings of the rarest term the starting threshold scores at most.
constexpr std::size_t kSeedPostings = 512;
// Roughly how many postings accumulating costs as much as walking one document at a time.
constexpr std::size_t kWalkCost = 64;

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
    // Any k scored documents give a valid threshold; the first few hundred give a good one.
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

// Document at a time costs far more per posting walked than accumulating one, so pruning
// pays only when the postings it must walk (those of the terms that can lift a document
// above the starting threshold with the weaker ones) are a small share.
bool worth_pruning(const QueryCursors& query, double floor) {
    std::size_t total = 0;
    std::size_t walked = 0;
    for (std::size_t i = 0; i < query.by_bound.size(); ++i) {
        const TermCursor& cursor = query.cursors[query.by_bound[i]];
        total += cursor.size() * cursor.repeats();
        if (query.prefix[i] * query.widen >= floor) walked += cursor.size();
    }
    return walked * kWalkCost <= total;
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
    if (algorithm == Algorithm::automatic) {
        if (cursors.cursors.size() == 1) {
            algorithm = Algorithm::single_term;
        } else {
            const double floor = starting_threshold(index, scorer_, cursors, limit);
            const bool prune = floor > 0.0 && worth_pruning(cursors, floor);
            algorithm = prune ? Algorithm::block_max_maxscore : Algorithm::term_at_a_time;
            if (prune) top.set_threshold(floor);
        }
    }
    switch (algorithm) {
        case Algorithm::single_term:
            if (cursors.cursors.size() != 1) {
                throw std::invalid_argument("the single-term algorithm needs one distinct term");
            }
            rank_single_term(scorer_, cursors, top);
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
