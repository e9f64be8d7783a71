#include "retrieval/candidate_index.hpp"

#include <gtest/gtest.h>

#include "test_objects.hpp"

namespace revuradova {
namespace {

using testing::make_object;

TEST(CandidateIndex, GroupsByIdentifierAtTheFirstCandidate) {
    const std::vector<KnowledgeObject> objects = {
        make_object("x", KnowledgeType::Data, "", "first x"),
        make_object("y", KnowledgeType::Data, "", "y"),
        make_object("x", KnowledgeType::Policy, "", "second x"),
    };
    const auto candidates = testing::pointers(objects);
    const CandidateIndex index(candidates);
    EXPECT_EQ(index.first_of(0), 0u);
    EXPECT_EQ(index.first_of(1), 1u);
    EXPECT_EQ(index.first_of(2), 0u);
    EXPECT_EQ(index.first_with("x"), 0u);
    EXPECT_EQ(index.first_with("z"), CandidateIndex::kNone);
    EXPECT_EQ(index.resolve(TextList{"y", "z", "x"}), (Positions{1, CandidateIndex::kNone, 0}));
    EXPECT_EQ(identifiers_at(candidates, {2, 1}), (TextList{"x", "y"}));
    EXPECT_EQ(gather(Positions{7, 8, 9}, {2, 0}), (Positions{9, 7}));
}

TEST(CandidateIndex, EmptyCandidates) {
    const CandidateIndex index(Candidates{});
    EXPECT_EQ(index.first_with("x"), CandidateIndex::kNone);
    EXPECT_TRUE(index.resolve(TextList{"x"}) == (Positions{CandidateIndex::kNone}));
}

}  // namespace
}  // namespace revuradova
