// Analysis, segments, merging and search over the two-document example
//   1: "The cat sat on the mat"   2: "the dog"
// whose BM25 values are worked out by hand below (k1 = 1.5, b = 0.75, avgdl = 7 / 2).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "indexing/bm25_scorer.hpp"
#include "postings/analyzer.hpp"
#include "postings/merge.hpp"
#include "postings/search.hpp"
#include "postings/segment_builder.hpp"

namespace revuradova::postings {
namespace {

using Span = std::pair<std::size_t, std::size_t>;

std::map<std::string, std::string> blobs_of(const Segment& segment) {
    std::map<std::string, std::string> blobs;
    for (const TermPostings& term : segment.terms) blobs[term.term] = term.blob;
    return blobs;
}

Segment example() {
    Analyzer analyzer(3, Stemmer::none);
    const std::vector<DocId> ids{1, 2, 5};
    const std::vector<std::string_view> texts{"The cat sat on the mat", "the dog", "a b"};
    return build_segment(ids, texts, analyzer);
}

std::vector<Hit> run(const std::vector<std::vector<std::string_view>>& postings,
                     const std::vector<std::uint64_t>& dfs, std::uint64_t doc_count,
                     std::uint64_t total_length, const DeletedIds& deleted, std::size_t limit) {
    std::vector<QueryTerm> terms;
    for (std::size_t i = 0; i < postings.size(); ++i) terms.push_back({postings[i], dfs[i]});
    return search_postings(terms, doc_count, total_length, deleted, limit);
}

TEST(Analyzer, TermsAndSpans) {
    Analyzer three(3, Stemmer::none);
    EXPECT_EQ(three.terms("Ünïcode, ÉTÉ x1 ab 42x"),
              (std::vector<std::string>{"ünïcode", "été", "42x"}));
    Analyzer one(1, Stemmer::none);
    EXPECT_EQ(one.terms("a-b  C"), (std::vector<std::string>{"a", "b", "c"}));
    // Code-point offsets, past multi-byte characters.
    const TermSet wanted{"été", "cat"};
    EXPECT_EQ(three.spans("Ünï ÉTÉ, cat-été CAT", wanted),
              (std::vector<Span>{{4, 7}, {9, 12}, {13, 16}, {17, 20}}));
    // U+0130 lowers to "i" and a combining dot, which is not alphanumeric: the token "xi"
    // ends with the whole character, and "y" starts after it.
    EXPECT_EQ(one.terms("x\u0130y"), (std::vector<std::string>{"xi", "y"}));
    EXPECT_EQ(one.spans("x\u0130y", TermSet{"xi", "y"}), (std::vector<Span>{{0, 2}, {2, 3}}));
    EXPECT_THROW(Analyzer(0, Stemmer::none), InvalidInput);
    EXPECT_THROW(stemmer_named("porter"), InvalidInput);
}

TEST(SegmentBuilder, TwoDocumentGolden) {
    const Segment segment = example();
    EXPECT_EQ(segment.lengths, (std::vector<std::uint32_t>{5, 2, 0}));
    std::vector<std::string> terms;
    for (const TermPostings& term : segment.terms) terms.push_back(term.term);
    EXPECT_EQ(terms, (std::vector<std::string>{"cat", "dog", "mat", "sat", "the"}));
    EXPECT_EQ(segment.terms.back().doc_freq, 2u);
    EXPECT_EQ(decode_postings(segment.terms.back().blob),
              (std::vector<Posting>{{1, 2, 5}, {2, 1, 2}}));
    Analyzer analyzer(3, Stemmer::none);
    const std::vector<DocId> unordered{2, 1};
    const std::vector<std::string_view> two{"x", "y"};
    EXPECT_THROW(build_segment(unordered, two, analyzer), InvalidInput);
    const std::vector<DocId> one{1};
    EXPECT_THROW(build_segment(one, two, analyzer), InvalidInput);
}

TEST(Merge, DropsDeletedAndRefusesOverlap) {
    Analyzer analyzer(3, Stemmer::none);
    const std::vector<DocId> first_ids{1, 4};
    const std::vector<DocId> second_ids{2, 9};
    const std::vector<std::string_view> texts{"red fox", "red"};
    const auto first = blobs_of(build_segment(first_ids, texts, analyzer));
    const auto second = blobs_of(build_segment(second_ids, texts, analyzer));
    const std::vector<std::string_view> both{second.at("red"), first.at("red")};
    const MergedPostings merged = merge_postings(both, DeletedIds::from_ids({2, 3}));
    EXPECT_EQ(merged.doc_freq, 3u);
    EXPECT_EQ(decode_postings(merged.blob),
              (std::vector<Posting>{{1, 1, 2}, {4, 1, 1}, {9, 1, 1}}));
    EXPECT_EQ(merge_postings(both, DeletedIds::from_ids({1, 2, 4, 9})).blob, "");
    const std::vector<std::string_view> twice{first.at("red"), second.at("red"), first.at("fox")};
    EXPECT_THROW(merge_postings(twice, DeletedIds()), CorruptPostings);
}

TEST(Search, TwoDocumentGolden) {
    const auto blobs = blobs_of(example());
    // "cat": idf = ln(1.5 / 1.5 + 1) = 0.693147; document 1: K = (5 / 3.5 * 0.75 + 0.25) * 1.5
    // = 1.982143, weight = 2.5 / (1.982143 + 1) * 0.693147 = 0.581081.
    auto hits = run({{blobs.at("cat")}}, {1}, 2, 7, DeletedIds(), 10);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 1u);
    EXPECT_NEAR(hits[0].score, 0.581081, 1e-6);
    // "the cat": "the" has idf ln(0.5 / 2.5 + 1) = 0.182322; document 1 (tf 2):
    // 5 / (1.982143 + 2) * 0.182322 = 0.228924, plus 0.581081 = 0.810005; document 2
    // (K = (2 / 3.5 * 0.75 + 0.25) * 1.5 = 1.017857): 2.5 / 2.017857 * 0.182322 = 0.225885.
    hits = run({{blobs.at("the")}, {blobs.at("cat")}}, {2, 1}, 2, 7, DeletedIds(), 10);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].id, 1u);
    EXPECT_NEAR(hits[0].score, 0.810005, 1e-6);
    EXPECT_EQ(hits[1].id, 2u);
    EXPECT_NEAR(hits[1].score, 0.225885, 1e-6);
    // Deleted, limited, empty.
    hits = run({{blobs.at("the")}}, {1}, 1, 2, DeletedIds::from_ids({1}), 10);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 2u);
    EXPECT_EQ(run({{blobs.at("the")}}, {2}, 2, 7, DeletedIds(), 1).size(), 1u);
    EXPECT_TRUE(run({{blobs.at("the")}}, {2}, 0, 0, DeletedIds(), 10).empty());
    EXPECT_TRUE(run({{}}, {0}, 2, 7, DeletedIds(), 10).empty());
    EXPECT_THROW(run({{blobs.at("the")}}, {3}, 2, 7, DeletedIds(), 10), InvalidInput);
    EXPECT_THROW(run({{blobs.at("the"), blobs.at("the")}}, {2}, 2, 7, DeletedIds(), 10),
                 CorruptPostings);
}

