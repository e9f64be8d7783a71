// The per-posting saturations BM25Query keeps between searches (part of BM25Query).

#include <algorithm>

#include "indexing/bm25_query.hpp"
#include "indexing/bm25_scorer.hpp"

namespace revuradova {

// The saturations of a term's postings for the index as it is, valid until the next call.
// Terms with many postings are kept (the least recently used of kCachedTerms gives way,
// and everything is given back past kSaturationBudget values) until the index changes; an
// entry is marked current only once complete, so a failed allocation leaves it to be
// computed again.
const float* BM25Query::saturations(const InvertedIndex& index, TermId term, std::size_t count,
                                    const Posting* postings) {
    const auto fill = [&](std::vector<float>& values) {
        values.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = BM25Scorer::saturation(postings[i].term_frequency,
                                               norm_of(index, postings[i].slot));
        }
    };
    if (count < kCachedPostings) {
        fill(uncached_);
        return uncached_.data();
    }
    ++use_clock_;
    Saturations* entry = nullptr;
    for (Saturations& cached : saturations_) {
        if (cached.term == term) entry = &cached;
    }
    if (entry != nullptr && entry->modification == index.modification()) {
        entry->last_use = use_clock_;
        return entry->values.data();
    }
    std::size_t held = 0;
    for (const Saturations& cached : saturations_) held += cached.values.size();
    if (held + count > kSaturationBudget) {
        saturations_.clear();
        entry = nullptr;
    }
    if (entry == nullptr) {
        if (saturations_.size() < kCachedTerms) {
            saturations_.emplace_back();
            entry = &saturations_.back();
        } else {
            entry = &*std::min_element(
                saturations_.begin(), saturations_.end(),
                [](const Saturations& a, const Saturations& b) { return a.last_use < b.last_use; });
        }
    }
    entry->modification = 0;
    entry->term = term;
    fill(entry->values);
    entry->modification = index.modification();
    entry->last_use = use_clock_;
    return entry->values.data();
}

}  // namespace revuradova
