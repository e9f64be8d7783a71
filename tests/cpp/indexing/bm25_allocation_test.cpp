// index_document and search under allocation failure: every failing allocation, one at a
// time, must leave the index exactly as it was and fully usable.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "indexing/bm25_indexer.hpp"
#include "retrieval/orchestrator.hpp"
#include "support/failing_allocator.hpp"
#include "test_objects.hpp"

namespace revuradova {
namespace {

using testing::for_each_allocation_failure;
using testing::make_object;

const std::vector<std::string> kQueries = {"alpha beta", "gamma", "fresh1 fresh7 delta",
                                           "zeta zeta omega", "nothing here"};

// Texts are built with += only: GCC 12 warns falsely (-Wrestrict) on "literal" + string.
std::string numbered(const char* prefix, int number) {
    std::string text = prefix;
    text += std::to_string(number);
    return text;
}

// Everything a caller can observe of an index, and the postings behind it.
void expect_same(const BM25Indexer& got, const BM25Indexer& want) {
    ASSERT_EQ(got.doc_count(), want.doc_count());
    ASSERT_EQ(got.term_count(), want.term_count());
    ASSERT_EQ(got.avg_doc_length(), want.avg_doc_length());
    auto got_terms = got.terms();
    auto want_terms = want.terms();
    std::sort(got_terms.begin(), got_terms.end());
    std::sort(want_terms.begin(), want_terms.end());
    ASSERT_EQ(got_terms, want_terms);
    for (const std::string& term : want_terms) {
        ASSERT_EQ(got.postings(term), want.postings(term)) << term;
    }
    for (DocSlot slot = 0; slot < want.doc_count(); ++slot) {
        ASSERT_EQ(got.doc_id(slot), want.doc_id(slot));
        ASSERT_EQ(got.doc_length(got.doc_id(slot)), want.doc_length(want.doc_id(slot)));
    }
    for (const std::string& query : kQueries) {
        const auto a = got.search(query, 10);
        const auto b = want.search(query, 10);
        ASSERT_EQ(a.size(), b.size()) << query;
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].doc_id, b[i].doc_id);
            EXPECT_EQ(a[i].score, b[i].score);
            EXPECT_EQ(a[i].preview, b[i].preview);
            EXPECT_EQ(a[i].matched_terms, b[i].matched_terms);
        }
    }
}

BM25Indexer base_index() {
    BM25Indexer index;
    index.index_document(make_object("a", KnowledgeType::Reference, "d", "alpha beta beta gamma"));
    index.index_document(make_object("b", KnowledgeType::Reference, "d", "beta delta zeta"));
    index.index_document(make_object("c", KnowledgeType::Reference, "d", "omega zeta zeta"));
    // "common" fills its first block of postings exactly: one more opens a second.
    for (int i = 0; i < static_cast<int>(kBlockPostings); ++i) {
        index.index_document(
            make_object(numbered("f", i), KnowledgeType::Reference, "d", "common"));
    }
    return index;
}

std::string fresh_terms(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += numbered("fresh", i);
        text += ' ';
    }
    return text;
}

// Each case: an object indexed into base_index(), new or replacing an identifier.
struct Case {
    const char* name;
    KnowledgeObject object;
};

std::vector<Case> cases() {
    return {
        {"new document, known and new terms",
         make_object("n", KnowledgeType::Reference, "d", "alpha gamma " + fresh_terms(40))},
        {"re-index, terms kept, dropped and added",
         make_object("a", KnowledgeType::Reference, "d", "alpha delta " + fresh_terms(20))},
        {"re-index to no tokens", make_object("b", KnowledgeType::Reference, "d", "!! ?")},
        {"re-index, same content",
         make_object("c", KnowledgeType::Reference, "d", "omega zeta zeta")},
        {"many new terms", make_object("m", KnowledgeType::Reference, "d", fresh_terms(3000))},
        {"new document opening a block",
         make_object("o", KnowledgeType::Reference, "d", "common alpha")},
        {"re-index opening a block before the last",
         make_object("a", KnowledgeType::Reference, "d", "alpha common")},
    };
}

