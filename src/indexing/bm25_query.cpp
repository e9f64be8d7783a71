#include "indexing/bm25_query.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "indexing/bm25_scorer.hpp"

namespace revuradova {
namespace {

constexpr std::size_t kScanBlock = 16;

// Whether any of the kScanBlock scores at `block` is at least `bar` (a NaN never is).
bool any_reaches(const float* block, float bar) {
#if defined(__SSE2__)
    const __m128 bars = _mm_set1_ps(bar);
    __m128 reached = _mm_cmpge_ps(_mm_loadu_ps(block), bars);
    for (std::size_t j = 4; j < kScanBlock; j += 4) {
        reached = _mm_or_ps(reached, _mm_cmpge_ps(_mm_loadu_ps(block + j), bars));
    }
    return _mm_movemask_ps(reached) != 0;
#else
    bool reached = false;
    for (std::size_t j = 0; j < kScanBlock; ++j) reached |= block[j] >= bar;
    return reached;
#endif
}

}  // namespace

std::vector<QueryTerm> resolve_query(const InvertedIndex& index,
                                     const std::vector<std::string>& tokens) {
    std::vector<QueryTerm> resolved;
    resolved.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const TermPostings found = index.find_with_bounds(token);
        const float idf =
            found.postings == nullptr
                ? 0.0f
                : BM25Scorer::inverse_document_frequency(index.doc_count(), found.postings->size());
        resolved.push_back({found.id, found.postings, found.blocks, idf});
    }
    return resolved;
}

// Brings the normalisation table up to the index's current average. A failed resize leaves
// the old table, whose generation no longer matches, so it is rebuilt next time.
void BM25Query::prepare(const InvertedIndex& index) {
    const std::size_t lengths =
        std::min<std::size_t>(std::size_t{index.longest()} + 1, kTabledLengths);
    if (norm_table_.size() < lengths) {
        norm_generation_ = 0;
        norm_table_.resize(lengths);
    }
    if (norm_generation_ != index.norm_generation()) {
        const float average = index.avg_doc_length();
        for (std::size_t length = 0; length < norm_table_.size(); ++length) {
            norm_table_[length] =
                BM25Scorer::length_normalisation(static_cast<float>(length), average);
        }
        norm_generation_ = index.norm_generation();
    }
}

float BM25Query::norm_of(const InvertedIndex& index, DocSlot slot) const {
    const std::uint32_t length = index.lengths()[slot];
    if (length < norm_table_.size()) return norm_table_[length];
    return BM25Scorer::length_normalisation(static_cast<float>(length), index.avg_doc_length());
}

std::vector<Ranked> BM25Query::rank(const InvertedIndex& index, const std::vector<QueryTerm>& query,
                                    std::size_t limit) {
    if (index.doc_count() == 0 || limit == 0) return {};
    const float average = index.avg_doc_length();
    Plan plan;
    plan.token_cursor.reserve(query.size());
    for (const QueryTerm& term : query) {
        if (term.postings == nullptr || term.postings->empty()) continue;
        const Posting* begin = term.postings->data();
        std::uint32_t c = 0;
        while (c < plan.cursors.size() && plan.cursors[c].begin != begin) ++c;
        if (c == plan.cursors.size()) {
            const BlockBounds* blocks = term.blocks->data();
            QueryCursor cursor{begin,    begin,  begin + term.postings->size(),
                               blocks,   blocks, blocks + term.blocks->size(),
                               term.idf, term.id};
            // The largest block bound bounds every posting of the term.
            cursor.repeats = 1;
            for (const BlockBounds& block : *term.blocks) {
                cursor.bound = std::max(cursor.bound, cursor.block_weight(&block, average));
            }
            cursor.repeats = 0;
            cursor.bounded_block = nullptr;
            plan.cursors.push_back(cursor);
        }
        ++plan.cursors[c].repeats;
        plan.token_cursor.push_back(c);
    }
    if (plan.cursors.empty()) return {};
    for (QueryCursor& cursor : plan.cursors) cursor.bound *= cursor.repeats;
    // The worst rounding error of a float sum over the tokens, and then some.
    plan.widen = 1.0 + static_cast<double>(plan.token_cursor.size() + 2) * 0x1p-22;
    prepare(index);

    if (plan.cursors.size() == 1) return rank_single(index, plan, limit);
    plan.by_bound.resize(plan.cursors.size());
    std::iota(plan.by_bound.begin(), plan.by_bound.end(), 0u);
    std::sort(plan.by_bound.begin(), plan.by_bound.end(), [&](std::uint32_t a, std::uint32_t b) {
        return plan.cursors[a].bound < plan.cursors[b].bound;
    });
    double running = 0.0;
    for (const std::uint32_t c : plan.by_bound)
        plan.prefix.push_back(running += plan.cursors[c].bound);
    const double floor = starting_threshold(index, plan, limit);
    if (floor > 0.0 && worth_pruning(plan, floor)) return rank_pruned(index, plan, limit, floor);
    return rank_exhaustive(index, query, limit);
}

