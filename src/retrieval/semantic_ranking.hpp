#pragma once

// Stage 4's score: how many query words occur in a content (case-insensitively) plus
// twice the entities it holds, divided by the square root of its length in bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "retrieval/candidate_index.hpp"
#include "util/top_k.hpp"

namespace revuradova {

/// The query split on Unicode White_Space, each word fully lower-cased, in order.
std::vector<std::string> lowered_query_terms(std::string_view query);

/// The score of one content for already lower-cased query terms, each term and entity
/// looked for in turn. `scratch` receives the lower-cased content when it is not pure ASCII.
float semantic_score(std::string_view content, const std::vector<std::string>& lowered_terms,
                     const std::vector<std::string>& entities, std::string& scratch);

/// The query side of the score, prepared once for many contents. Every match adds a whole
/// number, so while the sum of all of them stays below 2^24 every partial sum is exact and
/// the order of the additions cannot change a score: equal terms (and equal entities) are
/// then one needle worth their count, the heaviest and longest are looked for first, and a
/// content is given up as soon as the needles left cannot lift it above a bar.
class SemanticQuery {
public:
    SemanticQuery(const std::vector<std::string>& lowered_terms,
                  const std::vector<std::string>& entities);

    /// What a content of `length` bytes scores at most (+infinity when sums are not exact).
    float bound(std::size_t length) const;

    /// semantic_score of `content` when that is above `bar`; otherwise a negative number or
    /// a score no higher than `bar`. A negative bar never gives up. With the content's
    /// `digest`, needles it rules out are not looked for.
    float score_above(std::string_view content, float bar, std::string& scratch,
                      const text::ContentDigest* digest = nullptr) const;

    /// Starts loading what `digest` will first read for each needle.
    void prefetch(const text::ContentDigest& digest) const noexcept;

private:
    struct Needle {
        std::string text;
        float weight;  // 1 per occurrence of a term, 2 per occurrence of an entity
        bool folded;   // a term (searched lower-cased), not an entity (searched as is)
        std::vector<std::uint32_t> windows;  // its window hashes, for contents' digests
    };
    std::vector<Needle> needles_;
    float best_sum_ = 0.0f;  // the sum of all weights
    bool exact_ = true;      // every partial sum is exact, so needles may merge and reorder
};

/// For entries whose first candidate is at `firsts[i]` (kNone: no candidate, no entry), the
/// first `limit` (entry index, score) pairs of a stable sort by score, best first.
/// `digests`, when not empty, holds the digest of each candidate's content (null: none).
std::vector<Ranked> rank_semantic(const std::vector<std::string>& lowered_terms,
                                  const std::vector<std::string>& entities, Candidates candidates,
                                  const Positions& firsts, std::uint64_t limit,
                                  ContentDigests digests = {});

}  // namespace revuradova
