// Each ranking algorithm, forced, against the per-document scan on the same corpora: the
// same hits in the same order with the same scores, bit for bit.

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "indexing/bm25_indexer.hpp"
#include "indexing/query/accumulators.hpp"
#include "support/plain_models.hpp"
#include "util/top_k.hpp"

namespace revuradova {
namespace {

struct Corpus {
    BM25Indexer index;
    plain::Bm25Model model;
    std::vector<std::string> vocabulary;
    std::discrete_distribution<std::size_t> zipf;
};

// Zipf-like words over `words` terms, documents of up to `longest` tokens, one in eight
// indexing an earlier identifier again (so postings and blocks are rebuilt in the middle).
void fill(Corpus& corpus, std::mt19937& rng, int documents, int words, int longest) {
    std::vector<double> weights;
    for (int i = 0; i < words; ++i) {
        corpus.vocabulary.push_back("w" + std::to_string(i * 7919 % words));
        weights.push_back(1.0 / double(i + 1));
    }
    corpus.zipf = std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
    for (int d = 0; d < documents; ++d) {
        std::string content;
        const int length = static_cast<int>(rng() % static_cast<unsigned>(longest));
        for (int t = 0; t < length; ++t) content += corpus.vocabulary[corpus.zipf(rng)] + " ";
        const int id = rng() % 8 == 0 ? static_cast<int>(rng() % (d + 1)) : d;
        KnowledgeObject object = KnowledgeObject::create(
            SourceType::Markdown, "loc", KnowledgeType::Reference, "domain", content);
        object.id = "doc" + std::to_string(id);
        corpus.model.index(object.id, content);
        corpus.index.index_document(object);
    }
}

std::string query_of(Corpus& corpus, std::mt19937& rng, int terms) {
    std::string text;
    for (int t = 0; t < terms; ++t) {
        const std::size_t w = rng() % 2 ? corpus.zipf(rng) : rng() % corpus.vocabulary.size();
        text += corpus.vocabulary[w] + " ";
    }
    return text;
}

void expect_as_the_scan(const Corpus& corpus, const std::string& query, std::size_t limit,
                        Algorithm algorithm) {
    const auto ranked = corpus.index.rank(query, limit, algorithm);
    const auto expected = corpus.model.search(query, limit);
    ASSERT_EQ(ranked.size(), expected.size()) << query;
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        EXPECT_EQ(corpus.index.doc_id(ranked[i].position), expected[i].first) << query;
        EXPECT_EQ(ranked[i].score, expected[i].second) << query;
    }
}

class EveryAlgorithm : public testing::TestWithParam<Algorithm> {};

// Small corpora (a few blocks per term) and larger ones (many, with rare terms beside
// common ones, so that the pruning algorithms stop accumulating and probe), short and long
// queries, limits from 1 to past the number of hits.
TEST_P(EveryAlgorithm, EqualsTheScan) {
    std::mt19937 rng(11);
    for (const auto& [documents, words, longest] :
         {std::tuple{60, 12, 12}, std::tuple{1500, 400, 40}, std::tuple{3000, 2000, 80}}) {
        Corpus corpus;
        fill(corpus, rng, documents, words, longest);
        for (int q = 0; q < 80; ++q) {
            const int terms =
                GetParam() == Algorithm::single_term ? 1 : 1 + static_cast<int>(rng() % 12);
            const std::size_t limit = 1 + rng() % 70;
            expect_as_the_scan(corpus, query_of(corpus, rng, terms), limit, GetParam());
        }
    }
}

TEST_P(EveryAlgorithm, RepeatedTermsAndNoMatch) {
    std::mt19937 rng(5);
    Corpus corpus;
    fill(corpus, rng, 800, 200, 30);
    const std::string word = corpus.vocabulary[0];
    expect_as_the_scan(corpus, word + " " + word + " " + word, 10, GetParam());
    EXPECT_TRUE(corpus.index.rank("nowhere absent", 10, GetParam()).empty());
    if (GetParam() != Algorithm::single_term) {
        const std::string other = corpus.vocabulary[150];
        expect_as_the_scan(corpus, word + " " + other + " " + word, 5, GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Ranking, EveryAlgorithm,
                         testing::Values(Algorithm::automatic, Algorithm::single_term,
                                         Algorithm::term_at_a_time,
                                         Algorithm::pruned_term_at_a_time,
                                         Algorithm::block_max_maxscore),
                         [](const testing::TestParamInfo<Algorithm>& info) {
                             switch (info.param) {
                                 case Algorithm::automatic: return "automatic";
                                 case Algorithm::single_term: return "single_term";
                                 case Algorithm::term_at_a_time: return "term_at_a_time";
                                 case Algorithm::pruned_term_at_a_time:
                                     return "pruned_term_at_a_time";
                                 case Algorithm::block_max_maxscore: return "block_max_maxscore";
                             }
                             return "unknown";
                         });

TEST(Algorithm, SingleTermRefusesSeveralTerms) {
    BM25Indexer index;
    index.index_document(KnowledgeObject::create(SourceType::Markdown, "loc",
                                                 KnowledgeType::Reference, "d", "alpha beta"));
    EXPECT_THROW(index.rank("alpha beta", 3, Algorithm::single_term), std::invalid_argument);
    EXPECT_EQ(index.rank("alpha alpha", 3, Algorithm::single_term).size(), 1u);
}

// Term at a time range by range (as on many documents) offers what one pass over every slot
// does, whatever the range: same slots, same scores, bit for bit.
TEST(Accumulators, RangesGiveWhatOnePassGives) {
    std::mt19937 rng(3);
    InvertedIndex index;
    for (int d = 0; d < 700; ++d) {
        std::string content;
        for (int t = 0; t < 1 + static_cast<int>(rng() % 30); ++t) {
            content.append("t").append(std::to_string(rng() % 40 * (rng() % 3))).append(" ");
        }
        KnowledgeObject object = KnowledgeObject::create(SourceType::Markdown, "loc",
                                                         KnowledgeType::Reference, "d", content);
        object.id = "doc" + std::to_string(rng() % 800);  // some indexed again
        index.index_document(object);
    }
    QueryScorer scorer;
    scorer.prepare(index);
    for (int q = 0; q < 40; ++q) {
        std::vector<std::string> tokens;
        for (int t = 0; t < 1 + q % 6; ++t)
            tokens.push_back(std::string("t").append(std::to_string(rng() % 45)));
        tokens.push_back(tokens.front());  // a repeated token adds twice
        const std::vector<QueryTerm> query = resolve_query(index, tokens);
        std::size_t postings = 0;
        std::vector<Accumulators::TokenPostings> lists;
        for (const QueryTerm& term : query) {
            if (term.postings == nullptr) continue;
            postings += term.postings->size();
            lists.push_back({term.id, term.postings->data(), term.postings->size(), 0, term.idf});
        }
        const std::size_t limit = 1 + q % 25;
        Accumulators whole;
        TopK expected(limit);
        expected.set_threshold(std::numeric_limits<float>::denorm_min());
        whole.start(index.doc_count(), postings, 1000000);  // dense
        for (const QueryTerm& term : query) {
            if (term.postings == nullptr) continue;
            const std::size_t count = term.postings->size();
            whole.add(scorer.saturations(term.id, count, term.postings->data()), count, term.idf);
        }
        whole.harvest(expected);
        Accumulators ranges;
        TopK got(limit);
        got.set_threshold(std::numeric_limits<float>::denorm_min());
        ranges.add_and_harvest_in_ranges(lists, index.doc_count(), scorer, got, 1 + q % 97);
        const auto want = expected.take_sorted();
        const auto have = got.take_sorted();
        ASSERT_EQ(have.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(have[i].position, want[i].position);
            EXPECT_EQ(have[i].score, want[i].score);
        }
    }
}

// The threshold a candidate must reach: the floor, then the worst kept entry, with a tie
// going to the earlier position.
TEST(TopK, ThresholdAndWouldEnter) {
    TopK top(2);
    top.set_threshold(1.0);
    EXPECT_FALSE(top.would_enter(0, 0.5));
    EXPECT_TRUE(top.would_enter(0, 1.0));
    top.offer({7, 0.5f});  // below the floor: not kept
    top.offer({5, 3.0f});
    top.offer({9, 2.0f});
    EXPECT_TRUE(top.full());
    EXPECT_EQ(top.threshold(), 2.0);
    EXPECT_TRUE(top.would_enter(4, 2.0));    // earlier than 9
    EXPECT_FALSE(top.would_enter(10, 2.0));  // later: loses the tie
    top.offer({4, 2.0f});
    const auto kept = top.take_sorted();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].position, 5u);
    EXPECT_EQ(kept[1].position, 4u);
    TopK none(0);
    EXPECT_FALSE(none.would_enter(0, 1e30));
}

}  // namespace
}  // namespace revuradova
