#pragma once

// Exact nearest neighbours over int8 vectors: the dense road's scan. Each stored vector is
// `dim` int8 components and a positive float scale; the query is `dim` int8 components. A
// row's score is scale[row] * (codes[row] . query), the dot product exact in 32 bits, so the
// ranking is the same on every machine.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace revuradova::postings {

struct Neighbour {
    std::size_t row;
    float score;
};

/// The `limit` best rows, score descending, ties by row ascending; a row whose score is not
/// finite (a damaged scale) ranks last, with the score -inf. InvalidInput when the sizes disagree
/// (codes not rows * dim, scales not rows) or dim is 0 or above 131,071 (where the 32-bit sum could
/// overflow).
std::vector<Neighbour> nearest_rows(std::span<const std::int8_t> codes,
                                    std::span<const float> scales,
                                    std::span<const std::int8_t> query, std::size_t limit);

}  // namespace revuradova::postings
