#include <algorithm>

#include "indexing/query/algorithms.hpp"

namespace revuradova {

void rank_single_term(QueryScorer& scorer, QueryCursors& query, TopK& top) {
    REVURADOVA_CHECK(query.cursors.size() == 1);
    TermCursor& cursor = query.cursors.front();
    const float average = scorer.average();
    const std::size_t count = cursor.size();
    const Posting* postings = cursor.postings();
    const SlotSaturation* saturation = scorer.saturations(cursor.term(), count, postings);
    const float idf = cursor.idf();
    const std::uint32_t repeats = cursor.repeats();
    // Most postings fall below the threshold: one comparison with a local copy rejects
    // them, and the rest take the exact test (ties go to the earlier slot).
    double bar = top.threshold();
    for (std::size_t block = 0; block < cursor.block_count(); ++block) {
        // Slots only grow, so a block whose bound cannot beat the threshold (an equal
        // score losing the tie) is passed over whole.
        const std::size_t first = block * kBlockPostings;
        if (top.full()) {
            const double bound = cursor.block_bound(block, average) * query.widen;
            if (!top.would_enter(postings[first].slot, bound)) continue;
        }
        const std::size_t last = std::min(first + kBlockPostings, count);
        for (std::size_t i = first; i < last; ++i) {
            const float weight = saturation[i].saturation * idf;
            float score = 0.0f;
            for (std::uint32_t r = 0; r < repeats; ++r) score = score + weight;
            REVURADOVA_CHECK(static_cast<double>(score) <=
                             cursor.block_bound(block, average) * query.widen);
            if (static_cast<double>(score) < bar || !top.would_enter(saturation[i].slot, score)) {
                continue;
            }
            top.offer({saturation[i].slot, score});
            bar = top.threshold();
        }
    }
}

}  // namespace revuradova
