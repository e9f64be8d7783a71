#include "indexing/query/terms.hpp"

#include <algorithm>
#include <numeric>

#include "indexing/bm25_scorer.hpp"
#include "indexing/query/cursor.hpp"

namespace revuradova {

std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens) {
    std::vector<QueryTerm> resolved;
    resolved.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const TermPostings found = index.find_with_bounds(token);
        const float idf =
            found.postings == nullptr
                ? 0.0f
                : BM25Scorer::inverse_document_frequency(index.doc_count(), found.postings->size());
        resolved.push_back({found, idf});
    }
    return resolved;
}

QueryCursors::QueryCursors(const std::vector<QueryTerm>& query, float average) {
    // Distinct terms by their postings, in order of first appearance, with their repeats.
    std::vector<const QueryTerm*> distinct;
    std::vector<std::uint32_t> repeats;
    token_cursor.reserve(query.size());
    for (const QueryTerm& term : query) {
        if (term.postings == nullptr || term.postings->empty()) continue;
        std::uint32_t c = 0;
        while (c < distinct.size() && distinct[c]->postings != term.postings) ++c;
        if (c == distinct.size()) {
            distinct.push_back(&term);
            repeats.push_back(0);
        }
        ++repeats[c];
        token_cursor.push_back(c);
    }
    cursors.reserve(distinct.size());
    for (std::size_t c = 0; c < distinct.size(); ++c) {
        cursors.emplace_back(*distinct[c], repeats[c], average);
    }
    // The worst rounding error of a float sum over the tokens, and then some.
    widen = 1.0 + static_cast<double>(token_cursor.size() + 2) * 0x1p-22;
    by_bound.resize(cursors.size());
    std::iota(by_bound.begin(), by_bound.end(), 0u);
    std::stable_sort(by_bound.begin(), by_bound.end(), [&](std::uint32_t a, std::uint32_t b) {
        return cursors[a].bound() < cursors[b].bound();
    });
    double running = 0.0;
    prefix.reserve(by_bound.size());
    for (const std::uint32_t c : by_bound) prefix.push_back(running += cursors[c].bound());
}

}  // namespace revuradova
