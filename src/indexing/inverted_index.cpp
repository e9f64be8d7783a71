#include "indexing/inverted_index.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "indexing/tokenizer.hpp"
#include "util/reserve.hpp"

namespace revuradova {

// Stamps for modification(), unique across every index of the process, so that something
// derived from one index's contents never passes for another's.
std::uint64_t InvertedIndex::next_modification_stamp() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

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
    return slots_.find(id, text::hash_text(id),
                       [this](std::uint32_t slot) { return documents_[slot].id(); });
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
    for (const PostingList& list : postings_) {
        bytes += std::max(list.heap_bytes(), list.size() * sizeof(Posting));
    }
    for (const DocumentRecord& document : documents_) {
        bytes += document.term_bytes();
    }
    return bytes;
}

}  // namespace revuradova
