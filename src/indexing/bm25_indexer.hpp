#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "indexing/term_dictionary.hpp"
#include "models/knowledge_object.hpp"
#include "util/index_table.hpp"

namespace revuradova {

using DocSlot = std::uint32_t;  // a distinct document identifier, numbered by first indexing
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

/// A hit as the ranking produces it, before any text is copied.
struct RankedHit {
    DocSlot slot;
    Score score;
};

/// Okapi BM25 over an inverted index, k1 = 1.5, b = 0.75, idf = ln((N - df + 0.5) /
/// (df + 0.5) + 1). Scores are computed in 32-bit floats, per document, adding one term
/// weight per query token in query order; a document that lacks a token adds nothing, so
/// the result equals a scan that scores every document against every token.
///
/// Invariants:
/// - Each identifier has one slot, numbered in order of first indexing; its record, length
///   and postings are those of its latest indexing. N (doc_count) is the number of slots.
/// - A term is in the dictionary exactly while some stored document holds it; its postings
///   are sorted by slot, one per document holding it, so its document frequency is the
///   length of its postings.
/// - `total_length_` is the sum of the stored lengths; `avg_doc_length_` is that sum over N.
///
/// index_document either completes or throws (std::bad_alloc, std::length_error) and leaves
/// the index as it was. search and rank change nothing that can be observed, but they reuse
/// scratch held by the index (score accumulators, cached length normalisations): one index
/// serves one search at a time. The Python binding guarantees that under the interpreter lock.
class BM25Indexer {
public:
    static constexpr float kK1 = 1.5f;
    static constexpr float kB = 0.75f;
    static constexpr std::size_t kPreviewCharacters = 200;
    /// Term frequencies are 32-bit: a longer document is refused with std::length_error.
    static constexpr std::uint64_t kMaxDocumentTokens = 0xFFFFFFFFu;

    BM25Indexer() = default;
    BM25Indexer(const BM25Indexer&) = default;
    BM25Indexer& operator=(const BM25Indexer&) = default;
    /// A moved-from index is empty and usable.
    BM25Indexer(BM25Indexer&& other) noexcept;
    BM25Indexer& operator=(BM25Indexer&& other) noexcept;

    /// The tokens of `text`, in order with repeats.
    static std::vector<std::string> tokenize(std::string_view text);

    /// Adds the document of `object.id`, or replaces everything an earlier indexing of that
    /// identifier contributed. Reads id, source_location, content. Strong guarantee.
    void index_document(const KnowledgeObject& object);

    /// At most `limit` hits, best first; equal scores in order of first indexing.
    std::vector<SearchResult> search(std::string_view query, std::size_t limit) const;

    /// The same ranking without copying texts: slots and scores, best first.
    std::vector<RankedHit> rank(std::string_view query, std::size_t limit) const;

    const std::string& doc_id(DocSlot slot) const { return documents_[slot].id; }

    /// Number of distinct identifiers indexed.
    std::uint32_t doc_count() const { return static_cast<std::uint32_t>(documents_.size()); }
    /// Number of distinct terms in the stored documents.
    std::size_t term_count() const { return term_ids_.size(); }
    float avg_doc_length() const { return avg_doc_length_; }
    std::uint32_t doc_freq(std::string_view term) const;
    /// Token count of the latest indexing of `id`, or 0 when it was never indexed.
    std::uint64_t doc_length(std::string_view id) const;

    /// The terms in the index, in no particular order (for tests and tools).
    std::vector<std::string> terms() const;
    /// The postings of `term` as (slot, term frequency), by slot (for tests and tools).
    std::vector<std::pair<DocSlot, std::uint32_t>> postings(std::string_view term) const;

    /// Bytes held by postings and per-document term lists (for benchmarks).
    std::size_t posting_bytes() const;

private:
    struct Posting {
        DocSlot slot;
        std::uint32_t term_frequency;
    };
    using PostingList = std::vector<Posting>;
    struct StoredDocument {
        std::string id;
        std::string source_location;
        std::string preview;
        std::uint64_t length = 0;
        std::vector<TermId> terms;  // distinct terms of the latest indexing, to replace them
    };
    // Lengths below this have an entry in the normalisation table; longer documents compute
    // K directly.
    static constexpr std::uint32_t kTabledLengths = 1u << 13;
    // Query tokens resolved against the dictionary: weight inputs per token, in order.
    struct QueryTerm {
        const PostingList* postings;  // null for a token the index does not hold
        float idf;
    };

    std::vector<QueryTerm> resolve_query(const std::vector<std::string>& tokens) const;
    std::vector<RankedHit> rank_terms(const std::vector<QueryTerm>& query,
                                       std::size_t limit) const;
    float norm_of(DocSlot slot) const;
    void prepare_scratch(std::size_t slots) const;
    void set_average(float average) noexcept;

    TermDictionary term_ids_;
    std::vector<PostingList> postings_;  // by term id; empty for a free id
    IndexTable slots_;                   // identifier -> slot, keyed by documents_[slot].id
    std::vector<StoredDocument> documents_;
    std::vector<std::uint32_t> lengths_;  // token count by slot
    std::uint32_t longest_ = 0;          // the largest length ever stored
    std::uint64_t total_length_ = 0;
    float avg_doc_length_ = 0.0f;
    std::uint32_t norm_generation_ = 1;

    // Scratch of index_document, empty between calls (a guard resets it on every exit).
    std::vector<std::uint32_t> frequency_scratch_;  // by term id
    std::vector<TermId> touched_scratch_;           // known terms of the document
    IndexTable fresh_table_;                        // new terms of the document ...
    std::vector<std::string> fresh_texts_;          // ... their texts,
    std::vector<std::uint64_t> fresh_hashes_;       // ... hashes
    std::vector<std::uint32_t> fresh_counts_;       // ... and frequencies
    std::vector<PostingList> fresh_postings_;
    std::string token_scratch_;

    // Scratch of rank; any state is valid at the start of a search. Accumulators: a slot's
    // score, valid in sparse mode when its stamp equals the epoch.
    mutable std::vector<float> scores_;
    mutable std::vector<std::uint32_t> stamps_;
    mutable std::vector<DocSlot> touched_slots_;
    mutable std::uint32_t epoch_ = 0;
    // K by document length for the average of `norm_table_generation_`. K depends on the
    // length alone and lengths repeat, so after the average moves a search rebuilds one
    // entry per length up to the longest document instead of one per document.
    mutable std::vector<float> norm_table_;
    mutable std::uint32_t norm_table_generation_ = 0;

    friend class IndexingScratchGuard;
};

}  // namespace revuradova
