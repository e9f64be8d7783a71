#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace revuradova {

/// Keeps the `limit` best items offered so far under the strict order `Better` (a total
/// order, so the result is the first `limit` of a full sort). Most offers are rejected with
/// one comparison against the worst kept item, which `worst()` exposes for callers that can
/// skip work on candidates that cannot beat it.
template <class Item, class Better>
class TopK {
public:
    TopK(std::size_t limit, Better better) : limit_(limit), better_(better) {}

    bool full() const { return heap_.size() >= limit_; }
    /// The worst kept item; only when full() and limit > 0.
    const Item& worst() const { return heap_.front(); }

    void offer(const Item& item) {
        if (limit_ == 0) return;
        if (heap_.size() < limit_) {
            heap_.push_back(item);
            std::push_heap(heap_.begin(), heap_.end(), better_);
        } else if (better_(item, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), better_);
            heap_.back() = item;
            std::push_heap(heap_.begin(), heap_.end(), better_);
        }
    }

    /// The kept items, best first.
    std::vector<Item> take_sorted() {
        std::sort_heap(heap_.begin(), heap_.end(), better_);
        return std::move(heap_);
    }

private:
    std::size_t limit_;
    Better better_;
    std::vector<Item> heap_;  // a heap whose front is the worst kept item
};

}  // namespace revuradova
