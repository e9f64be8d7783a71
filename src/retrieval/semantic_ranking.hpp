#pragma once

// Stage 4's score: how many query words occur in a content (case-insensitively) plus
// twice the entities it holds, divided by the square root of its length in bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "retrieval/candidate_index.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// The query split on Unicode White_Space, each word fully lower-cased, in order.
std::vector<std::string> lowered_query_terms(std::string_view query);

/// The score of one content for already lower-cased query terms. `scratch` receives the
/// lower-cased content when it is not pure ASCII.
float semantic_score(std::string_view content, const std::vector<std::string>& lowered_terms,
                     const std::vector<std::string>& entities, std::string& scratch);

/// For entries whose first candidate is at `firsts[i]` (kNone: no candidate, no entry), the
/// first `limit` (entry index, score) pairs of a stable sort by score, best first.
std::vector<Ranked> rank_semantic(const std::vector<std::string>& lowered_terms,
                                  const std::vector<std::string>& entities, Candidates candidates,
                                  const Positions& firsts, std::uint64_t limit);

}  // namespace revuradova
