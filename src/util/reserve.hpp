#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace revuradova {

/// Makes room for `more` elements beyond `values.size()`, growing geometrically so that
/// reserving ahead of every insertion stays amortised O(1). Strong guarantee; once it has
/// returned, that many push_back / emplace_back calls cannot fail for lack of memory.
template <class T>
[[gnu::noinline]] void grow_for(std::vector<T>& values, std::size_t wanted) {
    values.reserve(std::max(wanted, values.capacity() * 2));
}

template <class T>
inline void reserve_more(std::vector<T>& values, std::size_t more) {
    const std::size_t wanted = values.size() + more;
    if (wanted > values.capacity()) [[unlikely]]
        grow_for(values, wanted);
}

}  // namespace revuradova
