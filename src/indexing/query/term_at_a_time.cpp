#include "indexing/query/algorithms.hpp"

namespace revuradova {

void rank_term_at_a_time(const InvertedIndex& index, QueryScorer& scorer,
                         const std::vector<QueryTerm>& query, Accumulators& accumulators,
                         TopK& top) {
    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.postings != nullptr) postings += term.postings->size();
    }
    accumulators.start(index.doc_count(), postings);
    for (const QueryTerm& term : query) {
        if (term.postings == nullptr) continue;
        const Posting* list = term.postings->data();
        const std::size_t count = term.postings->size();
        accumulators.add(scorer.saturations(term.id, count, list), count, term.idf);
    }
    accumulators.harvest(top);
}

}  // namespace revuradova
