#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "indexing/term_dictionary.hpp"
#include "models/knowledge_object.hpp"

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

/// Heterogeneous string hashing, so that lookups by string_view build no temporary string.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};
template <class Value>
using TextKeyedMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

/// Okapi BM25 over an inverted index, k1 = 1.5, b = 0.75, idf = ln((N - df + 0.5) /
/// (df + 0.5) + 1). Scores are computed in 32-bit floats, per document, adding one term
/// weight per query token in query order; a document that lacks a token adds nothing, so
/// the result equals a scan that scores every document against every token.
///
/// Invariants:
/// - `doc_freq` of a term counts every index_document call whose content held it, also
///   repeated calls for one identifier; `doc_count_` counts every call.
/// - Each identifier has one slot; its postings and length are those of its latest
///   indexing. A term's postings are sorted by slot, at most one per slot.
class BM25Indexer {
public:
    static constexpr float kK1 = 1.5f;
    static constexpr float kB = 0.75f;
    static constexpr std::size_t kPreviewCharacters = 200;

    BM25Indexer() = default;
    BM25Indexer(BM25Indexer&&) noexcept = default;
    BM25Indexer& operator=(BM25Indexer&&) noexcept = default;

    /// The tokens of `text`, in order with repeats.
    static std::vector<std::string> tokenize(std::string_view text);

    /// Adds (or replaces) the document of `object.id`. Reads id, source_location, content.
    void index_document(const KnowledgeObject& object);

    /// At most `limit` hits, best first; equal scores in order of first indexing.
    std::vector<SearchResult> search(std::string_view query, std::size_t limit) const;

    /// The same ranking without copying texts: slots and scores, best first.
    std::vector<RankedHit> rank(std::string_view query, std::size_t limit) const;

    const std::string& doc_id(DocSlot slot) const { return documents_[slot].id; }

    std::uint32_t doc_count() const { return doc_count_; }
    /// Number of distinct terms ever indexed (entries of the document-frequency map).
    std::size_t term_count() const { return terms_.size(); }
    float avg_doc_length() const { return avg_doc_length_; }
    /// Number of distinct identifiers stored.
    std::size_t stored_documents() const { return documents_.size(); }
    std::uint32_t doc_freq(std::string_view term) const;
    /// Token count of the latest indexing of `id`, or 0 when it was never indexed.
    std::uint64_t doc_length(std::string_view id) const;

    /// Bytes held by postings and per-document term lists (for benchmarks).
    std::size_t posting_bytes() const;

private:
    struct Posting {
        DocSlot slot;
        std::uint32_t term_frequency;
    };
    struct TermEntry {
        std::uint32_t doc_freq = 0;
        std::vector<Posting> postings;
    };
    struct StoredDocument {
        std::string id;
        std::string source_location;
        std::string preview;
        std::uint64_t length = 0;
        std::vector<TermId> terms;  // distinct terms of the latest indexing, to replace them
    };

    // Query tokens resolved against the dictionary: weight inputs per token, in order.
    struct QueryTerm {
        const TermEntry* entry;  // null for a token the index has never seen
        float idf;
    };

    // Length normalisation K of every slot for the current average length, built on the
    // first search after an index change and shared by later searches.
    struct NormCache {
        std::mutex mutex;
        std::atomic<bool> valid{false};
        std::vector<float> norms;
    };

    const NormCache& norms() const;
    std::vector<QueryTerm> resolve_query(const std::vector<std::string>& tokens) const;
    std::vector<RankedHit> rank_terms(const std::vector<QueryTerm>& query,
                                       std::size_t limit) const;
    void remove_postings(DocSlot slot);

    TermDictionary term_ids_;
    std::vector<TermEntry> terms_;
    TextKeyedMap<DocSlot> slots_;
    std::vector<StoredDocument> documents_;
    std::uint32_t doc_count_ = 0;
    std::uint64_t total_length_ = 0;  // sum of the latest lengths of all identifiers
    float avg_doc_length_ = 0.0f;

    std::unique_ptr<NormCache> norm_cache_ = std::make_unique<NormCache>();

    // Reused by index_document (exclusive access) to count term frequencies.
    std::vector<std::uint32_t> frequency_scratch_;
    std::vector<TermId> touched_scratch_;
    std::string token_scratch_;
};

}  // namespace revuradova
