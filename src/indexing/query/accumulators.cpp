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

}  // namespace

void Accumulators::start(std::size_t slots, std::size_t postings) {
    if (scores_.size() < slots) {  // both arrays allocated before either is replaced
        std::vector<float> scores(slots);
        std::vector<std::uint32_t> stamps(slots, 0);
        std::copy(stamps_.begin(), stamps_.end(), stamps.begin());
        scores_.swap(scores);
        stamps_.swap(stamps);
    }
    slots_ = slots;
    dense_ = postings >= slots / 4;
    if (dense_) {
        std::fill_n(scores_.data(), slots, 0.0f);
        return;
    }
    touched_.clear();
    touched_.reserve(std::min(postings, slots));
    if (++epoch_ == 0) {  // wrapped: forget every old stamp
        std::fill(stamps_.begin(), stamps_.end(), 0);
        epoch_ = 1;
    }
}

void Accumulators::add(const Posting* postings, std::size_t count, const float* saturation,
                       float idf) {
    float* score = scores_.data();
    if (dense_) {
        for (std::size_t i = 0; i < count; ++i) {
            const DocSlot slot = postings[i].slot;
            score[slot] = score[slot] + saturation[i] * idf;
        }
        return;
    }
    std::uint32_t* stamp = stamps_.data();
    const std::uint32_t epoch = epoch_;
    for (std::size_t i = 0; i < count; ++i) {
        const DocSlot slot = postings[i].slot;
        if (stamp[slot] != epoch) {
            stamp[slot] = epoch;
            score[slot] = 0.0f;
            touched_.push_back(slot);  // within the capacity reserved by start()
        }
        score[slot] = score[slot] + saturation[i] * idf;
    }
}

void Accumulators::harvest(TopK& top) const {
    const float* score = scores_.data();
    // Most slots fall below the threshold: one float comparison with a local copy (rounded
    // down, so it never passes over a slot that reaches the exact one) rejects them here,
    // and the rest take the exact test.
    float bar = below(top.threshold());
    const auto consider = [&](DocSlot slot) {
        if (!top.would_enter(slot, score[slot])) return;
        top.offer({slot, score[slot]});
        bar = below(top.threshold());
    };
    if (!dense_) {
        for (const DocSlot slot : touched_) {
            if (score[slot] >= bar) consider(slot);
        }
        return;
    }
    // A block of slots that holds nothing reaching the threshold is passed over after one
    // comparison each, written so that the compiler does them side by side.
    std::size_t slot = 0;
    for (; slot + kScanBlock <= slots_; slot += kScanBlock) {
        if (!any_reaches(score + slot, bar)) continue;
        for (std::size_t j = slot; j < slot + kScanBlock; ++j) {
            if (score[j] >= bar) consider(static_cast<DocSlot>(j));
        }
    }
    for (; slot < slots_; ++slot) {
        if (score[slot] >= bar) consider(static_cast<DocSlot>(slot));
    }
}

}  // namespace revuradova
