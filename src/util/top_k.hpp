#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace revuradova {

/// One entry of a ranking: where the item is (a document slot, a position in a list) and
/// its score.
struct Ranked {
    std::uint32_t position;
    float score;
};

/// Best first: higher score, then earlier position. A total order on distinct positions,
/// so ranking by it equals a stable sort by score.
struct BestFirst {
    bool operator()(const Ranked& a, const Ranked& b) const {
        if (a.score != b.score) return a.score > b.score;
        return a.position < b.position;
    }
};

/// Keeps the `limit` best entries offered so far (the first `limit` of a full BestFirst
/// sort). Most offers are rejected with one comparison against the worst kept entry, which
/// worst() exposes for callers that can skip work on candidates that cannot beat it.
class TopK {
public:
    explicit TopK(std::size_t limit) : limit_(limit) {}

    bool full() const { return heap_.size() >= limit_; }
    /// The worst kept entry; only when full() and limit > 0.
    const Ranked& worst() const { return heap_.front(); }

    void offer(const Ranked& entry) {
        if (limit_ == 0) return;
        if (heap_.size() < limit_) {
            heap_.push_back(entry);
            std::push_heap(heap_.begin(), heap_.end(), BestFirst{});
        } else if (BestFirst{}(entry, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), BestFirst{});
            heap_.back() = entry;
            std::push_heap(heap_.begin(), heap_.end(), BestFirst{});
        }
    }

    /// The kept entries, best first.
    std::vector<Ranked> take_sorted() {
        std::sort_heap(heap_.begin(), heap_.end(), BestFirst{});
        return std::move(heap_);
    }

private:
    std::size_t limit_;
    std::vector<Ranked> heap_;  // a heap whose front is the worst kept entry
};

}  // namespace revuradova
