// Document-at-a-time ranking with block-max MaxScore pruning (part of BM25Query).

#include <algorithm>

#include "indexing/bm25_query.hpp"

namespace revuradova {
namespace {

// How many postings of the rarest term the starting threshold scores at most.
constexpr std::size_t kSeedPostings = 512;

}  // namespace

// The exact score of `slot`: every cursor seeks it, each term present contributes one weight,
// added per query token in query order.
float BM25Query::score_of(const InvertedIndex& index, DocSlot slot, Plan& plan) const {
    const float norm = norm_of(index, slot);
    for (QueryCursor& cursor : plan.cursors) {
        cursor.seek(slot);
        cursor.term_frequency = cursor.slot() == slot ? cursor.at->term_frequency : 0;
        if (cursor.term_frequency != 0) {
            cursor.weight = BM25Scorer::term_weight(cursor.term_frequency, norm, cursor.idf);
        }
    }
    float score = 0.0f;
    for (const std::uint32_t c : plan.token_cursor) {
        if (plan.cursors[c].term_frequency != 0) score = score + plan.cursors[c].weight;
    }
    return score;
}

// The k-th best score among the documents of the term with the highest bound (usually the
// rarest), when it holds at least k and few enough to score them all cheaply; 0 otherwise.
// k documents score at least that much, so nothing scoring less can enter the top k.
double BM25Query::starting_threshold(const InvertedIndex& index, const Plan& plan,
                                     std::size_t limit) {
    const auto rarest = std::max_element(
        plan.cursors.begin(), plan.cursors.end(),
        [](const QueryCursor& a, const QueryCursor& b) { return a.bound < b.bound; });
    const auto count = static_cast<std::size_t>(rarest->end - rarest->begin);
    if (count < limit || count > index.doc_count() / 4) return 0.0;
    // Any k scored documents give a valid threshold; the first few hundred give a good one.
    const Posting* end = rarest->begin + std::min(count, std::max(limit, kSeedPostings));
    Plan probe = plan;
    TopK seed(limit);
    for (const Posting* p = rarest->begin; p != end; ++p) {
        seed.offer({p->slot, score_of(index, p->slot, probe)});
    }
    return seed.full() ? static_cast<double>(seed.worst().score) : 0.0;
}

std::vector<Ranked> BM25Query::rank_pruned(const InvertedIndex& index, Plan& plan,
                                           std::size_t limit, double floor) {
    std::vector<QueryCursor>& cursors = plan.cursors;
    const float average = index.avg_doc_length();
    // Cursors by ascending bound; those from `first_essential` on are walked, the ones
    // before it only probed, since together they cannot lift a document into the top.
    const std::vector<std::uint32_t>& order = plan.by_bound;
    const std::vector<double>& prefix = plan.prefix;

    TopK top(limit);
    // Out when the bound is below the floor, or, once the top is full, not above its worst
    // score: later documents lose ties, their slots being larger.
    const auto cannot_enter = [&](double bound) {
        bound *= plan.widen;
        return bound < floor || (top.full() && bound <= static_cast<double>(top.worst().score));
    };
    std::size_t first_essential = 0;
    const auto demote = [&] {
        while (first_essential < order.size() && cannot_enter(prefix[first_essential])) {
            ++first_essential;
        }
    };
    demote();

    // Scores a candidate that passed the block bounds, refining the bound as each term is
    // resolved: the essential terms here first, then the others by descending bound, each
    // probe replacing a block bound by the exact weight. Returns whether it entered the top.
    const auto score_candidate = [&](DocSlot slot) {
        const float norm = norm_of(index, slot);
        double bound = 0.0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            QueryCursor& cursor = cursors[order[i]];
            if (i < first_essential) {
                const BlockBounds* block = cursor.seek_block(slot);
                if (block != nullptr) bound += cursor.block_weight(block, average);
                continue;
            }
            cursor.term_frequency = cursor.slot() == slot ? cursor.at->term_frequency : 0;
            if (cursor.term_frequency == 0) continue;
            cursor.weight = BM25Scorer::term_weight(cursor.term_frequency, norm, cursor.idf);
            bound += static_cast<double>(cursor.weight) * cursor.repeats;
        }
        for (std::size_t i = first_essential; i-- > 0;) {
            if (cannot_enter(bound)) return false;
            QueryCursor& cursor = cursors[order[i]];
            const BlockBounds* block = cursor.seek_block(slot);
            if (block != nullptr) bound -= cursor.block_weight(block, average);
            cursor.seek(slot);
            cursor.term_frequency = cursor.slot() == slot ? cursor.at->term_frequency : 0;
            if (cursor.term_frequency == 0) continue;
            cursor.weight = BM25Scorer::term_weight(cursor.term_frequency, norm, cursor.idf);
            bound += static_cast<double>(cursor.weight) * cursor.repeats;
        }
        float score = 0.0f;
        for (const std::uint32_t c : plan.token_cursor) {
            if (cursors[c].term_frequency != 0) score = score + cursors[c].weight;
        }
        if (!(score > 0.0f)) return false;
        top.offer({slot, score});
        return true;
    };

    // The walked cursors, by ascending bound; rebuilt when a term stops being essential.
    std::vector<QueryCursor*> walked;
    std::size_t walked_from = order.size() + 1;
    while (first_essential < order.size()) {
        if (walked_from != first_essential) {
            walked.clear();
            for (std::size_t i = first_essential; i < order.size(); ++i) {
                walked.push_back(&cursors[order[i]]);
            }
            walked_from = first_essential;
        }
        DocSlot slot = kEndOfPostings;
        for (const QueryCursor* cursor : walked) slot = std::min(slot, cursor->slot());
        if (slot == kEndOfPostings) break;

        // The probed terms' bounds, and for the walked terms here the bound of the block
        // their posting sits in (found from its position, no search).
        double bound = first_essential == 0 ? 0.0 : prefix[first_essential - 1];
        for (QueryCursor* cursor : walked) {
            if (cursor->slot() != slot) continue;
            const auto position = static_cast<std::size_t>(cursor->at - cursor->begin);
            bound +=
                cursor->block_weight(cursor->blocks_begin + position / kBlockPostings, average);
        }
        if (!cannot_enter(bound) && score_candidate(slot)) demote();
        for (QueryCursor* cursor : walked) {
            if (cursor->slot() == slot) ++cursor->at;
        }
    }
    return top.take_sorted();
}

}  // namespace revuradova
