#include "retrieval/semantic_ranking.hpp"

#include <algorithm>
#include <cmath>

#include "text/search.hpp"
#include "text/unicode.hpp"
#include "util/look_ahead.hpp"

namespace revuradova {
namespace {

// How far ahead of the candidate being scored its content is requested (its object is
// requested kCandidatesAhead ahead), and how much of it.
constexpr std::size_t kContentsAhead = 4;
constexpr std::size_t kContentBytesAhead = 2048;

}  // namespace

std::vector<std::string> lowered_query_terms(std::string_view query) {
    std::vector<std::string> terms;
    for (const std::string_view term : text::split_white_space(query)) {
        terms.push_back(text::to_lowercase(term));
    }
    return terms;
}

float semantic_score(std::string_view content, const std::vector<std::string>& lowered_terms,
                     const std::vector<std::string>& entities, std::string& scratch) {
    float score = 0.0f;
    // ASCII text lower-cases byte for byte, so terms are first looked for case-folded in
    // place; only a text with other characters, where a term was not found that way, is
    // lower-cased in full (once) and searched again.
    bool lowered = false;
    for (const std::string& term : lowered_terms) {
        bool found = false;
        if (!lowered) {
            const text::FoldedMatch match = text::find_ascii_folded(content, term);
            found = match == text::FoldedMatch::Found;
            if (match == text::FoldedMatch::NeedsUnicode) {
                scratch.clear();
                text::append_lowercase(content, scratch);
                lowered = true;
            }
        }
        if (lowered) found = text::contains(scratch, term);
        if (found) score = score + 1.0f;
    }
    for (const std::string& entity : entities) {
        if (text::contains(content, entity)) score = score + 2.0f;
    }
    if (!content.empty()) score = score / std::sqrt(static_cast<float>(content.size()));
    return score;
}

// When `limit` cuts the list, an entry whose best possible score (every term and entity
// found) cannot beat the worst kept entry is not scanned at all: scores only grow with
// matches, and a later entry loses every tie.
std::vector<Ranked> rank_semantic(const std::vector<std::string>& lowered_terms,
                                  const std::vector<std::string>& entities, Candidates candidates,
                                  const Positions& firsts, std::uint64_t limit) {
    std::string scratch;
    const auto score_of = [&](std::uint32_t position) {
        return semantic_score(candidates[position]->content, lowered_terms, entities, scratch);
    };
    // The candidates are objects all over the heap and each is read once: the object some
    // entries ahead is requested, and the content of one nearer, once its object is there.
    // (Inlined by force: GCC otherwise takes a lambda that only prefetches for one without
    // effects and drops its calls.)
    const auto request_object = [&](std::size_t i) __attribute__((always_inline)) {
        if (firsts[i] != CandidateIndex::kNone) __builtin_prefetch(candidates[firsts[i]]);
    };
    const auto request_content = [&](std::size_t i) __attribute__((always_inline)) {
        if (firsts[i] == CandidateIndex::kNone) return;
        const std::string& content = candidates[firsts[i]]->content;
        const std::size_t bytes = std::min(content.size(), kContentBytesAhead);
        for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(content.data() + at);
    };
    const auto scan = [&](auto&& visit) {
        visit_looking_ahead(firsts.size(), kCandidatesAhead, kContentsAhead, request_object,
                            request_content, [&](std::size_t i) {
                                if (firsts[i] != CandidateIndex::kNone) visit(i);
                            });
    };
    const auto resolved = static_cast<std::uint64_t>(std::count_if(
        firsts.begin(), firsts.end(), [](std::uint32_t p) { return p != CandidateIndex::kNone; }));
    std::vector<Ranked> ranked;
    if (limit >= resolved) {
        ranked.reserve(resolved);
        scan([&](std::size_t i) {
            ranked.push_back({static_cast<std::uint32_t>(i), score_of(firsts[i])});
        });
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
        return ranked;
    }
    if (limit == 0) return ranked;

    // Every match adds exactly 1 or 2, so the sum of all of them bounds the undivided score.
    const auto best_sum = static_cast<float>(lowered_terms.size() + 2 * entities.size());
    TopK top(static_cast<std::size_t>(limit));
    scan([&](std::size_t i) {
        if (top.full()) {
            const std::size_t length = candidates[firsts[i]]->content.size();
            const float bound =
                length == 0 ? best_sum : best_sum / std::sqrt(static_cast<float>(length));
            if (bound <= top.worst().score) return;
        }
        top.offer({static_cast<std::uint32_t>(i), score_of(firsts[i])});
    });
    return top.take_sorted();
}

}  // namespace revuradova
