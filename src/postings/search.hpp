#pragma once

// Exact BM25 top-k over stored postings: the terms' blobs from every segment, the base's
// statistics and its deleted documents in, the best documents out.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "postings/deleted_ids.hpp"

namespace revuradova::postings {

struct QueryTerm {
    std::span<const std::string_view> blobs;  // one per segment, any order
    std::uint64_t doc_freq;                   // over the live documents
};

struct Hit {
    DocId id;
    float score;
};

/// The `limit` best live documents for `terms`, score descending, ties by id ascending.
/// A document's score is, for each term in the given order,
///     score += BM25Scorer::term_weight(tf, K(length), idf(doc_count, doc_freq))
/// from 0.0f, with avgdl = float(total_length) / float(doc_count): 32-bit and in that order,
/// so the same postings give the same bits however they are split into segments.
/// CorruptPostings for a malformed blob or a live document in two blobs of a term; InvalidInput
/// for a doc_freq above doc_count.
std::vector<Hit> search_postings(std::span<const QueryTerm> terms, std::uint64_t doc_count,
                                 std::uint64_t total_length, const DeletedIds& deleted,
                                 std::size_t limit);

}  // namespace revuradova::postings
