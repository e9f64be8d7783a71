#pragma once

// A query's tokens resolved against an index: what every ranking algorithm starts from.

#include <string>
#include <vector>

#include "indexing/inverted_index.hpp"

namespace revuradova {

/// One query token: its postings and block bounds (null when no document holds it), and
/// its idf.
struct QueryTerm : TermPostings {
    float idf;
};

/// The query tokens, in order with repeats, resolved against `index`.
std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens);

}  // namespace revuradova
