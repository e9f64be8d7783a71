#pragma once

// Score accumulators for ranking a term at a time: one float per document slot.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "indexing/inverted_index.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// Dense when a query touches at least one document in four (no bookkeeping per posting,
/// one pass over every slot at the end); sparse below that, where stamps tell which slots
/// this search has written and only those are visited. Valid in any state: a search that
/// failed leaves nothing for the next one to trip on.
class Accumulators {
public:
    /// Starts a search over `slots` documents that adds about `postings` weights.
    void start(std::size_t slots, std::size_t postings);

    /// Adds saturation[i] * idf to the score of each posting's slot.
    void add(const Posting* postings, std::size_t count, const float* saturation, float idf);

    /// Offers every written slot's score to `top`.
    void harvest(TopK& top) const;

private:
    std::vector<float> scores_;
    std::vector<std::uint32_t> stamps_;
    std::vector<DocSlot> touched_;
    std::uint32_t epoch_ = 0;
    std::size_t slots_ = 0;
    bool dense_ = false;
};

}  // namespace revuradova
