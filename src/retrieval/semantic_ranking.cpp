#include "retrieval/semantic_ranking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "text/search.hpp"
#include "text/unicode.hpp"
#include "util/look_ahead.hpp"

namespace revuradova {
namespace {

// How far ahead of the candidate being scored its content is requested (its object is
// requested kCandidatesAhead ahead), and how much of it.
constexpr std::size_t kContentsAhead = 4;
constexpr std::size_t kContentBytesAhead = 2048;

// Whether `content` holds the lower-cased `term` once lower-cased itself. ASCII text
// lower-cases byte for byte, so the term is first looked for case-folded in place; only a
// text with other characters, where the term was not found that way, is lower-cased in full
// into `scratch` (once: `lowered` then says so) and searched again.
bool holds_lowered(std::string_view content, const std::string& term, std::string& scratch,
                   bool& lowered) {
    if (!lowered) {
        const text::FoldedMatch match = text::find_ascii_folded(content, term);
        if (match != text::FoldedMatch::NeedsUnicode) return match == text::FoldedMatch::Found;
        scratch.clear();
        text::append_lowercase(content, scratch);
        lowered = true;
    }
    return text::contains(scratch, term);
}

float divided_by_length(float sum, std::size_t length) {
    return length == 0 ? sum : sum / std::sqrt(static_cast<float>(length));
}

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
    bool lowered = false;
    for (const std::string& term : lowered_terms) {
        if (holds_lowered(content, term, scratch, lowered)) score = score + 1.0f;
    }
    for (const std::string& entity : entities) {
        if (text::contains(content, entity)) score = score + 2.0f;
    }
    return divided_by_length(score, content.size());
}

SemanticQuery::SemanticQuery(const std::vector<std::string>& lowered_terms,
                             const std::vector<std::string>& entities) {
    needles_.reserve(lowered_terms.size() + entities.size());
    for (const std::string& term : lowered_terms) {
        needles_.push_back({term, 1.0f, true, text::window_hashes(term)});
    }
    for (const std::string& entity : entities) {
        needles_.push_back({entity, 2.0f, false, text::window_hashes(entity)});
    }
    const double total = static_cast<double>(lowered_terms.size()) + 2.0 * entities.size();
    exact_ = total <= 16777216.0;  // 2^24: every whole number up to it is a float
    best_sum_ = static_cast<float>(total);
    if (!exact_) return;  // the needles stay one per word, in query order

    const auto same = [](const Needle& a, const Needle& b) {
        return a.folded == b.folded && a.text == b.text;
    };
    std::sort(needles_.begin(), needles_.end(), [](const Needle& a, const Needle& b) {
        return a.folded != b.folded ? a.folded < b.folded : a.text < b.text;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < needles_.size(); ++i) {
        if (kept > 0 && same(needles_[kept - 1], needles_[i])) {
            needles_[kept - 1].weight += needles_[i].weight;
        } else {
            if (kept != i) needles_[kept] = std::move(needles_[i]);
            ++kept;
        }
    }
    needles_.erase(needles_.begin() + static_cast<std::ptrdiff_t>(kept), needles_.end());
    // A heavy needle that is absent lowers the bound most; a long one is rarely present.
    std::stable_sort(needles_.begin(), needles_.end(), [](const Needle& a, const Needle& b) {
        return a.weight != b.weight ? a.weight > b.weight : a.text.size() > b.text.size();
    });
}

float SemanticQuery::bound(std::size_t length) const {
    if (!exact_) return std::numeric_limits<float>::infinity();
    return divided_by_length(best_sum_, length);
}

void SemanticQuery::prefetch(const text::ContentDigest& digest) const noexcept {
    for (const Needle& needle : needles_) {
        if (!needle.windows.empty()) digest.prefetch(needle.windows.front());
    }
}

float SemanticQuery::score_above(std::string_view content, float bar, std::string& scratch,
                                 const text::ContentDigest* digest) const {
    const bool may_give_up = exact_ && bar >= 0.0f;
    bool lowered = false;
    float score = 0.0f;
    float rest = best_sum_;  // the weight of the needles not looked for yet
    for (const Needle& needle : needles_) {
        // Division by the same length is monotonic: a content holding every needle left
        // would score this at most.
        if (may_give_up && !(divided_by_length(score + rest, content.size()) > bar)) return -1.0f;
        rest = rest - needle.weight;
        // A digest is only made of a pure-ASCII content, whose lower-case form is its ASCII
        // fold: a needle it rules out is in neither.
        if (digest != nullptr && !digest->may_hold(needle.windows)) continue;
        const bool found = needle.folded ? holds_lowered(content, needle.text, scratch, lowered)
                                         : text::contains(content, needle.text);
        if (found) score = score + needle.weight;
    }
    return divided_by_length(score, content.size());
}

// When `limit` cuts the list, an entry whose best possible score (every needle found)
// cannot beat the worst kept entry is neither requested from memory nor scanned, and one
// being scanned is given up once the needles left cannot lift it that far: a later entry
// loses every tie.
std::vector<Ranked> rank_semantic(const std::vector<std::string>& lowered_terms,
                                  const std::vector<std::string>& entities, Candidates candidates,
                                  const Positions& firsts, std::uint64_t limit,
                                  ContentDigests digests) {
    std::string scratch;
    const SemanticQuery query(lowered_terms, entities);
    const auto resolved = static_cast<std::uint64_t>(std::count_if(
        firsts.begin(), firsts.end(), [](std::uint32_t p) { return p != CandidateIndex::kNone; }));
    const bool cut = limit < resolved;
    std::vector<Ranked> ranked;
    if (cut && limit == 0) return ranked;
    TopK top(cut ? static_cast<std::size_t>(limit) : 0);
    // Only once the top is full can an entry be passed over.
    const auto may_enter = [&](std::size_t length) {
        return !cut || !top.full() || query.bound(length) > top.worst().score;
    };

    const auto digest_of = [&](std::size_t i) -> const text::ContentDigest* {
        return digests.empty() ? nullptr : digests[firsts[i]];
    };
    // The candidates are objects all over the heap and each is read once: the object some
    // entries ahead is requested, and the content of one nearer, once its object is there.
    // (Inlined by force: GCC otherwise takes a lambda that only prefetches for one without
    // effects and drops its calls.)
    const auto request_object = [&](std::size_t i) __attribute__((always_inline)) {
        if (firsts[i] == CandidateIndex::kNone) return;
        __builtin_prefetch(candidates[firsts[i]]);
        if (const text::ContentDigest* digest = digest_of(i)) __builtin_prefetch(digest);
    };
    // A content with a digest is read only for needles the digest does not rule out: its
    // digest is requested instead, the words each needle's first probe reads.
    const auto request_content = [&](std::size_t i) __attribute__((always_inline)) {
        if (firsts[i] == CandidateIndex::kNone) return;
        const std::string& content = candidates[firsts[i]]->content;
        if (!may_enter(content.size())) return;
        if (const text::ContentDigest* digest = digest_of(i)) {
            query.prefetch(*digest);
            return;
        }
        const std::size_t bytes = std::min(content.size(), kContentBytesAhead);
        for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(content.data() + at);
    };
    if (!cut) ranked.reserve(resolved);
    visit_looking_ahead(
        firsts.size(), kCandidatesAhead, kContentsAhead, request_object, request_content,
        [&](std::size_t i) {
            if (firsts[i] == CandidateIndex::kNone) return;
            const std::string& content = candidates[firsts[i]]->content;
            const auto entry = static_cast<std::uint32_t>(i);
            if (!cut) {
                ranked.push_back({entry, query.score_above(content, -1.0f, scratch, digest_of(i))});
                return;
            }
            if (!may_enter(content.size())) return;
            const float bar = top.full() ? top.worst().score : -1.0f;
            const float score = query.score_above(content, bar, scratch, digest_of(i));
            if (score >= 0.0f) top.offer({entry, score});
        });
    if (cut) return top.take_sorted();
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
    return ranked;
}

}  // namespace revuradova
