// A random program of index and search calls on a small index, against the plain
// per-document scan: same hits, same order, the same scores bit for bit.

#include <cstdlib>

#include "fuzz_input.hpp"
#include "indexing/bm25_indexer.hpp"
#include "support/plain_models.hpp"

using namespace revuradova;

namespace {

constexpr std::string_view kWords[] = {"alpha", "beta",  "gamma", "Delta",    "eps", "ζήτα",
                                       "ab",    "theta", "KAPPA", "alphabet", "42",  "İota"};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    BM25Indexer index;
    plain::Bm25Model model;
    while (!input.done()) {
        if (input.below(3) != 0) {
            KnowledgeObject object;
            object.id = "doc" + std::to_string(input.below(12));
            object.content = input.words(kWords, 12);
            index.index_document(object);
            model.index(object.id, object.content);
            check(index.doc_count() == model.doc_count());
            check(index.term_count() == model.doc_freqs().size());
            check(index.avg_doc_length() == model.avg_doc_length() ||
                  (index.avg_doc_length() != index.avg_doc_length()));
            continue;
        }
        const std::string query = input.words(kWords, 4);
        const std::size_t limit = input.below(7);
        const auto got = index.search(query, limit);
        const auto want = model.search(query, limit);
        check(got.size() == want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            check(got[i].doc_id == want[i].first);
            check(got[i].score == want[i].second);
        }
    }
    return 0;
}