// Every document scored by the formula, in term order, then fully sorted.
std::vector<Hit> brute_force(const std::vector<std::vector<Posting>>& lists,
                             const std::vector<std::uint64_t>& dfs, std::uint64_t doc_count,
                             std::uint64_t total_length, std::size_t limit) {
    const float avgdl = static_cast<float>(total_length) / static_cast<float>(doc_count);
    std::map<DocId, float> scores;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        const float idf = BM25Scorer::inverse_document_frequency(doc_count, dfs[i]);
        for (const Posting& p : lists[i]) {
            const float k = BM25Scorer::length_normalisation(static_cast<float>(p.length), avgdl);
            scores[p.id] += BM25Scorer::term_weight(p.tf, k, idf);
        }
    }
    std::vector<Hit> hits;
    for (const auto& [id, score] : scores) hits.push_back({id, score});
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        return a.score != b.score ? a.score > b.score : a.id < b.id;
    });
    if (hits.size() > limit) hits.resize(limit);
    return hits;
}

TEST(Search, EqualsBruteForceHoweverSplit) {
    std::mt19937_64 random(3);
    for (int round = 0; round < 300; ++round) {
        const std::size_t term_count = 1 + random() % 4;
        const std::uint64_t doc_count = 1 + random() % 300;
        std::vector<std::vector<Posting>> lists(term_count);
        std::vector<std::uint64_t> dfs;
        std::uint64_t total_length = 0;
        std::vector<std::uint32_t> lengths(doc_count);
        for (auto& length : lengths) {
            length = static_cast<std::uint32_t>(5 + random() % 40);
            total_length += length;
        }
        for (auto& list : lists) {
            const std::uint64_t chance = 1 + random() % 100;
            for (DocId id = 0; id < doc_count; ++id) {
                if (random() % 100 < chance) {
                    const auto tf = static_cast<std::uint32_t>(1 + random() % 4);
                    list.push_back({id, tf, std::max(tf, lengths[id])});
                }
            }
            dfs.push_back(list.size());
        }
        const std::size_t limit = 1 + random() % 12;
        const auto expected = brute_force(lists, dfs, doc_count, total_length, limit);
        // Each term cut into random segments, handed over in random order.
        std::vector<std::vector<std::string>> segment_blobs(term_count);
        std::vector<std::vector<std::string_view>> views(term_count);
        for (std::size_t t = 0; t < term_count; ++t) {
            std::vector<std::vector<Posting>> pieces(1 + random() % 4);
            for (const Posting& p : lists[t]) pieces[random() % pieces.size()].push_back(p);
            for (const auto& piece : pieces) segment_blobs[t].push_back(encode_postings(piece));
            std::shuffle(segment_blobs[t].begin(), segment_blobs[t].end(), random);
            for (const auto& blob : segment_blobs[t]) views[t].push_back(blob);
        }
        const auto hits = run(views, dfs, doc_count, total_length, DeletedIds(), limit);
        ASSERT_EQ(hits.size(), expected.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].id, expected[i].id);
            EXPECT_EQ(hits[i].score, expected[i].score);  // bit for bit
        }
    }
}

}  // namespace
}  // namespace revuradova::postings

