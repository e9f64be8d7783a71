#include "indexing/query/scorer.hpp"

#include <algorithm>

namespace revuradova {

// A failed resize leaves the old table, whose generation no longer matches, so it is
// rebuilt next time.
void QueryScorer::prepare(const InvertedIndex& index) {
    index_ = &index;
    average_ = index.avg_doc_length();
    const std::size_t lengths =
        std::min<std::size_t>(std::size_t{index.longest()} + 1, kTabledLengths);
    if (norm_table_.size() < lengths) {
        norm_generation_ = 0;
        norm_table_.resize(lengths);
    }
    if (norm_generation_ != index.norm_generation()) {
        for (std::size_t length = 0; length < norm_table_.size(); ++length) {
            norm_table_[length] =
                BM25Scorer::length_normalisation(static_cast<float>(length), average_);
        }
        norm_generation_ = index.norm_generation();
    }
}

void QueryScorer::fill(std::vector<SlotSaturation>& values, std::size_t count,
                       const Posting* postings) const {
    values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = {postings[i].slot,
                     BM25Scorer::saturation(postings[i].term_frequency, norm(postings[i].slot))};
    }
}

// Terms with many postings are kept (the least recently used of kCachedTerms gives way,
// and everything is given back past kSaturationBudget values) until the index changes;
// an entry is marked current only once complete.
const SlotSaturation* QueryScorer::saturations(TermId term, std::size_t count,
                                               const Posting* postings) {
    if (count < kCachedPostings) {
        fill(uncached_, count, postings);
        return uncached_.data();
    }
    ++use_clock_;
    Saturations& entry = entry_for(term, count);
    if (entry.term != term || entry.modification != index_->modification()) {
        entry.modification = 0;
        entry.term = term;
        fill(entry.values, count, postings);
        entry.modification = index_->modification();
    }
    entry.last_use = use_clock_;
    return entry.values.data();
}

// The entry holding `term`, else the one to fill with it.
QueryScorer::Saturations& QueryScorer::entry_for(TermId term, std::size_t count) {
    for (Saturations& cached : saturations_) {
        if (cached.term == term && cached.modification != 0) return cached;
    }
    std::size_t held = 0;
    for (const Saturations& cached : saturations_) held += cached.values.size();
    if (held + count > kSaturationBudget) saturations_.clear();
    if (saturations_.size() < kCachedTerms) return saturations_.emplace_back();
    return *std::min_element(
        saturations_.begin(), saturations_.end(),
        [](const Saturations& a, const Saturations& b) { return a.last_use < b.last_use; });
}

}  // namespace revuradova
