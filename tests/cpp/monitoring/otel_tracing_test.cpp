#include "monitoring/otel_tracing.hpp"

#include <gtest/gtest.h>

namespace revuradova {
namespace {

TEST(SpanBuilder, NewBuilderIsOpenAndEmpty) {
    const UtcTimestamp before = UtcTimestamp::now();
    SpanBuilder builder = SpanBuilder::create("trace_x", "retrieval_span", "orchestrated_search");
    const Span& fields = builder.fields();
    EXPECT_EQ(fields.trace_id, "trace_x");
    EXPECT_EQ(fields.span_id, "retrieval_span");
    EXPECT_EQ(fields.name, "orchestrated_search");
    EXPECT_TRUE(fields.events.empty());
    EXPECT_TRUE(fields.attributes.empty());
    EXPECT_FALSE(fields.parent_span_id);
    EXPECT_FALSE(fields.end_time);
    EXPECT_EQ(fields.status, SpanStatus::Unset);
    EXPECT_LE(before, fields.start_time);

    const UtcTimestamp start = fields.start_time;
    const Span span = std::move(builder).with_attribute("query", "q").build();
    EXPECT_EQ(span.start_time, start);
    EXPECT_EQ(span.attributes.at("query"), "q");
}

TEST(SpanBuilder, LaterAttributeReplacesEarlier) {
    const Span span = SpanBuilder::create("t", "s", "n")
                          .with_attribute("documents", "1")
                          .with_attribute("query", "a")
                          .with_attribute("documents", "2")
                          .build();
    EXPECT_EQ(span.attributes.size(), 2u);
    EXPECT_EQ(span.attributes.at("documents"), "2");
}

TEST(Span, EventsKeepOrderAndTimestamps) {
    Span span = SpanBuilder::create("t", "s", "n").build();
    for (int i = 0; i < 5; ++i) span.add_event("event " + std::to_string(i));
    ASSERT_EQ(span.events.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(span.events[i].name, "event " + std::to_string(i));
        EXPECT_TRUE(span.events[i].attributes.empty());
        EXPECT_FALSE(span.events[i].message);
        EXPECT_LE(span.start_time, span.events[i].timestamp);
        if (i > 0) {
            EXPECT_LE(span.events[i - 1].timestamp, span.events[i].timestamp);
        }
    }
}

TEST(Span, EndSetsTimeAndStatus) {
    Span span = SpanBuilder::create("t", "s", "n").build();
    span.end();
    ASSERT_TRUE(span.end_time);
    EXPECT_LE(span.start_time, *span.end_time);
    EXPECT_EQ(span.status, SpanStatus::Ok);
    span.add_event("after end");  // allowed
    EXPECT_EQ(span.events.size(), 1u);
}

}  // namespace
}  // namespace revuradova
