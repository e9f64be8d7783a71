// The text layer on arbitrary bytes (malformed UTF-8 included): the tokenizer, lower-casing,
// and the searches against a plain lower-case-then-find.

#include <cstdlib>

#include "fuzz_input.hpp"
#include "indexing/bm25_indexer.hpp"
#include "text/search.hpp"
#include "text/unicode.hpp"

using namespace revuradova;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::string needle = input.bytes(12);
    const std::string haystack = input.bytes(4096);

    for (const std::string& token : BM25Indexer::tokenize(haystack)) {
        check(token.size() >= 3);
        check(text::to_lowercase(token) == token);  // tokens are already lower-cased
    }
    const std::string lowered = text::to_lowercase(haystack);
    std::string appended = "prefix";
    text::append_lowercase(haystack, appended);
    check(appended == "prefix" + lowered);

    check(text::contains(haystack, needle) == (haystack.find(needle) != std::string::npos));
    const std::string lowered_needle = text::to_lowercase(needle);
    const bool present = lowered.find(lowered_needle) != std::string::npos;
    switch (text::find_ascii_folded(haystack, lowered_needle)) {
        case text::FoldedMatch::Found: check(present); break;
        case text::FoldedMatch::Absent: check(!present); break;
        case text::FoldedMatch::NeedsUnicode: check(!text::is_ascii(haystack)); break;
    }
    return 0;
}
