#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace revuradova {

/// Makes room for `more` elements beyond `values.size()` in a std::vector or a list with
/// its interface, growing geometrically so that reserving ahead of every insertion stays
/// amortised O(1). Strong guarantee; once it has returned, that many push_back /
/// emplace_back calls cannot fail for lack of memory.
template <class List>
[[gnu::noinline]] void grow_for(List& values, std::size_t wanted) {
    values.reserve(std::max(
        wanted, std::min(values.capacity() + values.capacity() / 2 + 1, values.max_size())));
}

template <class List>
inline void reserve_more(List& values, std::size_t more) {
    const std::size_t wanted = values.size() + more;
    if (wanted > values.capacity()) [[unlikely]]
        grow_for(values, wanted);
}

}  // namespace revuradova
