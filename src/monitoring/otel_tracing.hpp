#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models/knowledge_object.hpp"
#include "models/timestamp.hpp"

namespace revuradova {

enum class SpanStatus : std::uint8_t { Unset = 0, Ok = 1 };

/// One timestamped line recorded on a span.
struct SpanEvent {
    std::string name;
    TextMap attributes;
    std::optional<std::string> message;
    UtcTimestamp timestamp;
};

/// One unit of work inside a trace, kept in memory only. A plain value: copies are deep.
/// Invariant: `end_time` is present exactly when `status` is Ok.
struct Span {
    std::string trace_id;
    std::string span_id;
    std::optional<std::string> parent_span_id;
    std::string name;
    TextMap attributes;
    std::vector<SpanEvent> events;
    UtcTimestamp start_time;
    std::optional<UtcTimestamp> end_time;
    SpanStatus status = SpanStatus::Unset;

    /// Appends an event stamped with the current UTC time.
    void add_event(std::string event_name);
    /// Sets the end time to now and the status to Ok.
    void end();
};

/// Prepares a span: attributes are set on the builder, which then becomes the span with
/// every field unchanged (the start time is the builder's creation time).
class SpanBuilder {
public:
    static SpanBuilder create(std::string trace_id, std::string span_id, std::string name);

    /// Sets `key` to `value`, replacing an earlier value of the same key.
    SpanBuilder with_attribute(std::string key, std::string value) &&;
    Span build() &&;

    const Span& fields() const { return span_; }

private:
    Span span_;
};

}  // namespace revuradova
