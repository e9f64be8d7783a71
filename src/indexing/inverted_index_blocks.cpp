// Block bounds of a term's postings, kept as postings are appended, updated or moved.

#include <algorithm>

#include "indexing/inverted_index.hpp"

namespace revuradova {

// Recomputes the blocks holding positions [from, to) after postings there changed or moved;
// the block count changes by at most one, within reserved capacity.
void InvertedIndex::rebuild_blocks(TermId term, std::size_t from, std::size_t to) noexcept {
    const PostingList& postings = postings_[term];
    BlockList& blocks = blocks_[term];
    const std::size_t count = (postings.size() + kBlockPostings - 1) / kBlockPostings;
    blocks.resize(count);
    const std::size_t last = std::min(count, (to + kBlockPostings - 1) / kBlockPostings);
    for (std::size_t b = from / kBlockPostings; b < last; ++b) {
        BlockBounds bounds;
        const std::size_t end = std::min(postings.size(), (b + 1) * kBlockPostings);
        for (std::size_t i = b * kBlockPostings; i < end; ++i) {
            bounds.last_slot = postings[i].slot;
            bounds.max_term_frequency =
                std::max(bounds.max_term_frequency, postings[i].term_frequency);
            bounds.min_length = std::min(bounds.min_length, lengths_[postings[i].slot]);
        }
        blocks[b] = bounds;
    }
}

// Takes the posting just appended (of a document of `length` tokens) into the last block,
// or opens a new one.
void InvertedIndex::append_to_blocks(TermId term, std::uint32_t length) noexcept {
    const PostingList& postings = postings_[term];
    const Posting& posting = postings.back();
    BlockList& blocks = blocks_[term];
    if ((postings.size() - 1) % kBlockPostings == 0) blocks.emplace_back();  // reserved
    BlockBounds& last = blocks.back();
    last.last_slot = posting.slot;
    last.max_term_frequency = std::max(last.max_term_frequency, posting.term_frequency);
    last.min_length = std::min(last.min_length, length);
}

}  // namespace revuradova