TEST(AllocationFailure, IndexDocumentLeavesTheIndexAsItWas) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const BM25Indexer untouched = base_index();
        BM25Indexer expected = untouched;
        expected.index_document(c.object);

        BM25Indexer index = untouched;
        const long failures = for_each_allocation_failure([&] { index.index_document(c.object); },
                                                          [&] { expect_same(index, untouched); });
        EXPECT_GT(failures, 0);
        expect_same(index, expected);

        // The index stays usable after a failure: the same call completes afterwards, and
        // later documents keep all their terms (no stale scratch counts).
        BM25Indexer retried = untouched;
        testing::arm_allocation_failure(3);
        try {
            retried.index_document(c.object);
        } catch (const std::bad_alloc&) {
        }
        testing::disarm_allocation_failure();
        retried = untouched;
        retried.index_document(c.object);
        expect_same(retried, expected);
    }
}

TEST(AllocationFailure, ScratchStaysValidAfterAFailedIndexing) {
    BM25Indexer index = base_index();
    BM25Indexer expected = base_index();
    const KnowledgeObject object =
        make_object("n", KnowledgeType::Reference, "d", "alpha gamma gamma " + fresh_terms(50));
    // Fail late, after the known terms were counted into scratch.
    for (long k = 1; k < 200; k += 7) {
        testing::arm_allocation_failure(k);
        try {
            index.index_document(object);
        } catch (const std::bad_alloc&) {
        }
        testing::disarm_allocation_failure();
        if (!testing::allocation_failure_fired()) break;
    }
    const KnowledgeObject next = make_object("z", KnowledgeType::Reference, "d", "gamma alpha");
    index.index_document(object);
    index.index_document(next);
    expected.index_document(object);
    expected.index_document(next);
    expect_same(index, expected);
}

TEST(AllocationFailure, SearchFailuresLeaveScratchValid) {
    BM25Indexer grown = base_index();
    for (int i = 0; i < 200; ++i) {
        grown.index_document(make_object(numbered("g", i), KnowledgeType::Reference, "d",
                                         (i % 3 ? "alpha " : "gamma ") + fresh_terms(i % 5)));
    }
    const BM25Indexer reference = grown;
    for (const std::string& query : kQueries) {
        SCOPED_TRACE(query);
        const auto want = reference.search(query, 5);
        BM25Indexer index = grown;  // a copy whose search scratch has never been sized
        for_each_allocation_failure([&] { (void)index.search(query, 5); },
                                    [&] {
                                        const auto got = index.search(query, 5);
                                        ASSERT_EQ(got.size(), want.size());
                                        for (std::size_t i = 0; i < got.size(); ++i) {
                                            EXPECT_EQ(got[i].doc_id, want[i].doc_id);
                                            EXPECT_EQ(got[i].score, want[i].score);
                                        }
                                    });
    }
}

TEST(AllocationFailure, OrchestratorSearchesAgainAfterAFailure) {
    RetrievalOrchestrator orchestrator(OrchestratorConfig{3, true, false, false, false, true});
    std::vector<KnowledgeObject> objects;
    for (int i = 0; i < 20; ++i) {
        objects.push_back(make_object(numbered("k", i), KnowledgeType::Procedure, "finance",
                                      "how to submit an expense report " + fresh_terms(i % 4)));
    }
    const auto documents = testing::pointers(objects);
    const RetrievalResult want = orchestrator.search("How do I submit expenses?", documents);
    for_each_allocation_failure(
        [&] { (void)orchestrator.search("How do I submit expenses?", documents); },
        [&] {
            const RetrievalResult got = orchestrator.search("How do I submit expenses?", documents);
            EXPECT_EQ(got.final_ids, want.final_ids);
        });
}

TEST(MovedFrom, AnIndexIsEmptyAndUsableAfterAMove) {
    BM25Indexer index = base_index();
    const std::size_t documents = index.doc_count();
    BM25Indexer taken = std::move(index);
    EXPECT_EQ(taken.doc_count(), documents);
    // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is specified.
    EXPECT_EQ(index.doc_count(), 0u);
    EXPECT_EQ(index.term_count(), 0u);
    EXPECT_TRUE(index.search("alpha", 10).empty());
    index.index_document(make_object("a", KnowledgeType::Reference, "d", "alpha"));
    EXPECT_EQ(index.search("alpha", 10).size(), 1u);
    index = std::move(taken);
    EXPECT_EQ(index.doc_count(), documents);
    EXPECT_EQ(index.search("alpha beta", 10).size(), 2u);
}

}  // namespace
}  // namespace revuradova
