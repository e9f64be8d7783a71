#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "indexing/bm25_scorer.hpp"
#include "indexing/inverted_index.hpp"
#include "indexing/query/bm25_query.hpp"
#include "models/knowledge_object.hpp"

namespace revuradova {

using Score = float;

/// One BM25 hit.
struct SearchResult {
    std::string doc_id;
    std::string source_location;
    std::string preview;
    /// The query tokens, in query order with repeats, that occur in the document.
    std::vector<std::string> matched_terms;
    Score score = 0.0f;
};

/// The system's full-text index: Okapi BM25 (k1 = 1.5, b = 0.75, see BM25Scorer) over an
/// InvertedIndex, ranked by a BM25Query. Indexing an identifier again replaces its
/// earlier contribution; index_document either completes or leaves the index as it was.
///
/// search and rank change nothing that can be observed, but they reuse scratch held by the
/// index: one index serves one search at a time. The Python binding guarantees that under
/// the interpreter lock.
class BM25Indexer {
public:
    static constexpr float kK1 = BM25Scorer::kK1;
    static constexpr float kB = BM25Scorer::kB;
    static constexpr std::size_t kPreviewCharacters = InvertedIndex::kPreviewCharacters;

    /// The tokens of `text`, in order with repeats.
    static std::vector<std::string> tokenize(std::string_view text);

    /// Adds the document of `object.id`, or replaces it. Reads id, source_location,
    /// content. Strong guarantee.
    void index_document(const KnowledgeObject& object) { index_.index_document(object); }

    /// At most `limit` hits, best first; equal scores in order of first indexing.
    std::vector<SearchResult> search(std::string_view query, std::size_t limit) const;

    /// The same ranking without copying texts: (slot, score) entries, best first; C++
    /// callers may force the algorithm (every one gives the same ranking).
    std::vector<Ranked> rank(std::string_view query, std::size_t limit,
                             Algorithm algorithm = Algorithm::automatic) const;

    std::string doc_id(DocSlot slot) const {
        return std::string(index_.document(slot).id().view());
    }

    /// Number of distinct identifiers indexed.
    std::uint32_t doc_count() const { return static_cast<std::uint32_t>(index_.doc_count()); }
    /// Number of distinct terms in the stored documents.
    std::size_t term_count() const { return index_.term_count(); }
    float avg_doc_length() const { return index_.avg_doc_length(); }
    std::uint32_t doc_freq(std::string_view term) const;
    /// Token count of the latest indexing of `id`, or 0 when it was never indexed.
    std::uint64_t doc_length(std::string_view id) const;

    /// The terms in the index, in no particular order (for tests and tools).
    std::vector<std::string> terms() const { return index_.terms(); }
    /// The postings of `term` as (slot, term frequency), by slot (for tests and tools).
    std::vector<std::pair<DocSlot, std::uint32_t>> postings(std::string_view term) const;

    /// Bytes held by postings and per-document term lists (for benchmarks).
    std::size_t posting_bytes() const { return index_.posting_bytes(); }

private:
    InvertedIndex index_;
    mutable BM25Query query_;  // scratch only: nothing observable changes in a search
};

}  // namespace revuradova