// Document at a time costs far more per posting walked than accumulating one, so pruning
// pays only when the postings it must walk (those of the terms that can lift a document
// above the starting threshold on their own with the weaker ones) are a small share.
bool BM25Query::worth_pruning(const Plan& plan, double floor) const {
    std::size_t total = 0;
    std::size_t walked = 0;
    for (std::size_t i = 0; i < plan.by_bound.size(); ++i) {
        const QueryCursor& cursor = plan.cursors[plan.by_bound[i]];
        const auto postings = static_cast<std::size_t>(cursor.end - cursor.begin);
        total += postings * cursor.repeats;
        if (plan.prefix[i] * plan.widen >= floor) walked += postings;
    }
    return walked * kWalkCost <= total;
}

// One term: its weight, added once per repeat, for each posting in slot order. A block
// whose bound cannot beat the top's worst entry is passed over whole.
std::vector<Ranked> BM25Query::rank_single(const InvertedIndex& index, Plan& plan,
                                           std::size_t limit) {
    QueryCursor& cursor = plan.cursors.front();
    const float average = index.avg_doc_length();
    const auto count = static_cast<std::size_t>(cursor.end - cursor.begin);
    const float* saturation = saturations(index, cursor.term, count, cursor.begin);
    TopK top(limit);
    // Once the top is full a posting must beat its worst score: slots only grow, so an
    // equal score loses the tie.
    float worst = 0.0f;
    for (const BlockBounds* block = cursor.block; block != cursor.blocks_end; ++block) {
        const auto first = static_cast<std::size_t>(block - cursor.block) * kBlockPostings;
        const std::size_t last = std::min(first + kBlockPostings, count);
        if (top.full() &&
            cursor.block_weight(block, average) * plan.widen <= static_cast<double>(worst)) {
            continue;
        }
        for (std::size_t i = first; i < last; ++i) {
            const float weight = saturation[i] * cursor.idf;
            float score = 0.0f;
            for (std::uint32_t r = 0; r < cursor.repeats; ++r) score = score + weight;
            if (!(score > worst)) continue;
            top.offer({cursor.begin[i].slot, score});
            if (top.full()) worst = top.worst().score;
        }
    }
    return top.take_sorted();
}

// Several terms, none rare enough to prune with: every posting's weight into accumulators,
// term by term in query order, then the best of the touched slots.
std::vector<Ranked> BM25Query::rank_exhaustive(const InvertedIndex& index,
                                               const std::vector<QueryTerm>& query,
                                               std::size_t limit) {
    const std::size_t slots = index.doc_count();
    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.postings != nullptr) postings += term.postings->size();
    }
    // Dense accumulation when the query touches at least one document in four: no
    // bookkeeping per posting, one pass over all slots at the end. Below that, stamps tell
    // which accumulators this search has written, and only those are visited.
    const bool dense = postings >= slots / 4;
    if (scores_.size() < slots) {  // both arrays allocated before either is replaced
        std::vector<float> scores(slots);
        std::vector<std::uint32_t> stamps(slots, 0);
        std::copy(stamps_.begin(), stamps_.end(), stamps.begin());
        scores_.swap(scores);
        stamps_.swap(stamps);
    }
    float* score = scores_.data();
    std::uint32_t* stamp = stamps_.data();
    if (dense) {
        std::fill_n(score, slots, 0.0f);
    } else {
        touched_.clear();
        touched_.reserve(std::min(postings, slots));
        if (++epoch_ == 0) {  // wrapped: forget every old stamp
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    const std::uint32_t epoch = epoch_;
    for (const QueryTerm& term : query) {
        if (term.postings == nullptr) continue;
        const float* saturation =
            saturations(index, term.id, term.postings->size(), term.postings->data());
        const Posting* postings = term.postings->data();
        const std::size_t count = term.postings->size();
        const float idf = term.idf;
        if (dense) {
            for (std::size_t i = 0; i < count; ++i) {
                const DocSlot slot = postings[i].slot;
                score[slot] = score[slot] + saturation[i] * idf;
            }
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const DocSlot slot = postings[i].slot;
            if (stamp[slot] != epoch) {
                stamp[slot] = epoch;
                score[slot] = 0.0f;
                touched_.push_back(slot);  // within reserved capacity
            }
            score[slot] = score[slot] + saturation[i] * idf;
        }
    }

    TopK top(limit);
    float threshold = 0.0f;  // once the top is full, most slots cost two comparisons
    const auto offer = [&](DocSlot slot) {
        const float s = score[slot];
        if (!(s > 0.0f) || s < threshold) return;
        top.offer({slot, s});
        if (top.full()) threshold = top.worst().score;
    };
    if (dense) {
        // Most slots hold nothing that could enter the top: a block of them is passed over
        // after one comparison each, written so that the compiler does them side by side.
        // A slot is a candidate when its score is positive and reaches the threshold.
        std::size_t slot = 0;
        for (; slot + kScanBlock <= slots; slot += kScanBlock) {
            const float bar = std::max(threshold, std::numeric_limits<float>::denorm_min());
            if (!any_reaches(score + slot, bar)) continue;
            for (std::size_t j = 0; j < kScanBlock; ++j) offer(static_cast<DocSlot>(slot + j));
        }
        for (; slot < slots; ++slot) offer(static_cast<DocSlot>(slot));
    } else {
        for (const DocSlot slot : touched_) offer(slot);
    }
    return top.take_sorted();
}

}  // namespace revuradova
