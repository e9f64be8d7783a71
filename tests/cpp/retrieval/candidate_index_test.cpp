#include "retrieval/candidate_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

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

// Grouped by object, a candidate's first position is the first one with its address:
// without repeats (every object its own group), with repeats near and far, and with
// addresses too spread out for the bits (a heap object next to a stack one).
TEST(CandidateIndex, GroupsByObjectAtTheFirstOccurrence) {
    std::vector<KnowledgeObject> objects(50);
    std::mt19937 rng(13);
    for (int round = 0; round < 300; ++round) {
        std::vector<const KnowledgeObject*> candidates;
        const std::size_t count = rng() % 60;
        const bool repeats = round % 2 == 0;
        for (std::size_t i = 0; i < count; ++i) {
            candidates.push_back(&objects[repeats ? rng() % objects.size() : i % objects.size()]);
        }
        const KnowledgeObject far_away;
        if (round % 5 == 0) candidates.push_back(&far_away);
        const CandidateIndex index(candidates, CandidateIndex::Grouping::ByObject);
        std::map<const KnowledgeObject*, std::uint32_t> first;
        for (std::uint32_t p = 0; p < candidates.size(); ++p) {
            first.emplace(candidates[p], p);
            ASSERT_EQ(index.first_of(p), first.at(candidates[p])) << round << " " << p;
        }
    }
}

TEST(CandidateIndex, EmptyCandidates) {
    const CandidateIndex index(Candidates{});
    EXPECT_EQ(index.first_with("x"), CandidateIndex::kNone);
    EXPECT_TRUE(index.resolve(TextList{"x"}) == (Positions{CandidateIndex::kNone}));
}

}  // namespace
}  // namespace revuradova
