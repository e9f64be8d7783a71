#include "indexing/bm25_indexer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "support/plain_models.hpp"

namespace revuradova {
namespace {

KnowledgeObject document(std::string content, std::string location = "loc") {
    return KnowledgeObject::create(SourceType::Markdown, std::move(location),
                                   KnowledgeType::Reference, "domain", std::move(content));
}

KnowledgeObject with_id(std::string id, std::string content) {
    KnowledgeObject object = document(std::move(content));
    object.id = std::move(id);
    return object;
}

TEST(Tokenize, SplitsLowercasesAndDropsShortPieces) {
    EXPECT_EQ(BM25Indexer::tokenize("e-mail don't local_file 42 2024 café"),
              (std::vector<std::string>{"mail", "don", "local", "file", "2024", "café"}));
    EXPECT_EQ(BM25Indexer::tokenize("Data DATA data"),
              (std::vector<std::string>{"data", "data", "data"}));
    EXPECT_TRUE(BM25Indexer::tokenize("a an of , -- !!").empty());
    // Bytes, not characters: one 3-byte character or two 2-byte ones make a token.
    EXPECT_EQ(BM25Indexer::tokenize("東 éé é"), (std::vector<std::string>{"東", "éé"}));
    // İ lowers to i + U+0307, and the combining mark then separates.
    EXPECT_EQ(BM25Indexer::tokenize("İSTANBUL"), (std::vector<std::string>{"stanbul"}));
    EXPECT_EQ(BM25Indexer::tokenize("ΟΔΟΣ ΣΑΣ"), (std::vector<std::string>{"οδος", "σας"}));
}

// The formula alone, with the worked example's inputs: N = 2, avgdl = 3.5.
TEST(BM25Scorer, GoldenValues) {
    EXPECT_EQ(BM25Scorer::kOneMinusB, 0.25f);
    EXPECT_EQ(BM25Scorer::kK1PlusOne, 2.5f);
    const float k = BM25Scorer::length_normalisation(4.0f, 3.5f);
    EXPECT_EQ(k, ((4.0f / 3.5f) * 0.75f + 0.25f) * 1.5f);
    const float beta = BM25Scorer::term_weight(1, k, BM25Scorer::inverse_document_frequency(2, 2));
    const float gamma = BM25Scorer::term_weight(1, k, BM25Scorer::inverse_document_frequency(2, 1));
    EXPECT_NEAR(beta, 0.17131f, 1e-5f);
    EXPECT_NEAR(gamma, 0.65128f, 1e-5f);
    EXPECT_EQ(BM25Scorer::length_normalisation(3.0f, 3.0f), 1.5f);
}

TEST(BM25, WorkedExample) {
    BM25Indexer index;
    const KnowledgeObject first = document("alpha beta beta");
    const KnowledgeObject second = document("beta gamma delta epsilon");
    index.index_document(first);
    index.index_document(second);
    EXPECT_EQ(index.doc_count(), 2u);
    EXPECT_EQ(index.term_count(), 5u);
    EXPECT_EQ(index.avg_doc_length(), 3.5f);

    const auto hits = index.search("beta gamma", 10);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].doc_id, second.id);
    EXPECT_NEAR(hits[0].score, 0.82259f, 1e-5f);
    EXPECT_EQ(hits[0].matched_terms, (std::vector<std::string>{"beta", "gamma"}));
    EXPECT_EQ(hits[1].doc_id, first.id);
    EXPECT_NEAR(hits[1].score, 0.27299f, 1e-5f);
    EXPECT_EQ(hits[1].matched_terms, (std::vector<std::string>{"beta"}));
    EXPECT_EQ(hits[1].source_location, "loc");
    EXPECT_EQ(hits[1].preview, "alpha beta beta");

    BM25Indexer single;
    single.index_document(first);
    const auto one = single.search("beta", 10);
    ASSERT_EQ(one.size(), 1u);
    // K = 1.5, tf = 2, idf = ln(0.5 / 1.5 + 1), in that order of float operations.
    const float idf = std::log(((1.0f - 1.0f) + 0.5f) / (1.0f + 0.5f) + 1.0f);
    EXPECT_EQ(one[0].score, ((2.0f * 2.5f) / (1.5f + 2.0f)) * idf);
    EXPECT_NEAR(one[0].score, 0.41097f, 1e-5f);
}

TEST(BM25, RepeatedQueryTokenDoublesExactly) {
    BM25Indexer index;
    index.index_document(document("alpha beta beta"));
    index.index_document(document("beta gamma delta epsilon"));
    const auto once = index.search("beta", 10);
    const auto twice = index.search("beta beta", 10);
    ASSERT_EQ(once.size(), twice.size());
    for (std::size_t i = 0; i < once.size(); ++i) {
        EXPECT_EQ(twice[i].score, once[i].score * 2.0f);
        EXPECT_EQ(twice[i].matched_terms, (std::vector<std::string>{"beta", "beta"}));
    }
}

