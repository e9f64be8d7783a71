#include <algorithm>
#include <cmath>

#include "indexing/query/algorithms.hpp"

namespace revuradova {
namespace {

// Terms by descending bound. The first ones are accumulated like term at a time, for every
// document holding them, while a document holding none of them could still enter the top
// with the bounds of the rest. From then on only the documents already seen can, so the
// remaining terms are probed for those candidates alone, and a candidate whose partial
// score with the bounds of the terms left cannot enter is dropped. The few candidates left
// at the end are scored exactly, every token in query order.
//
// Partial scores are float sums in bound order, not in query order, so they only bound the
// exact score: it is at most (partial * widen + rest) * widen and at least
// partial / widen^2. The k-th best lower bound is a score k documents reach, so it raises
// the threshold; nothing is offered to the top before the exact scoring.
class PrunedTermAtATime {
public:
    // Roughly how many postings accumulating costs as much as probing one candidate.
    static constexpr std::size_t kProbeCost = 16;
    // The written slots are looked over a few times (for the k-th best, for counting and
    // collecting candidates): once they are more than one in this many, reading every slot
    // in order costs less than reading the written ones scattered.
    static constexpr std::size_t kDenseShare = 16;

    PrunedTermAtATime(const InvertedIndex& index, QueryScorer& scorer, QueryCursors& query,
                      Accumulators& accumulators, TopK& top)
        : index_(index),
          scorer_(scorer),
          query_(query),
          exact_(query),
          accumulators_(accumulators),
          top_(top),
          widen_(query.widen) {
        const std::size_t terms = query.by_bound.size();
        order_.reserve(terms);
        rest_.reserve(terms + 1);
        for (std::size_t i = terms; i-- > 0;) order_.push_back(&query.cursors[query.by_bound[i]]);
        // rest_[i]: the bounds of the terms from i on (the ascending prefix sums, reversed).
        for (std::size_t i = 0; i < terms; ++i) rest_.push_back(query.prefix[terms - 1 - i]);
        rest_.push_back(0.0);
    }

    void run() {
        const std::size_t probed = accumulate();
        accumulators_.collect(below_partial(rest_[probed]), candidates_);
        keep_candidates(rest_[probed]);
        for (std::size_t i = probed; i < order_.size() && !candidates_.empty(); ++i) probe(i);
        score_exactly();
    }

private:
    // Whether a document no accumulated term holds could still enter, with `rest` the
    // bounds of the terms not accumulated.
    bool unseen_can_enter(double rest) const { return top_.would_enter(0, rest * widen_); }

    double upper(float partial, double rest) const {
        return (static_cast<double>(partial) * widen_ + rest) * widen_;
    }

    // A float every partial score whose upper bound with `rest` can enter reaches.
    float below_partial(double rest) const {
        const double needed = (top_.threshold() / widen_ - rest) / widen_;
        return needed <= 0.0 ? 0.0f : std::nextafter(static_cast<float>(needed), 0.0f);
    }

    // The terms while an unseen document could enter, into the accumulators; returns how
    // many. Accumulators are sized for the postings the starting threshold lets through.
    std::size_t accumulate() {
        accumulators_.start(index_.doc_count(), query_.postings_reaching(top_.threshold()),
                            kDenseShare);
        double seen = 0.0;
        std::size_t fresh = 0;  // postings accumulated since the threshold was last raised
        std::size_t i = 0;
        for (; i < order_.size(); ++i) {
            const bool open = unseen_can_enter(rest_[i]);
            if (!open && !worth_accumulating(i)) break;
            TermCursor& term = *order_[i];
            const SlotSaturation* saturation =
                scorer_.saturations(term.term(), term.size(), term.postings());
            for (std::uint32_t r = 0; r < term.repeats(); ++r) {
                if (open) {
                    accumulators_.add(saturation, term.size(), term.idf());
                } else {
                    accumulators_.add_to_written(saturation, term.size(), term.idf());
                }
            }
            fresh += term.size() * term.repeats();
            // The k-th best partial can only pass the rest's bounds once the terms seen
            // bound more than the rest; it is looked for again only once the postings
            // added since cost about as much as looking.
            seen += term.bound();
            if (seen >= rest_[i + 1] && fresh >= look_cost()) {
                raise(accumulators_.kth_largest(top_.limit()));
                fresh = 0;
            }
        }
        if (fresh != 0) raise(accumulators_.kth_largest(top_.limit()));
        return i;
    }

