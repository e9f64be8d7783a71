#include "indexing/bm25_query.hpp"

#include <algorithm>

#include "indexing/bm25_scorer.hpp"

namespace revuradova {

std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens) {
    std::vector<QueryTerm> resolved;
    resolved.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const PostingList* postings = index.find(token);
        const float idf = postings == nullptr ? 0.0f
                                              : BM25Scorer::inverse_document_frequency(
                                                    index.doc_count(), postings->size());
        resolved.push_back({postings, idf});
    }
    return resolved;
}

// Sizes the accumulators for every slot and brings the normalisation table up to the
// index's current average. Every allocation happens before anything is replaced, so a
// failure leaves the scratch as it was.
void BM25Query::prepare(const InvertedIndex& index) {
    const std::size_t slots = index.doc_count();
    if (scores_.size() < slots) {
        std::vector<float> scores(slots);
        std::vector<std::uint32_t> stamps(slots, 0);
        std::copy(stamps_.begin(), stamps_.end(), stamps.begin());
        scores_.swap(scores);
        stamps_.swap(stamps);
    }
    const std::size_t lengths =
        std::min<std::size_t>(std::size_t{index.longest()} + 1, kTabledLengths);
    if (norm_table_.size() < lengths) {
        norm_table_.resize(lengths);
        norm_generation_ = 0;
    }
    if (norm_generation_ != index.norm_generation()) {
        const float average = index.avg_doc_length();
        for (std::size_t length = 0; length < norm_table_.size(); ++length) {
            norm_table_[length] =
                BM25Scorer::length_normalisation(static_cast<float>(length), average);
        }
        norm_generation_ = index.norm_generation();
    }
}

std::vector<Ranked> BM25Query::rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                                    std::size_t limit) {
    const std::size_t slots = index.doc_count();
    if (slots == 0 || limit == 0) return {};
    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.postings != nullptr) postings += term.postings->size();
    }
    if (postings == 0) return {};
    // Dense accumulation when the query touches at least one document in eight: no
    // bookkeeping per posting, one pass over all slots at the end. Below that, stamps tell
    // which accumulators this search has written, and only those are visited.
    const bool dense = postings >= slots / 8;

    prepare(index);
    float* score = scores_.data();
    std::uint32_t* stamp = stamps_.data();
    if (dense) {
        std::fill_n(score, slots, 0.0f);
    } else {
        touched_.clear();
        touched_.reserve(std::min(postings, slots));
        if (++epoch_ == 0) {  // wrapped: forget every old stamp
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    const std::uint32_t epoch = epoch_;
    const std::uint32_t* lengths = index.lengths().data();
    const float average = index.avg_doc_length();
    const auto norm_of = [&](DocSlot slot) {
        const std::uint32_t length = lengths[slot];
        if (length < norm_table_.size()) return norm_table_[length];
        return BM25Scorer::length_normalisation(static_cast<float>(length), average);
    };

    for (const QueryTerm& term : query) {
        if (term.postings == nullptr) continue;
        const float idf = term.idf;
        for (const Posting& posting : *term.postings) {
            const float weight =
                BM25Scorer::term_weight(posting.term_frequency, norm_of(posting.slot), idf);
            if (!dense && stamp[posting.slot] != epoch) {
                stamp[posting.slot] = epoch;
                score[posting.slot] = 0.0f;
                touched_.push_back(posting.slot);  // within reserved capacity
            }
            score[posting.slot] = score[posting.slot] + weight;
        }
    }

    // Once the top is full, a score below its worst cannot enter, so most slots cost two
    // comparisons.
    TopK top(limit);
    float threshold = 0.0f;
    const auto offer = [&](DocSlot slot) {
        const float s = score[slot];
        if (!(s > 0.0f) || s < threshold) return;
        top.offer({slot, s});
        if (top.full()) threshold = top.worst().score;
    };
    if (dense) {
        for (std::size_t slot = 0; slot < slots; ++slot) offer(static_cast<DocSlot>(slot));
    } else {
        for (const DocSlot slot : touched_) offer(slot);
    }
    return top.take_sorted();
}

}  // namespace revuradova