namespace revuradova::postings {
namespace {

// Lists long enough for many blocks, with bursts of high tfs (where block bounds differ), runs
// of equal weights (ties by id), deletions, and segments that cover separate id ranges (the
// blocks read in place) or overlap (merged first).
TEST(Search, BlockSkippingEqualsBruteForce) {
    std::mt19937_64 random(13);
    for (int round = 0; round < 120; ++round) {
        const std::size_t term_count = 1 + random() % 4;
        const std::uint64_t doc_count = 500 + random() % 4000;
        const bool equal_lengths = random() % 4 == 0;
        std::vector<std::uint32_t> lengths(doc_count);
        std::uint64_t total_length = 0;
        for (auto& length : lengths) {
            length = equal_lengths ? 20 : static_cast<std::uint32_t>(5 + random() % 60);
            total_length += length;
        }
        std::vector<std::int64_t> dead;
        if (random() % 2 == 0) {
            for (DocId id = 0; id < doc_count; ++id) {
                if (random() % 10 == 0) dead.push_back(static_cast<std::int64_t>(id));
            }
        }
        const DeletedIds deleted = DeletedIds::from_ids(dead);
        std::vector<std::vector<Posting>> lists(term_count);
        std::vector<std::vector<Posting>> live(term_count);
        std::vector<std::uint64_t> dfs;
        for (std::size_t t = 0; t < term_count; ++t) {
            const std::uint64_t chance = 1 + random() % 100;
            const bool flat = random() % 3 == 0;  // every tf 1: equal weights at equal lengths
            for (DocId id = 0; id < doc_count; ++id) {
                if (random() % 100 >= chance) continue;
                const bool burst = !flat && (id / 300) % 7 == t;
                const auto tf = static_cast<std::uint32_t>(
                    flat ? 1 : (burst ? 3 + random() % 20 : 1 + random() % 3));
                lists[t].push_back({id, tf, std::max(tf, lengths[id])});
                if (!std::binary_search(dead.begin(), dead.end(), static_cast<std::int64_t>(id))) {
                    live[t].push_back(lists[t].back());
                }
            }
            dfs.push_back(live[t].size());
        }
        const std::uint64_t live_count = doc_count - dead.size();
        const std::size_t limit = 1 + random() % (random() % 2 == 0 ? 10 : 200);
        const auto expected = brute_force(live, dfs, live_count, total_length, limit);
        std::vector<std::vector<std::string>> segment_blobs(term_count);
        std::vector<std::vector<std::string_view>> views(term_count);
        const bool separate = random() % 4 != 0;
        for (std::size_t t = 0; t < term_count; ++t) {
            std::vector<std::vector<Posting>> pieces(1 + random() % 5);
            for (const Posting& p : lists[t]) {
                const std::size_t piece =
                    separate ? p.id * pieces.size() / doc_count : random() % pieces.size();
                pieces[piece].push_back(p);
            }
            for (const auto& piece : pieces) segment_blobs[t].push_back(encode_postings(piece));
            std::shuffle(segment_blobs[t].begin(), segment_blobs[t].end(), random);
            for (const auto& blob : segment_blobs[t]) views[t].push_back(blob);
        }
        const auto hits = run(views, dfs, live_count, total_length, deleted, limit);
        ASSERT_EQ(hits.size(), expected.size()) << round;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].id, expected[i].id) << round << ":" << i;
            EXPECT_EQ(hits[i].score, expected[i].score) << round << ":" << i;  // bit for bit
        }
    }
}

