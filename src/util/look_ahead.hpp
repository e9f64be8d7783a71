#pragma once

// The look-ahead idiom for loops over items scattered in memory: item i + ahead is
// requested (prefetched) while item i is visited, so that the cache misses overlap.

#include <cstddef>

namespace revuradova {

/// Calls request(j) for j = 0 .. ahead - 1 first, then for each i: request(i + ahead) when
/// that item exists, then visit(i).
template <class Index, class Request, class Visit>
void visit_looking_ahead(Index count, Index ahead, Request&& request, Visit&& visit) {
    for (Index i = 0; i < count && i < ahead; ++i) request(i);
    for (Index i = 0; i < count; ++i) {
        if (i + ahead < count) request(i + ahead);
        visit(i);
    }
}

}  // namespace revuradova
