#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "indexing/document_record.hpp"
#include "indexing/term_dictionary.hpp"
#include "models/knowledge_object.hpp"
#include "util/index_table.hpp"
#include "util/small_list.hpp"

namespace revuradova {

using DocSlot = std::uint32_t;  // a distinct document identifier, numbered by first indexing

struct Posting {
    DocSlot slot;
    std::uint32_t term_frequency;
};
// Most terms have few documents: a term of one document keeps its posting in its list.
using PostingList = SmallList<Posting, 1>;

/// Bounds over one block of a term's postings (kBlockPostings consecutive postings, the last
/// block possibly shorter), for ranking that skips documents that cannot make the top: no
/// posting of the block has a larger term frequency or belongs to a shorter document. They
/// may be looser than the postings (an updated posting only widens them), never tighter. The
/// block's last slot lets a reader find the block a document would fall in.
struct BlockBounds {
    DocSlot last_slot = 0;
    std::uint32_t max_term_frequency = 0;
    std::uint32_t min_length = 0xFFFFFFFFu;
};
inline constexpr std::size_t kBlockPostings = 64;
using BlockList = SmallList<BlockBounds, 1>;  // most terms have one block

/// What ranking reads of one term.
struct TermPostings {
    TermId id;
    const PostingList* postings;
    const BlockList* blocks;
};

/// What BM25 ranks over: per term the documents holding it, per document its length, and
/// the texts a hit reports. Documents are kept by identifier; indexing one again replaces it.
///
/// Invariants:
/// - Each identifier has one slot, numbered in order of first indexing; its record, length
///   and postings are those of its latest indexing. doc_count() is the number of slots.
/// - A term is in the dictionary exactly while some stored document holds it; its postings
///   are sorted by slot, one per document holding it, so its document frequency is the
///   length of its postings.
/// - avg_doc_length() is the sum of the stored lengths over doc_count(), and
///   norm_generation() changes whenever it does.
///
/// index_document either completes or throws (std::bad_alloc, std::length_error) and leaves
/// the index as it was.
class InvertedIndex {
public:
    static constexpr std::size_t kPreviewCharacters = 200;
    /// Term frequencies and lengths are 32-bit: a longer document is refused.
    static constexpr std::uint64_t kMaxDocumentTokens = 0xFFFFFFFFu;

    InvertedIndex() = default;
    InvertedIndex(const InvertedIndex&) = default;
    InvertedIndex& operator=(const InvertedIndex&) = default;
    /// A moved-from index is empty and usable.
    InvertedIndex(InvertedIndex&& other) noexcept;
    InvertedIndex& operator=(InvertedIndex&& other) noexcept;

    /// Adds the document of `object.id`, or replaces everything an earlier indexing of that
    /// identifier contributed. Reads id, source_location, content. Strong guarantee.
    void index_document(const KnowledgeObject& object);

    std::size_t doc_count() const { return documents_.size(); }
    std::size_t term_count() const { return terms_.size(); }
    float avg_doc_length() const { return avg_doc_length_; }
    std::uint32_t norm_generation() const { return norm_generation_; }
    /// Changes with every index_document call, so anything derived from postings and
    /// lengths can tell whether it is still current.
    std::uint64_t modification() const { return modification_; }
    std::uint32_t longest() const { return longest_; }
    const std::vector<std::uint32_t>& lengths() const { return lengths_; }
    const DocumentRecord& document(DocSlot slot) const { return documents_[slot]; }

    /// The postings of `term`, or null when no document holds it.
    const PostingList* find(std::string_view term) const;
    /// The postings of `term` with their bounds; postings null when no document holds it.
    TermPostings find_with_bounds(std::string_view term) const;
    /// The slot of identifier `id`, or IndexTable::kAbsent.
    std::uint32_t slot_of(std::string_view id) const;
    /// The live terms, in no particular order.
    std::vector<std::string> terms() const;
    /// Bytes held by postings and per-document term lists.
    std::size_t posting_bytes() const;

private:
    // What index_document has learnt about the content, reset on every exit.
    struct BatchedToken {
        std::uint64_t hash;
        std::size_t offset;
        std::size_t size;
    };
    struct Scratch {
        std::vector<std::uint32_t> frequency;  // by term id; zero outside a call
        std::vector<TermId> known;             // terms already in the index, first seen first
        IndexTable fresh_table;                // new terms: positions in the vectors below
        std::vector<std::string> fresh_texts;
        std::vector<std::uint64_t> fresh_hashes;
        std::vector<std::uint32_t> fresh_counts;
        std::vector<PostingList> fresh_postings;
        std::vector<BlockList> fresh_blocks;
        std::string token;
        std::vector<BatchedToken> batch;  // tokens waiting to be looked up, texts in batch_text
        std::string batch_text;
        void reset() noexcept;
    };
    class ScratchGuard;
    // What index_document prepares, before anything visible changes.
    struct Prepared {
        DocSlot slot;
        bool is_new;
        std::uint64_t id_hash;
        std::uint64_t length;
        DocumentRecord record;
    };

    // index_document in two phases: prepare (everything that can fail: counting, the new
    // record, every reservation) and commit (nothing can fail).
    Prepared prepare(const KnowledgeObject& object);
    void reserve_known_lists(DocSlot slot, bool is_new);
    void prepare_fresh_lists(DocSlot slot, std::uint32_t length);
    void commit(Prepared& prepared) noexcept;
    void drop_lost_terms(DocSlot slot) noexcept;
    void post_known_terms(DocSlot slot, std::uint32_t length) noexcept;
    void add_fresh_terms(DocumentRecord& record) noexcept;

    void count_terms(std::string_view content, std::uint64_t& length);
    void rebuild_blocks(TermId term, std::size_t from, std::size_t to) noexcept;
    void append_to_blocks(TermId term, std::uint32_t length) noexcept;
    void set_average(float average) noexcept;
    static std::uint64_t next_modification_stamp() noexcept;

    TermDictionary terms_;
    std::vector<PostingList> postings_;  // by term id; empty for a free id
    std::vector<BlockList> blocks_;      // by term id: one entry per kBlockPostings postings
    IndexTable slots_;                   // identifier -> slot, keyed by documents_[slot].id()
    std::vector<DocumentRecord> documents_;
    std::vector<std::uint32_t> lengths_;  // token count by slot
    std::uint32_t longest_ = 0;           // the largest length ever stored
    std::uint64_t total_length_ = 0;
    float avg_doc_length_ = 0.0f;
    std::uint32_t norm_generation_ = 1;
    std::uint64_t modification_ = 0;  // 0: empty, nothing derived from it
    Scratch scratch_;
};

}  // namespace revuradova
