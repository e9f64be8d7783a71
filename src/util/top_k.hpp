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
/// sort), and the threshold an entry must reach to enter: the worst kept score once full,
/// or a floor below which nothing is kept (a caller's rule, "only positive scores", or a
/// score `limit` entries are known to reach).
class TopK {
public:
    explicit TopK(std::size_t limit) : limit_(limit), bar_(limit == 0 ? kNever : kNone) {}

    std::size_t limit() const { return limit_; }
    bool full() const { return heap_.size() >= limit_; }
    /// The worst kept entry; only when full() and limit > 0.
    const Ranked& worst() const { return heap_.front(); }

    /// Entries scoring below `floor` are not kept; the floor only rises.
    void set_threshold(double floor) {
        floor_ = std::max(floor_, floor);
        bar_ = std::max(bar_, floor_);
    }

    /// What an entry must score at least to have a chance: the floor, or the worst kept
    /// score once full (an equal score then enters only with an earlier position).
    double threshold() const { return bar_; }

    /// Whether an entry at `position` whose score is `score` (or is bounded by it) could
    /// enter now. One comparison for most candidates, above or below the threshold.
    bool would_enter(std::uint32_t position, double score) const {
        if (score > bar_) return true;
        if (!(score == bar_) || limit_ == 0) return false;
        if (!full()) return true;
        const Ranked& kept = heap_.front();
        return static_cast<double>(kept.score) < bar_ || position < kept.position;
    }

    void offer(const Ranked& entry) {
        if (limit_ == 0 || !(static_cast<double>(entry.score) >= floor_)) return;
        if (heap_.size() < limit_) {
            heap_.push_back(entry);
            std::push_heap(heap_.begin(), heap_.end(), BestFirst{});
        } else if (BestFirst{}(entry, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), BestFirst{});
            heap_.back() = entry;
            std::push_heap(heap_.begin(), heap_.end(), BestFirst{});
        } else {
            return;
        }
        if (full()) bar_ = std::max(floor_, static_cast<double>(heap_.front().score));
    }

    /// The kept entries, best first.
    std::vector<Ranked> take_sorted() {
        std::sort_heap(heap_.begin(), heap_.end(), BestFirst{});
        return std::move(heap_);
    }

private:
    static constexpr double kNever = 1e300;
    static constexpr double kNone = -1e300;
    std::size_t limit_;
    double floor_ = kNone;
    double bar_;  // max(floor_, the worst kept score once full); kNever when limit is 0
    std::vector<Ranked> heap_;  // a heap whose front is the worst kept entry
};

}  // namespace revuradova
