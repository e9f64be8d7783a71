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

/// The two-distance form, for items reached through a pointer: request_far(i + far) asks for
/// item i + far itself, request_near(i + near) for what it points to (near < far, so that
/// the item is there by then); then visit(i).
template <class Index, class Far, class Near, class Visit>
void visit_looking_ahead(Index count, Index far, Index near, Far&& request_far, Near&& request_near,
                         Visit&& visit) {
    for (Index i = 0; i < count && i < far; ++i) request_far(i);
    for (Index i = 0; i < count && i < near; ++i) request_near(i);
    for (Index i = 0; i < count; ++i) {
        if (i + far < count) request_far(i + far);
        if (i + near < count) request_near(i + near);
        visit(i);
    }
}

}  // namespace revuradova