// The best documents in the first block, weaker ones after: the later blocks cannot enter the
// top 5, so they are never decoded, and damage to them changes nothing; damage to the header
// or to the first block is always found.
TEST(Search, SkippedBlocksAreNeitherCheckedNorDecoded) {
    std::vector<Posting> postings;
    for (DocId id = 0; id < 20 * kBlockSize; ++id) {
        postings.push_back(id < kBlockSize ? Posting{id, 10, 10} : Posting{id, 1, 100});
    }
    const std::string blob = encode_postings(postings);
    const std::uint64_t doc_count = 40 * kBlockSize;
    const std::uint64_t total_length = doc_count * 50;
    const auto blocks = read_header(blob);
    const auto offset = [&](std::size_t b) {
        return static_cast<std::size_t>(blocks[b].begin -
                                        reinterpret_cast<const unsigned char*>(blob.data()));
    };
    const std::vector<std::string_view> intact{blob};
    const auto expected =
        run({intact}, {postings.size()}, doc_count, total_length, DeletedIds(), 5);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(expected.back().id, 4u);
    for (std::size_t at = 0; at < blob.size(); ++at) {
        std::string damaged = blob;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        const std::vector<std::string_view> view{damaged};
        if (at < offset(1)) {
            EXPECT_THROW(run({view}, {postings.size()}, doc_count, total_length, DeletedIds(), 5),
                         CorruptPostings)
                << at;
            continue;
        }
        const auto hits = run({view}, {postings.size()}, doc_count, total_length, DeletedIds(), 5);
        ASSERT_EQ(hits.size(), expected.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].id, expected[i].id);
            EXPECT_EQ(hits[i].score, expected[i].score);
        }
    }
    // A query that needs every block reads the damage wherever it is.
    std::string damaged = blob;
    damaged[offset(19) + 5] = static_cast<char>(damaged[offset(19) + 5] ^ 0x10);
    const std::vector<std::string_view> view{damaged};
    EXPECT_THROW(run({view}, {postings.size()}, doc_count, total_length, DeletedIds(), 1000),
                 CorruptPostings);
}

}  // namespace
}  // namespace revuradova::postings
