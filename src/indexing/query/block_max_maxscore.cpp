#include <algorithm>

#include "indexing/query/algorithms.hpp"

namespace revuradova {
namespace {

// Cursors by ascending bound: those from `essential_` on are walked, the ones before it
// only probed, since together they cannot lift a document into the top. Documents are
// visited in increasing slot order, so a later document loses a tie with a kept one.
class MaxScore {
public:
    MaxScore(QueryScorer& scorer, QueryCursors& query, TopK& top)
        : scorer_(scorer),
          query_(query),
          top_(top),
          average_(scorer.average()),
          prefix_(query.prefix) {
        order_.reserve(query.by_bound.size());
        for (const std::uint32_t c : query.by_bound) order_.push_back(&query.cursors[c]);
    }

    void run() {
        demote();
        while (essential_ < order_.size()) {
            const DocSlot slot = next_candidate();
            if (slot == kEndOfPostings) break;
            if (can_enter(candidate_bound(slot), slot) && score(slot)) demote();
            for (std::size_t i = essential_; i < order_.size(); ++i) {
                if (cursor(i).slot() == slot) cursor(i).next();
            }
        }
    }

private:
    TermCursor& cursor(std::size_t i) { return *order_[i]; }

    bool can_enter(double bound, DocSlot slot) const {
        return top_.would_enter(slot, bound * query_.widen);
    }

    // Terms whose bound, with every weaker term's, cannot lift any later document into the
    // top stop being walked.
    void demote() {
        while (essential_ < order_.size() && !can_enter(prefix_[essential_], kEndOfPostings)) {
            ++essential_;
        }
    }

    DocSlot next_candidate() {
        DocSlot slot = kEndOfPostings;
        for (std::size_t i = essential_; i < order_.size(); ++i) {
            slot = std::min(slot, cursor(i).slot());
        }
        return slot;
    }

    // The probed terms' bounds, and for the walked terms at `slot` the bound of the block
    // their posting sits in.
    double candidate_bound(DocSlot slot) {
        double bound = essential_ == 0 ? 0.0 : prefix_[essential_ - 1];
        for (std::size_t i = essential_; i < order_.size(); ++i) {
            if (cursor(i).slot() == slot) bound += cursor(i).block_bound_here(average_);
        }
        return bound;
    }

    // Scores a candidate that passed the block bounds, refining the bound as each term is
    // resolved: the walked terms first, then the probed ones by descending bound, each
    // probe replacing a block bound by the exact weight. Returns whether it was offered.
    bool score(DocSlot slot) {
        const float norm = scorer_.norm(slot);
        double bound = 0.0;
        for (std::size_t i = 0; i < essential_; ++i)
            bound += cursor(i).block_bound_at(slot, average_);
        for (std::size_t i = essential_; i < order_.size(); ++i) {
            if (cursor(i).load(slot, norm)) bound += exact(cursor(i));
        }
        [[maybe_unused]] const double first_bound = bound;
        for (std::size_t i = essential_; i-- > 0;) {
            if (!can_enter(bound, slot)) return false;
            TermCursor& probed = cursor(i);
            bound -= probed.block_bound_at(slot, average_);
            probed.seek(slot);
            if (probed.load(slot, norm)) bound += exact(probed);
        }
        const float score = query_.loaded_score();
        REVURADOVA_CHECK(static_cast<double>(score) <= first_bound * query_.widen);
        if (!top_.would_enter(slot, score)) return false;
        top_.offer({slot, score});
        return true;
    }

    static double exact(const TermCursor& c) {
        return static_cast<double>(c.weight()) * c.repeats();
    }

    QueryScorer& scorer_;
    QueryCursors& query_;
    TopK& top_;
    const float average_;
    std::vector<TermCursor*> order_;
    const std::vector<double>& prefix_;  // prefix_[i]: the sum of the first i + 1 bounds
    std::size_t essential_ = 0;
};

}  // namespace

void rank_block_max_maxscore(QueryScorer& scorer, QueryCursors& query, TopK& top) {
    REVURADOVA_CHECK(!query.cursors.empty());
    MaxScore(scorer, query, top).run();
}

}  // namespace revuradova
