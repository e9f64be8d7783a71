#pragma once

// A new segment: the postings of a batch of texts, one blob per term.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "postings/analyzer.hpp"
#include "postings/postings_codec.hpp"

namespace revuradova::postings {

struct TermPostings {
    std::string term;
    std::uint64_t doc_freq;  // texts holding the term
    std::string blob;
};

/// Invariant: `terms` sorted by the terms' bytes, each term once, each blob non-empty;
/// `lengths[i]` is text i's number of terms (0 for a text without any, which is in no blob).
struct Segment {
    std::vector<TermPostings> terms;
    std::vector<std::uint32_t> lengths;
};

/// The segment of texts[i] with id ids[i]. InvalidInput unless the ids are strictly
/// ascending and below 2**63, the two lists are as long, and no text has 2**32 terms or more.
Segment build_segment(std::span<const DocId> ids, std::span<const std::string_view> texts,
                      Analyzer& analyzer);

}  // namespace revuradova::postings
