#include "indexing/bm25_indexer.hpp"

#include <algorithm>

#include "indexing/tokenizer.hpp"

namespace revuradova {

std::vector<std::string> BM25Indexer::tokenize(std::string_view text) {
    std::vector<std::string> tokens;
    std::string scratch;
    for_each_token(text, scratch, [&](std::string_view token) { tokens.emplace_back(token); });
    return tokens;
}

std::vector<Ranked> BM25Indexer::rank(std::string_view query, std::size_t limit,
                                      Algorithm algorithm) const {
    if (index_.doc_count() == 0 || limit == 0) return {};
    return query_.rank(index_, resolve_query(index_, tokenize(query)), limit, algorithm);
}

std::vector<SearchResult> BM25Indexer::search(std::string_view query, std::size_t limit) const {
    if (index_.doc_count() == 0 || limit == 0) return {};
    const std::vector<std::string> tokens = tokenize(query);
    const std::vector<QueryTerm> terms = resolve_query(index_, tokens);
    const std::vector<Ranked> ranked = query_.rank(index_, terms, limit);

    std::vector<SearchResult> results;
    results.reserve(ranked.size());
    for (const Ranked& hit : ranked) {
        const DocumentRecord& document = index_.document(hit.position);
        SearchResult result{std::string(document.id().view()),
                            std::string(document.location()),
                            std::string(document.preview()),
                            {},
                            hit.score};
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const PostingList* postings = terms[i].postings;
            if (postings == nullptr) continue;
            const auto at = std::lower_bound(
                postings->begin(), postings->end(), hit.position,
                [](const Posting& posting, DocSlot wanted) { return posting.slot < wanted; });
            if (at != postings->end() && at->slot == hit.position) {
                result.matched_terms.push_back(tokens[i]);
            }
        }
        results.push_back(std::move(result));
    }
    return results;
}

std::uint32_t BM25Indexer::doc_freq(std::string_view term) const {
    const PostingList* postings = index_.find(term);
    return postings == nullptr ? 0 : static_cast<std::uint32_t>(postings->size());
}

std::uint64_t BM25Indexer::doc_length(std::string_view id) const {
    const std::uint32_t slot = index_.slot_of(id);
    return slot == IndexTable::kAbsent ? 0 : index_.lengths()[slot];
}

std::vector<std::pair<DocSlot, std::uint32_t>> BM25Indexer::postings(std::string_view term) const {
    std::vector<std::pair<DocSlot, std::uint32_t>> result;
    if (const PostingList* postings = index_.find(term)) {
        for (const Posting& posting : *postings) {
            result.emplace_back(posting.slot, posting.term_frequency);
        }
    }
    return result;
}

}  // namespace revuradova
