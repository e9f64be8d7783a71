#include "monitoring/otel_tracing.hpp"

namespace revuradova {

void Span::add_event(std::string event_name) {
    events.push_back(SpanEvent{std::move(event_name), {}, std::nullopt, UtcTimestamp::now()});
}

void Span::end() {
    end_time = UtcTimestamp::now();
    status = SpanStatus::Ok;
}

SpanBuilder SpanBuilder::create(std::string trace_id, std::string span_id, std::string name) {
    SpanBuilder builder;
    builder.span_.trace_id = std::move(trace_id);
    builder.span_.span_id = std::move(span_id);
    builder.span_.name = std::move(name);
    builder.span_.start_time = UtcTimestamp::now();
    return builder;
}

SpanBuilder SpanBuilder::with_attribute(std::string key, std::string value) && {
    span_.attributes.insert_or_assign(std::move(key), std::move(value));
    return std::move(*this);
}

Span SpanBuilder::build() && { return std::move(span_); }

}  // namespace revuradova
