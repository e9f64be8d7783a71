// Indexing one document (part of InvertedIndex): prepare everything that can fail, then
// commit with nothing left that can.

#include <algorithm>
#include <stdexcept>

#include "indexing/inverted_index.hpp"
#include "indexing/tokenizer.hpp"
#include "util/look_ahead.hpp"
#include "util/reserve.hpp"

namespace revuradova {
namespace {

// How many known terms ahead of the one being prepared its list headers are requested.
constexpr std::size_t kTermsAhead = 8;

std::string_view preview_of(std::string_view content) {
    // ASCII bytes are one character each: most previews need no decoding.
    const std::string_view head = content.substr(0, InvertedIndex::kPreviewCharacters);
    if (text::is_ascii(head)) return head;
    std::size_t pos = 0;
    for (std::size_t chars = 0; chars < InvertedIndex::kPreviewCharacters && pos < content.size();
         ++chars) {
        text::decode_utf8(content, pos);
    }
    return content.substr(0, pos);
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

void InvertedIndex::index_document(const KnowledgeObject& object) {
    const ScratchGuard guard(scratch_);
    Prepared prepared = prepare(object);
    commit(prepared);
}

// Everything that can fail happens here, and none of it is visible.
InvertedIndex::Prepared InvertedIndex::prepare(const KnowledgeObject& object) {
    Scratch& s = scratch_;
    std::uint64_t length = 0;
    count_terms(object.content, length);
    const std::uint64_t id_hash = text::hash_text(object.id);
    const std::uint32_t found = slot_of(object.id);
    const bool is_new = found == IndexTable::kAbsent;
    if (is_new && documents_.size() >= IndexTable::kAbsent) {
        throw std::length_error("an index holds at most 2**32 - 1 documents");
    }
    const auto slot = is_new ? static_cast<DocSlot>(documents_.size()) : found;

    // New terms take freed identifiers or the next ones: all stay below this limit.
    const std::uint64_t term_limit = std::uint64_t{terms_.id_bound()} + s.fresh_texts.size();
    DocumentRecord record(s.known, s.known.size() + s.fresh_texts.size(), term_limit, object.id,
                          object.source_location, preview_of(object.content));
    if (is_new) {
        reserve_more(documents_, 1);
        reserve_more(lengths_, 1);
        slots_.reserve(1);
    }
    reserve_known_lists(slot, is_new);
    prepare_fresh_lists(slot, static_cast<std::uint32_t>(length));
    if (!is_new) terms_.reserve_removals(documents_[slot].terms().size());
    return {slot, is_new, id_hash, length, std::move(record)};
}

// Room for one more posting in each known term's list (and one more block when it opens
// one), unless the document is there already. The lists live in their own allocations,
// mostly out of the cache: their headers are requested a few terms ahead, and the tails the
// commit appends to as soon as the header is read.
void InvertedIndex::reserve_known_lists(DocSlot slot, bool is_new) {
    const std::vector<TermId>& known = scratch_.known;
    visit_looking_ahead(
        known.size(), kTermsAhead,
        [&](std::size_t i) {
            __builtin_prefetch(&postings_[known[i]]);
            __builtin_prefetch(&blocks_[known[i]]);
        },
        [&](std::size_t i) {
            PostingList& postings = postings_[known[i]];
            BlockList& blocks = blocks_[known[i]];
            if (is_new || !holds_slot(postings, slot)) {
                reserve_more(postings, 1);
                // One more posting opens a block only when the last block is full (so most
                // terms keep their one block inside the list).
                if (postings.size() % kBlockPostings == 0) reserve_more(blocks, 1);
            }
            if (!postings.empty()) __builtin_prefetch(&postings.back(), 1);
            if (!blocks.empty()) __builtin_prefetch(&blocks.back(), 1);
        });
}

// The lists of the terms new to the index, made in the scratch, and room for them.
void InvertedIndex::prepare_fresh_lists(DocSlot slot, std::uint32_t length) {
    Scratch& s = scratch_;
    const std::size_t fresh = s.fresh_texts.size();
    s.fresh_postings.reserve(fresh);
    s.fresh_blocks.reserve(fresh);
    for (std::size_t i = 0; i < fresh; ++i) {
        s.fresh_postings.emplace_back(1, Posting{slot, s.fresh_counts[i]});
        s.fresh_blocks.emplace_back(1, BlockBounds{slot, s.fresh_counts[i], length});
    }
    terms_.reserve(fresh);
    reserve_more(postings_, fresh);
    reserve_more(blocks_, fresh);
}

// From here on nothing can fail. Lengths first: the block bounds read them.
void InvertedIndex::commit(Prepared& p) noexcept {
    const auto length = static_cast<std::uint32_t>(p.length);
    if (p.is_new) {
        lengths_.push_back(length);
    } else {
        total_length_ -= lengths_[p.slot];
        lengths_[p.slot] = length;
        drop_lost_terms(p.slot);
    }
    post_known_terms(p.slot, length);
    add_fresh_terms(p.record);
    if (p.is_new) {
        documents_.push_back(std::move(p.record));
        slots_.insert(p.id_hash, p.slot);
    } else {
        documents_[p.slot] = std::move(p.record);
    }
    longest_ = std::max(longest_, length);
    total_length_ += p.length;
    set_average(static_cast<float>(total_length_) / static_cast<float>(documents_.size()));
    modification_ = next_modification_stamp();
}

// Terms of the earlier indexing that the new content lacks lose this document; a term
// left without documents leaves the dictionary.
void InvertedIndex::drop_lost_terms(DocSlot slot) noexcept {
    for (const TermId term : documents_[slot].terms()) {
        if (scratch_.frequency[term] != 0) continue;
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
}

// The document's posting in each known term's list: appended (a new document comes last),
// updated or inserted in slot order, within the capacity reserved.
void InvertedIndex::post_known_terms(DocSlot slot, std::uint32_t length) noexcept {
    for (const TermId term : scratch_.known) {
        PostingList& postings = postings_[term];
        const Posting posting{slot, scratch_.frequency[term]};
        if (postings.empty() || postings.back().slot < slot) {
            postings.push_back(posting);
            append_to_blocks(term, length);
            continue;
        }
        const auto at = find_posting(postings, slot);
        const auto position = static_cast<std::size_t>(at - postings.begin());
        if (at != postings.end() && at->slot == slot) {
            at->term_frequency = posting.term_frequency;
            rebuild_blocks(term, position, position + 1);
        } else {
            postings.insert(at, posting);
            rebuild_blocks(term, position, postings.size());
        }
    }
}

// The new terms enter the dictionary with the lists prepared for them.
void InvertedIndex::add_fresh_terms(DocumentRecord& record) noexcept {
    Scratch& s = scratch_;
    const std::size_t known = s.known.size();
    for (std::size_t i = 0; i < s.fresh_texts.size(); ++i) {
        const TermId term = terms_.insert(std::move(s.fresh_texts[i]), s.fresh_hashes[i]);
        if (term == postings_.size()) {
            postings_.emplace_back();
            blocks_.emplace_back();
        }
        postings_[term] = std::move(s.fresh_postings[i]);
        blocks_[term] = std::move(s.fresh_blocks[i]);
        record.set_term(known + i, term);
    }
}

}  // namespace revuradova
