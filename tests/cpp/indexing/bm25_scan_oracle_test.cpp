// The inverted ranking against the per-document scan of the plain model, on random corpora.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "indexing/bm25_indexer.hpp"
#include "support/plain_models.hpp"
#include "test_objects.hpp"

namespace revuradova {
namespace {

KnowledgeObject with_id(std::string id, std::string content) {
    return testing::make_object(std::move(id), KnowledgeType::Reference, "domain",
                                std::move(content));
}

// Random corpora: the inverted ranking equals the per-document scan bit for bit, hit set
// and order included, with identifiers indexed again and limits that cut the list.
TEST(BM25, MatchesThePlainScanOnRandomCorpora) {
    std::mt19937 rng(7);
    const std::vector<std::string> vocabulary = {"alpha", "beta",  "gamma", "delta",  "epsilon",
                                                 "zeta",  "theta", "kappa", "lambda", "omega"};
    for (int round = 0; round < 20; ++round) {
        BM25Indexer index;
        plain::Bm25Model model;
        const int count = 1 + static_cast<int>(rng() % 60);
        for (int d = 0; d < count; ++d) {
            std::string content;
            const int length = static_cast<int>(rng() % 12);
            for (int t = 0; t < length; ++t) content += vocabulary[rng() % vocabulary.size()] + " ";
            const std::string id = "doc" + std::to_string(rng() % (count + 1));
            index.index_document(with_id(id, content));
            model.index(id, content);
        }
        ASSERT_EQ(index.doc_count(), model.doc_count());
        ASSERT_EQ(index.term_count(), model.doc_freqs().size());
        for (int q = 0; q < 10; ++q) {
            std::string text;
            const int length = 1 + static_cast<int>(rng() % 4);
            for (int t = 0; t < length; ++t) text += vocabulary[rng() % vocabulary.size()] + " ";
            const std::size_t limit = 1 + rng() % 70;
            const auto hits = index.search(text, limit);
            const auto expected = model.search(text, limit);
            ASSERT_EQ(hits.size(), expected.size());
            for (std::size_t i = 0; i < hits.size(); ++i) {
                EXPECT_EQ(hits[i].doc_id, expected[i].first);
                EXPECT_EQ(hits[i].score, expected[i].second);
            }
        }
    }
}

// Corpora large enough for many blocks per term, every ranking strategy and the pruning
// paths (rare and common terms, long queries, small limits), with identifiers indexed again
// so that blocks are rebuilt in the middle: equal to the plain scan bit for bit.
TEST(BM25, PrunedRankingMatchesThePlainScanOnLargerCorpora) {
    std::mt19937 rng(23);
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 400; ++i)
        vocabulary.push_back(std::string("w").append(std::to_string(i * 7919 % 1000)));
    // Zipf-like: word i drawn with weight 1 / (i + 1).
    std::vector<double> weights;
    for (std::size_t i = 0; i < vocabulary.size(); ++i) weights.push_back(1.0 / double(i + 1));
    std::discrete_distribution<std::size_t> zipf(weights.begin(), weights.end());
    for (int round = 0; round < 4; ++round) {
        BM25Indexer index;
        plain::Bm25Model model;
        const int count = 500 + static_cast<int>(rng() % 1500);
        for (int d = 0; d < count; ++d) {
            std::string content;
            const int length = static_cast<int>(rng() % 40);
            for (int t = 0; t < length; ++t) content += vocabulary[zipf(rng)] + " ";
            // One in eight indexes an earlier identifier again.
            const int id = rng() % 8 == 0 ? static_cast<int>(rng() % (d + 1)) : d;
            const std::string name = std::string("doc").append(std::to_string(id));
            index.index_document(with_id(name, content));
            model.index(name, content);
        }
        for (int q = 0; q < 60; ++q) {
            std::string text;
            const int length = 1 + static_cast<int>(rng() % 12);
            for (int t = 0; t < length; ++t) {
                text +=
                    (rng() % 2 ? vocabulary[zipf(rng)] : vocabulary[rng() % vocabulary.size()]) +
                    " ";
            }
            const std::size_t limit = 1 + rng() % 20;
            const auto hits = index.search(text, limit);
            const auto expected = model.search(text, limit);
            ASSERT_EQ(hits.size(), expected.size()) << text;
            for (std::size_t i = 0; i < hits.size(); ++i) {
                EXPECT_EQ(hits[i].doc_id, expected[i].first) << text;
                EXPECT_EQ(hits[i].score, expected[i].second) << text;
            }
        }
    }
}

}  // namespace
}  // namespace revuradova