// Indexing an identifier again replaces everything its earlier indexing contributed: the
// statistics are those of an index built from the latest contents alone.
TEST(BM25, ReindexingIsIdempotentPerIdentifier) {
    BM25Indexer index;
    index.index_document(with_id("x", "apple banana"));
    index.index_document(with_id("y", "banana cherry cherry"));
    const auto before = index.search("banana cherry", 10);
    for (int i = 0; i < 3; ++i) index.index_document(with_id("x", "apple banana"));
    EXPECT_EQ(index.doc_count(), 2u);
    EXPECT_EQ(index.doc_freq("apple"), 1u);
    EXPECT_EQ(index.doc_freq("banana"), 2u);
    EXPECT_EQ(index.avg_doc_length(), 2.5f);
    const auto after = index.search("banana cherry", 10);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].doc_id, before[i].doc_id);
        EXPECT_EQ(after[i].score, before[i].score);
    }

    // New content: terms only the old content held leave the dictionary.
    index.index_document(with_id("x", "cherry date"));
    EXPECT_TRUE(index.search("apple", 10).empty());
    EXPECT_EQ(index.doc_freq("apple"), 0u);
    EXPECT_EQ(index.doc_freq("banana"), 1u);
    EXPECT_EQ(index.doc_freq("cherry"), 2u);
    EXPECT_EQ(index.term_count(), 3u);  // banana, cherry, date
    EXPECT_EQ(index.doc_length("x"), 2u);
    EXPECT_EQ(index.avg_doc_length(), 2.5f);

    BM25Indexer fresh;
    fresh.index_document(with_id("x", "cherry date"));
    fresh.index_document(with_id("y", "banana cherry cherry"));
    const auto expected = fresh.search("cherry date banana", 10);
    const auto got = index.search("cherry date banana", 10);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].score, expected[i].score);
}

TEST(BM25, TokenFreeReindexLeavesNoTerms) {
    BM25Indexer index;
    index.index_document(with_id("x", "apple"));
    index.index_document(with_id("x", "!!"));
    EXPECT_EQ(index.doc_count(), 1u);
    EXPECT_EQ(index.avg_doc_length(), 0.0f);
    EXPECT_EQ(index.term_count(), 0u);
    EXPECT_TRUE(index.search("apple", 10).empty());
    // A freed term id is taken by the next new term without confusing the two.
    index.index_document(with_id("z", "banana"));
    EXPECT_EQ(index.search("banana", 10).size(), 1u);
    EXPECT_TRUE(index.search("apple", 10).empty());
}

// Searches interleaved with insertions (the average moves every time, and some documents
// are longer than the normalisation table covers) score exactly as an index built afresh.
TEST(BM25, SearchAfterEachInsertEqualsAFreshIndex) {
    std::mt19937 rng(11);
    const std::vector<std::string> vocabulary = {"alpha", "beta", "gamma", "delta", "omega"};
    std::vector<KnowledgeObject> objects;
    BM25Indexer index;
    for (int d = 0; d < 40; ++d) {
        std::string content;
        const std::size_t length = d % 13 == 5 ? 9000 + rng() % 500 : rng() % 30;
        for (std::size_t t = 0; t < length; ++t) {
            content += vocabulary[rng() % vocabulary.size()];
            content += ' ';
        }
        objects.push_back(with_id("doc" + std::to_string(d % 31), content));
        index.index_document(objects.back());
        BM25Indexer fresh;
        for (const KnowledgeObject& object : objects) fresh.index_document(object);
        for (const char* query : {"alpha", "beta gamma", "omega omega delta"}) {
            const auto got = index.search(query, 50);
            const auto want = fresh.search(query, 50);
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].doc_id, want[i].doc_id);
                EXPECT_EQ(got[i].score, want[i].score);
            }
        }
    }
}

TEST(BM25, EmptyCasesAndLimits) {
    BM25Indexer index;
    EXPECT_TRUE(index.search("anything", 10).empty());
    index.index_document(document("alpha beta"));
    index.index_document(document("alpha gamma"));
    EXPECT_TRUE(index.search("a an of", 10).empty());
    EXPECT_TRUE(index.search("", 10).empty());
    EXPECT_TRUE(index.search("unknownword", 10).empty());
    EXPECT_TRUE(index.search("beta", 0).empty());
    EXPECT_EQ(index.search("alpha beta gamma", 1).size(), 1u);
    EXPECT_EQ(index.search("alpha beta gamma", 100).size(), 2u);
}

TEST(BM25, TiesFollowFirstIndexing) {
    BM25Indexer index;
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i) {
        ids.push_back("id" + std::to_string(4 - i));
        index.index_document(with_id(ids.back(), "same words here"));
    }
    const auto hits = index.search("words", 3);
    ASSERT_EQ(hits.size(), 3u);
    for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].doc_id, ids[i]);
}

TEST(BM25, PreviewCountsCharacters) {
    std::string content;
    for (int i = 0; i < 250; ++i) content += (i % 2 ? "é" : "x");
    BM25Indexer other;
    other.index_document(document("word " + content));
    const auto found = other.search("word", 1);
    ASSERT_EQ(found.size(), 1u);
    std::size_t chars = 0;
    for (unsigned char c : found[0].preview) chars += (c & 0xC0) != 0x80;
    EXPECT_EQ(chars, 200u);
    EXPECT_EQ(found[0].preview.substr(0, 5), "word ");

    // Plain ASCII up to, at and past the 200th character, then a character of two bytes.
    for (const std::size_t ascii : {5u, 198u, 199u, 200u, 201u, 300u}) {
        const std::string text = "word " + std::string(ascii - 5, 'x') + "\u00e9tail";
        BM25Indexer index;
        index.index_document(document(text));
        const auto hit = index.search("word", 1);
        ASSERT_EQ(hit.size(), 1u);
        const std::string expected =
            ascii >= 200 ? text.substr(0, 200) : text.substr(0, ascii + 2 + (199 - ascii));
        EXPECT_EQ(hit[0].preview, expected) << ascii;
    }
}

TEST(BM25, AverageLength) {
    BM25Indexer index;
    index.index_document(document("one two three"));
    index.index_document(document("one two three four"));
    index.index_document(document("one two three four five"));
    EXPECT_EQ(index.doc_count(), 3u);
    EXPECT_EQ(index.avg_doc_length(), 4.0f);
}

}  // namespace
}  // namespace revuradova
