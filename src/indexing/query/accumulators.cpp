#include "indexing/query/accumulators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The largest float not above `bar`.
float below(double bar) {
    constexpr auto kLargest = static_cast<double>(std::numeric_limits<float>::max());
    if (bar > kLargest) return std::numeric_limits<float>::infinity();
    if (!(bar >= -kLargest)) return -std::numeric_limits<float>::infinity();
    const auto rounded = static_cast<float>(bar);
    return static_cast<double>(rounded) <= bar ? rounded : std::nextafter(rounded, -HUGE_VALF);
}

template <typename Visit>
void for_each_reaching(const float* score, std::size_t slots, float bar, Visit visit) {
    // A block of slots that holds nothing reaching the bar is passed over after one
    // comparison each, written so that the compiler does them side by side. `visit`
    // returns the bar from then on (it may only rise).
    std::size_t slot = 0;
    for (; slot + kScanBlock <= slots; slot += kScanBlock) {
        if (!any_reaches(score + slot, bar)) continue;
        for (std::size_t j = slot; j < slot + kScanBlock; ++j) {
            if (score[j] >= bar) bar = visit(static_cast<DocSlot>(j));
        }
    }
    for (; slot < slots; ++slot) {
        if (score[slot] >= bar) bar = visit(static_cast<DocSlot>(slot));
    }
}

}  // namespace

void Accumulators::start(std::size_t slots, std::size_t postings, std::size_t dense_share) {
    const bool dense = postings >= slots / dense_share;
    // Everything that can fail comes first: a failed search leaves the old state valid.
    if (dense && scores_.size() < slots) {
        std::vector<float> scores(slots);
        scores_.swap(scores);
    }
    const std::size_t room = std::min(postings, slots);
    if (!dense && cells_.size() < slots) {
        std::vector<Cell> cells(slots, Cell{0.0f, 0});  // no stamp matches a live epoch
        cells_.swap(cells);
    }
    if (!dense && touched_.size() < room) touched_.resize(room);
    slots_ = slots;
    dense_ = dense;
    touched_count_ = 0;
    if (dense_) {
        std::fill_n(scores_.data(), slots, 0.0f);
        return;
    }
    if (++epoch_ == 0) {  // wrapped: forget every old stamp
        for (Cell& cell : cells_) cell.stamp = 0;
        epoch_ = 1;
    }
}

void Accumulators::add(const SlotSaturation* postings, std::size_t count, float idf) {
    if (dense_) {
        float* score = scores_.data();
        for (std::size_t i = 0; i < count; ++i) {
            const DocSlot slot = postings[i].slot;
            score[slot] = score[slot] + postings[i].saturation * idf;
        }
        return;
    }
    Cell* cells = cells_.data();
    DocSlot* touched = touched_.data();
    std::size_t written = touched_count_;
    const std::uint32_t epoch = epoch_;
    for (std::size_t i = 0; i < count; ++i) {
        const DocSlot slot = postings[i].slot;
        Cell& cell = cells[slot];
        if (cell.stamp != epoch) {
            cell = {0.0f, epoch};
            touched[written++] = slot;  // within the room start() made
        }
        cell.score = cell.score + postings[i].saturation * idf;
    }
    touched_count_ = written;
}

void Accumulators::add_to_written(const SlotSaturation* postings, std::size_t count, float idf) {
    if (dense_) {
        add(postings, count, idf);
        return;
    }
    Cell* cells = cells_.data();
    const std::uint32_t epoch = epoch_;
    for (std::size_t i = 0; i < count; ++i) {
        Cell& cell = cells[postings[i].slot];
        if (cell.stamp == epoch) cell.score = cell.score + postings[i].saturation * idf;
    }
}

std::size_t Accumulators::count_reaching(float bar) const {
    const float* score = scores_.data();
    std::size_t reaching = 0;
    bar = std::max(bar, std::numeric_limits<float>::denorm_min());
    if (dense_) {
        for_each_reaching(score, slots_, bar, [&](DocSlot) {
            ++reaching;
            return bar;
        });
        return reaching;
    }
    for (const DocSlot slot : touched()) reaching += cells_[slot].score >= bar ? 1 : 0;
    return reaching;
}

// Most slots fall below the threshold: one float comparison with a local copy (rounded down,
// so it never passes over a slot that reaches the exact one) rejects them, and the rest take
// the exact test.
void Accumulators::harvest(TopK& top) const {
    const float* score = scores_.data();
    if (!dense_) {
        float bar = below(top.threshold());
        for (const DocSlot slot : touched()) {
            const float value = cells_[slot].score;
            if (value < bar || !top.would_enter(slot, value)) continue;
            top.offer({slot, value});
            bar = below(top.threshold());
        }
        return;
    }
    for_each_reaching(score, slots_, below(top.threshold()), [&](DocSlot slot) {
        if (!top.would_enter(slot, score[slot])) return below(top.threshold());
        top.offer({slot, score[slot]});
        return below(top.threshold());
    });
}

float Accumulators::kth_largest(std::size_t k) const {
    if (k == 0) return 0.0f;
    TopK best(k);
    best.set_threshold(std::numeric_limits<float>::denorm_min());
    harvest(best);
    return best.full() ? best.worst().score : 0.0f;
}

void Accumulators::collect(float bar, std::vector<Ranked>& out) const {
    const float* score = scores_.data();
    bar = std::max(bar, std::numeric_limits<float>::denorm_min());
    if (!dense_) {
        const std::size_t first = out.size();
        for (const DocSlot slot : touched()) {
            if (cells_[slot].score >= bar) out.push_back({slot, cells_[slot].score});
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                  [](const Ranked& a, const Ranked& b) { return a.position < b.position; });
        return;
    }
    for_each_reaching(score, slots_, bar, [&](DocSlot slot) {
        out.push_back({slot, score[slot]});
        return bar;
    });
}

// The saturations of a token are asked for again in every range: the scorer keeps those of
// long lists, and short ones cost little to compute again.
void Accumulators::add_and_harvest_in_ranges(std::vector<TokenPostings>& tokens, std::size_t slots,
                                             QueryScorer& scorer, TopK& top, std::size_t range) {
    if (range_.size() < range) range_.resize(range);
    float* score = range_.data();
    for (std::size_t begin = 0; begin < slots; begin += range) {
        const std::size_t size = std::min(range, slots - begin);
        std::fill_n(score, size, 0.0f);
        const auto end = static_cast<DocSlot>(begin + size);
        for (TokenPostings& token : tokens) {
            const SlotSaturation* saturation =
                scorer.saturations(token.term, token.count, token.postings);
            std::size_t i = token.added;
            for (; i < token.count && saturation[i].slot < end; ++i) {
                float& s = score[saturation[i].slot - begin];
                s = s + saturation[i].saturation * token.idf;
            }
            token.added = i;
        }
        for_each_reaching(score, size, below(top.threshold()), [&](DocSlot j) {
            const auto slot = static_cast<DocSlot>(begin + j);
            if (top.would_enter(slot, score[j])) top.offer({slot, score[j]});
            return below(top.threshold());
        });
    }
}

}  // namespace revuradova
