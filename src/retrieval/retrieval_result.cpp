#include "retrieval/retrieval_result.hpp"

#include <charconv>

namespace revuradova {

void RetrievalResult::add_stage(StageResult stage) {
    // Every stage's time counts, the first one included.
    total_time_ms += stage.duration_ms;
    final_ids = stage.document_ids;
    stages.push_back(std::move(stage));
}

std::string RetrievalResult::summary() const {
    const std::uint64_t initial =
        stages.empty() ? 0 : stages.front().output_count + stages.front().filtered_count;
    const std::uint64_t final_count = final_ids.size();
    const float retained = stages.empty() ? 0.0f : percent(final_count, initial);
    std::string line = "Query: '";
    line += query;
    line += "' | Filtered: ";
    line += counts_arrow(initial, final_count);
    line += " (";
    line += format_fixed(retained, 1);
    line += "%) | Time: ";
    line += std::to_string(total_time_ms);
    line += "ms | Cost: $";
    line += format_fixed(estimated_cost, 6);
    return line;
}

StageTimer::StageTimer() : start_(std::chrono::steady_clock::now()) {}

std::uint32_t StageTimer::elapsed_ms() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns) / 1'000'000u);
}

float percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 0.0f;
    return (static_cast<float>(part) / static_cast<float>(whole)) * 100.0f;
}

StageResult finish_stage(std::string_view stage_name, TextList kept, std::uint64_t output,
                         std::uint64_t input, const StageTimer& timer) {
    StageResult result;
    result.stage_name = stage_name;
    result.output_count = output;
    result.retained_percent = percent(result.output_count, input);
    result.filtered_count = input > result.output_count ? input - result.output_count : 0;
    result.document_ids = std::move(kept);
    result.duration_ms = timer.elapsed_ms();
    return result;
}

std::string stage_event(std::string_view label, const StageResult& stage) {
    std::string event(label);
    event += ": ";
    event += counts_arrow(stage.output_count + stage.filtered_count, stage.output_count);
    event += " docs (";
    event += format_fixed(stage.retained_percent, 1);
    event += "%)";
    return event;
}

std::string counts_arrow(std::uint64_t before, std::uint64_t after) {
    return std::to_string(before) + " \u2192 " + std::to_string(after);
}

std::string format_fixed(float value, int decimals) {
    // to_chars with a precision formats the exact binary value and rounds ties to even, as
    // printf does in the C locale, whatever locale the process has set. A float's exact
    // value has at most 39 integer digits and 149 fraction digits.
    char buffer[48 + 160];
    const int digits = decimals < 0 ? 0 : (decimals > 150 ? 150 : decimals);
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                      std::chars_format::fixed, digits);
    if (error != std::errc()) return {};
    return std::string(buffer, end);
}

}  // namespace revuradova
