#pragma once

// The records of a search: what each filter stage kept and how long it took, and the
// search's result with its one-line summary. Also the number formats those texts use.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/text_list.hpp"

namespace revuradova {

/// What one stage kept and how long it took.
struct StageResult {
    std::string stage_name;
    TextList document_ids;
    std::uint64_t output_count = 0;
    std::uint64_t filtered_count = 0;
    float retained_percent = 0.0f;
    std::uint32_t duration_ms = 0;
};

/// The record of one search.
struct RetrievalResult {
    std::string query;
    std::vector<StageResult> stages;
    TextList final_ids;
    std::uint32_t total_time_ms = 0;
    float estimated_cost = 0.0f;

    /// Counts the stage's duration, makes its identifiers the final ones and keeps it.
    void add_stage(StageResult stage);

    /// "Query: '{}' | Filtered: {} → {} ({:.1}%) | Time: {}ms | Cost: ${:.6}"
    std::string summary() const;
};

/// Measures one stage on the monotonic clock.
class StageTimer {
public:
    StageTimer();
    /// Whole milliseconds elapsed, truncated, modulo 2^32.
    std::uint32_t elapsed_ms() const;

private:
    std::chrono::steady_clock::time_point start_;
};

/// part / whole × 100 in 32-bit floats; 0.0 when the whole is 0.
float percent(std::uint64_t part, std::uint64_t whole);

/// The record of a stage that kept `output` of `input` entries, timed up to now; `kept`
/// names them, or is empty when the caller does not record them.
StageResult finish_stage(std::string_view stage_name, TextList kept, std::uint64_t output,
                         std::uint64_t input, const StageTimer& timer);
/// The same for a stage whose identifiers are all recorded.
inline StageResult finish_stage(std::string_view stage_name, TextList kept, std::uint64_t input,
                                const StageTimer& timer) {
    const std::uint64_t output = kept.size();
    return finish_stage(stage_name, std::move(kept), output, input, timer);
}

/// "<label>: <input> → <output> docs (<percent>%)", a stage's own progress line.
std::string stage_event(std::string_view label, const StageResult& stage);

/// "<before> → <after>" in plain decimals (the arrow is U+2192), as progress texts show counts.
std::string counts_arrow(std::uint64_t before, std::uint64_t after);

/// Formats a float with `decimals` digits after the point from its exact value, ties to
/// even ("6.2" for 6.25), with a '.' whatever the process's locale.
std::string format_fixed(float value, int decimals);

}  // namespace revuradova
