#pragma once

// Merging a term's postings from several segments into one blob, without deleted documents.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "postings/deleted_ids.hpp"

namespace revuradova::postings {

struct MergedPostings {
    std::uint64_t doc_freq;
    std::string blob;  // "" when no posting survives
};

/// The postings of `blobs` (any order, disjoint ids) without the `deleted` documents.
/// CorruptPostings for a malformed blob or an id in two blobs.
MergedPostings merge_postings(std::span<const std::string_view> blobs, const DeletedIds& deleted);

}  // namespace revuradova::postings
