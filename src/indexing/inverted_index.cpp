#include "indexing/inverted_index.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "indexing/tokenizer.hpp"
#include "util/reserve.hpp"

namespace revuradova {
namespace {

// How many known terms ahead of the one being prepared its list headers are requested.
constexpr std::size_t kTermsAhead = 8;

std::string preview_of(std::string_view content) {
    std::size_t pos = 0;
    for (std::size_t chars = 0; chars < InvertedIndex::kPreviewCharacters && pos < content.size();
         ++chars) {
        text::decode_utf8(content, pos);
    }
    return std::string(content.substr(0, pos));
}

PostingList::iterator find_posting(PostingList& postings, DocSlot slot) {
    return std::lower_bound(
        postings.begin(), postings.end(), slot,
        [](const Posting& posting, DocSlot wanted) { return posting.slot < wanted; });
}

bool holds_slot(PostingList& postings, DocSlot slot) {
    const auto at = find_posting(postings, slot);
    return at != postings.end() && at->slot == slot;
}

// Stamps for InvertedIndex::modification(), unique across every index of the process, so
// that something derived from one index's contents never passes for another's.
std::uint64_t next_modification_stamp() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// Leaves the scratch empty on every exit from index_document, normal or not, so a failed
// call cannot hand stale counts to the next one.
class InvertedIndex::ScratchGuard {
public:
    explicit ScratchGuard(Scratch& scratch) : scratch_(scratch) {}
    ScratchGuard(const ScratchGuard&) = delete;
    ScratchGuard& operator=(const ScratchGuard&) = delete;
    ~ScratchGuard() { scratch_.reset(); }

private:
    Scratch& scratch_;
};

InvertedIndex::InvertedIndex(InvertedIndex&& other) noexcept
    : terms_(std::exchange(other.terms_, {})),
      postings_(std::exchange(other.postings_, {})),
      blocks_(std::exchange(other.blocks_, {})),
      slots_(std::exchange(other.slots_, {})),
      documents_(std::exchange(other.documents_, {})),
      lengths_(std::exchange(other.lengths_, {})),
      longest_(std::exchange(other.longest_, 0)),
      total_length_(std::exchange(other.total_length_, 0)),
      avg_doc_length_(std::exchange(other.avg_doc_length_, 0.0f)),
      norm_generation_(std::exchange(other.norm_generation_, 1)),
      modification_(std::exchange(other.modification_, next_modification_stamp())) {}

InvertedIndex& InvertedIndex::operator=(InvertedIndex&& other) noexcept {
    if (this != &other) {
        InvertedIndex taken(std::move(other));
        std::swap(terms_, taken.terms_);
        std::swap(postings_, taken.postings_);
        std::swap(blocks_, taken.blocks_);
        std::swap(slots_, taken.slots_);
        std::swap(documents_, taken.documents_);
        std::swap(lengths_, taken.lengths_);
        longest_ = taken.longest_;
        total_length_ = taken.total_length_;
        avg_doc_length_ = taken.avg_doc_length_;
        norm_generation_ = taken.norm_generation_;
        modification_ = taken.modification_;
        scratch_.frequency.clear();  // sized by term ids of the old dictionary; all zero
    }
    return *this;
}

void InvertedIndex::index_document(const KnowledgeObject& object) {
    Scratch& s = scratch_;
    const ScratchGuard guard(s);

    // Prepare: everything that can fail happens here, and none of it is visible.
    std::uint64_t length = 0;
    count_terms(object.content, length);
    const std::uint64_t id_hash = text::hash_text(object.id);
    const std::uint32_t found = slot_of(object.id);
    const bool is_new = found == IndexTable::kAbsent;
    if (is_new && documents_.size() >= IndexTable::kAbsent) {
        throw std::length_error("an index holds at most 2**32 - 1 documents");
    }
    const auto slot = is_new ? static_cast<DocSlot>(documents_.size()) : found;

    StoredDocument record;
    record.source_location = object.source_location;
    record.preview = preview_of(object.content);
    record.terms.reserve(s.known.size() + s.fresh_texts.size());
    record.terms.assign(s.known.begin(), s.known.end());
    if (is_new) {
        record.id = object.id;
        reserve_more(documents_, 1);
        reserve_more(lengths_, 1);
        slots_.reserve(1);
    }
    // Each known term's postings and blocks live in their own allocations, mostly out of
    // the cache: the lists' headers are requested a few terms ahead, and the tails the
    // commit appends to are requested as soon as the header is read.
    const std::size_t known_count = s.known.size();
    for (std::size_t i = 0; i < known_count && i < kTermsAhead; ++i) {
        __builtin_prefetch(&postings_[s.known[i]]);
        __builtin_prefetch(&blocks_[s.known[i]]);
    }
    for (std::size_t i = 0; i < known_count; ++i) {
        if (i + kTermsAhead < known_count) {
            __builtin_prefetch(&postings_[s.known[i + kTermsAhead]]);
            __builtin_prefetch(&blocks_[s.known[i + kTermsAhead]]);
        }
        const TermId term = s.known[i];
        PostingList& postings = postings_[term];
        BlockList& blocks = blocks_[term];
        if (is_new || !holds_slot(postings, slot)) {
            reserve_more(postings, 1);
            reserve_more(blocks, 1);
        }
        if (!postings.empty()) __builtin_prefetch(&postings.back(), 1);
        if (!blocks.empty()) __builtin_prefetch(&blocks.back(), 1);
    }
    const auto stored_length = static_cast<std::uint32_t>(length);
    s.fresh_postings.reserve(s.fresh_texts.size());
    s.fresh_blocks.reserve(s.fresh_texts.size());
    for (std::size_t i = 0; i < s.fresh_texts.size(); ++i) {
        s.fresh_postings.emplace_back(1, Posting{slot, s.fresh_counts[i]});
        s.fresh_blocks.emplace_back(1, BlockBounds{slot, s.fresh_counts[i], stored_length});
    }
    terms_.reserve(s.fresh_texts.size());
    reserve_more(postings_, s.fresh_texts.size());
    reserve_more(blocks_, s.fresh_texts.size());
    if (!is_new) terms_.reserve_removals(documents_[slot].terms.size());

    // Commit: from here on nothing can fail. Lengths first: the block bounds read them.
    if (is_new) {
        lengths_.push_back(stored_length);
    } else {
        total_length_ -= lengths_[slot];
        lengths_[slot] = stored_length;
    }
    if (!is_new) {
        // Terms of the earlier indexing that the new content lacks lose this document.
        StoredDocument& old = documents_[slot];
        for (const TermId term : old.terms) {
            if (s.frequency[term] != 0) continue;
            PostingList& postings = postings_[term];
            const auto at = find_posting(postings, slot);
            const auto position = static_cast<std::size_t>(at - postings.begin());
            postings.erase(at);
            if (postings.empty()) {
                PostingList().swap(postings);
                BlockList().swap(blocks_[term]);
                terms_.erase(term);
            } else {
                rebuild_blocks(term, position, postings.size());
            }
        }
        record.id = std::move(old.id);
    }
    for (const TermId term : s.known) {
        PostingList& postings = postings_[term];
        const Posting posting{slot, s.frequency[term]};
        if (postings.empty() || postings.back().slot < slot) {
            postings.push_back(posting);  // within reserved capacity
            append_to_blocks(term, stored_length);
            continue;
        }
        const auto at = find_posting(postings, slot);
        const auto position = static_cast<std::size_t>(at - postings.begin());
        if (at != postings.end() && at->slot == slot) {
            at->term_frequency = posting.term_frequency;
            rebuild_blocks(term, position, position + 1);
        } else {
            postings.insert(at, posting);  // within reserved capacity
            rebuild_blocks(term, position, postings.size());
        }
    }
    for (std::size_t i = 0; i < s.fresh_texts.size(); ++i) {
        const TermId term = terms_.insert(std::move(s.fresh_texts[i]), s.fresh_hashes[i]);
        if (term == postings_.size()) {
            postings_.emplace_back();
            blocks_.emplace_back();
        }
        postings_[term] = std::move(s.fresh_postings[i]);
        blocks_[term] = std::move(s.fresh_blocks[i]);
        record.terms.push_back(term);
    }
    if (is_new) {
        documents_.push_back(std::move(record));
        slots_.insert(id_hash, slot);
    } else {
        documents_[slot] = std::move(record);
    }
    longest_ = std::max(longest_, stored_length);
    total_length_ += length;
    set_average(static_cast<float>(total_length_) / static_cast<float>(documents_.size()));
    modification_ = next_modification_stamp();
}

void InvertedIndex::set_average(float average) noexcept {
    if (average == avg_doc_length_ && !std::isnan(average)) return;
    avg_doc_length_ = average;
    if (++norm_generation_ == 0) norm_generation_ = 1;  // 0 means "never computed" to readers
}

TermPostings InvertedIndex::find_with_bounds(std::string_view term) const {
    const TermId id = terms_.find(term);
    if (id == TermDictionary::kNotFound) return {id, nullptr, nullptr};
    return {id, &postings_[id], &blocks_[id]};
}

const PostingList* InvertedIndex::find(std::string_view term) const {
    const TermId id = terms_.find(term);
    return id == TermDictionary::kNotFound ? nullptr : &postings_[id];
}

std::uint32_t InvertedIndex::slot_of(std::string_view id) const {
    return slots_.find(id, text::hash_text(id), [this](std::uint32_t slot) -> std::string_view {
        return documents_[slot].id;
    });
}

std::vector<std::string> InvertedIndex::terms() const {
    std::vector<std::string> result;
    result.reserve(terms_.size());
    for (TermId id = 0; id < terms_.id_bound(); ++id) {
        if (terms_.contains_id(id)) result.push_back(terms_.text(id));
    }
    return result;
}

std::size_t InvertedIndex::posting_bytes() const {
    std::size_t bytes = 0;
    for (const PostingList& list : postings_) bytes += list.capacity() * sizeof(Posting);
    for (const StoredDocument& document : documents_) {
        bytes += document.terms.capacity() * sizeof(TermId);
    }
    return bytes;
}

}  // namespace revuradova