    // Looking over the written slots, in postings accumulated: dense slots are read in
    // order, kDenseShare times cheaper each than scattered ones.
    std::size_t look_cost() const {
        const std::size_t written = accumulators_.written();
        return accumulators_.dense() ? written / kDenseShare : written;
    }

    // Once no unseen document can enter, the next term is still accumulated (for the
    // documents seen only) while that costs less than probing it for the candidates.
    // Counting the candidates costs one look at every written slot, so it is skipped when
    // the term is short or long enough beside them for the answer to be plain.
    bool worth_accumulating(std::size_t i) const {
        const std::size_t postings = order_[i]->size() * order_[i]->repeats();
        const std::size_t written = look_cost();
        if (postings >= kProbeCost * accumulators_.written()) return false;
        if (postings * kProbeCost <= written) return true;
        return postings < kProbeCost * accumulators_.count_reaching(below_partial(rest_[i]));
    }

    void raise(float kth_partial) {
        if (kth_partial > 0.0f) {
            top_.set_threshold(static_cast<double>(kth_partial) / (widen_ * widen_));
        }
    }

    // Drops the candidates that cannot enter with `rest` the bounds of the terms left.
    void keep_candidates(double rest) {
        std::erase_if(candidates_, [&](const Ranked& c) {
            return !top_.would_enter(c.position, upper(c.score, rest));
        });
    }

    // Term i's weight into each candidate holding it, then the threshold from the k-th
    // best partial and the candidates that can still enter.
    void probe(std::size_t i) {
        TermCursor& term = *order_[i];
        const auto repeats = static_cast<float>(term.repeats());
        for (Ranked& candidate : candidates_) {
            term.seek(candidate.position);
            if (term.slot() != candidate.position) continue;
            term.load(candidate.position, scorer_.norm(candidate.position));
            candidate.score = candidate.score + term.weight() * repeats;
        }
        if (candidates_.size() >= top_.limit()) {
            TopK best(top_.limit());
            for (const Ranked& candidate : candidates_) {
                if (best.would_enter(candidate.position, candidate.score)) best.offer(candidate);
            }
            raise(best.worst().score);
        }
        keep_candidates(rest_[i + 1]);
    }

    // The candidates left, each scored against every token in query order.
    void score_exactly() {
        for (const Ranked& candidate : candidates_) {
            const double bound = upper(candidate.score, 0.0);
            if (!top_.would_enter(candidate.position, bound)) continue;
            const float norm = scorer_.norm(candidate.position);
            for (TermCursor& cursor : exact_.cursors) {
                cursor.seek(candidate.position);
                cursor.load(candidate.position, norm);
            }
            const float score = exact_.loaded_score();
            REVURADOVA_CHECK(static_cast<double>(score) <= bound);
            if (top_.would_enter(candidate.position, score))
                top_.offer({candidate.position, score});
        }
    }

    const InvertedIndex& index_;
    QueryScorer& scorer_;
    const QueryCursors& query_;
    QueryCursors exact_;  // fresh cursors for the exact scoring
    Accumulators& accumulators_;
    TopK& top_;
    const double widen_;
    std::vector<TermCursor*> order_;  // by descending bound
    std::vector<double> rest_;
    std::vector<Ranked> candidates_;  // (slot, partial score), by slot
};

}  // namespace

void rank_pruned_term_at_a_time(const InvertedIndex& index, QueryScorer& scorer,
                                QueryCursors& query, Accumulators& accumulators, TopK& top) {
    REVURADOVA_CHECK(!query.cursors.empty());
    PrunedTermAtATime(index, scorer, query, accumulators, top).run();
}

}  // namespace revuradova
