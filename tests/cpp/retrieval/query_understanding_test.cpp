#include "retrieval/query_understanding.hpp"

#include <gtest/gtest.h>

namespace revuradova {
namespace {

QueryIntent intent_of(std::string_view query) { return understand_query(query).intent; }

TEST(UnderstandQuery, KeywordOrderAndSubstrings) {
    EXPECT_EQ(intent_of(""), QueryIntent::Unknown);
    EXPECT_EQ(intent_of("what is the process?"), QueryIntent::ProcedureGuidance);
    EXPECT_EQ(intent_of("what is the difference between a and b"), QueryIntent::Comparison);
    EXPECT_EQ(intent_of("what is churn?"), QueryIntent::Definition);
    EXPECT_EQ(intent_of("where are the invoices?"), QueryIntent::FactualLookup);
    EXPECT_EQ(intent_of("where are the invoices"), QueryIntent::Unknown);
    EXPECT_EQ(intent_of("HOW CAN I reset"), QueryIntent::ProcedureGuidance);
    EXPECT_EQ(intent_of("compliance rules for vendors"), QueryIntent::Unknown);
    EXPECT_EQ(intent_of("is this compliant"), QueryIntent::ComplianceCheck);
    EXPECT_EQ(intent_of("sales trends"), QueryIntent::TrendAnalysis);
    EXPECT_EQ(intent_of("undefined behaviour"), QueryIntent::Definition);
    EXPECT_EQ(intent_of("data processing"), QueryIntent::ProcedureGuidance);
    EXPECT_EQ(intent_of("meaningful work"), QueryIntent::Definition);
    EXPECT_EQ(intent_of("how  do I"), QueryIntent::Unknown);
    EXPECT_EQ(intent_of("how\tdo I"), QueryIntent::Unknown);
    EXPECT_EQ(intent_of("Compare plans"), QueryIntent::Comparison);
    EXPECT_EQ(intent_of("DECLINING revenue"), QueryIntent::TrendAnalysis);
}

TEST(UnderstandQuery, UnicodeLowercasing) {
    // "İ" lower-cases to two code points, so the lowered text is longer than the query; the
    // keyword after it must still be found.
    EXPECT_EQ(intent_of("İİİ POLICY"), QueryIntent::ComplianceCheck);
    EXPECT_EQ(intent_of("ΣΑΣ HOW DO"), QueryIntent::ProcedureGuidance);
    // Only full Unicode lower-casing turns the Kelvin sign into "k".
    EXPECT_EQ(intent_of("\u212A\u212Aeps trending"), QueryIntent::TrendAnalysis);
    EXPECT_EQ(intent_of("\u212Anow"), QueryIntent::Unknown);
}

TEST(UnderstandQuery, OnlyQueryAndIntentAreFilled) {
    const QueryContext context = understand_query("HOW CAN I Apply?");
    EXPECT_EQ(context.query, "HOW CAN I Apply?");
    EXPECT_EQ(context.intent, QueryIntent::ProcedureGuidance);
    EXPECT_TRUE(context.entities.empty());
    EXPECT_TRUE(context.domains.empty());
    EXPECT_TRUE(context.knowledge_types.empty());
    EXPECT_TRUE(context.metadata.empty());
    EXPECT_FALSE(context.time_range);
}

TEST(UnderstandQuery, IntentNames) {
    EXPECT_EQ(intent_name(QueryIntent::FactualLookup), "FactualLookup");
    EXPECT_EQ(intent_name(QueryIntent::ProcedureGuidance), "ProcedureGuidance");
    EXPECT_EQ(intent_name(QueryIntent::ComplianceCheck), "ComplianceCheck");
    EXPECT_EQ(intent_name(QueryIntent::Comparison), "Comparison");
    EXPECT_EQ(intent_name(QueryIntent::TrendAnalysis), "TrendAnalysis");
    EXPECT_EQ(intent_name(QueryIntent::Definition), "Definition");
    EXPECT_EQ(intent_name(QueryIntent::Unknown), "Unknown");
}

}  // namespace
}  // namespace revuradova
