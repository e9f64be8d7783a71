#include "indexing/query/algorithms.hpp"

namespace revuradova {
namespace {

// Dense from one posting per this many documents.
constexpr std::size_t kDenseShare = 8;

}  // namespace

void rank_term_at_a_time(const InvertedIndex& index, QueryScorer& scorer,
                         const std::vector<QueryTerm>& query, Accumulators& accumulators,
                         TopK& top) {
    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.postings != nullptr) postings += term.postings->size();
    }
    const std::size_t slots = index.doc_count();
    // Many documents and a dense query: range by range, so that the scores being added to
    // stay in the cache instead of one access to memory per posting.
    if (slots > 2 * Accumulators::kRangeSlots && postings >= slots / kDenseShare) {
        std::vector<Accumulators::TokenPostings> tokens;
        tokens.reserve(query.size());
        for (const QueryTerm& term : query) {
            if (term.postings == nullptr) continue;
            tokens.push_back({term.id, term.postings->data(), term.postings->size(), 0, term.idf});
        }
        accumulators.add_and_harvest_in_ranges(tokens, slots, scorer, top);
        return;
    }
    accumulators.start(slots, postings, kDenseShare);
    for (const QueryTerm& term : query) {
        if (term.postings == nullptr) continue;
        const Posting* list = term.postings->data();
        const std::size_t count = term.postings->size();
        accumulators.add(scorer.saturations(term.id, count, list), count, term.idf);
    }
    accumulators.harvest(top);
}

}  // namespace revuradova
