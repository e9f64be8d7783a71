// What index_document learns of a document's content before it changes anything: the
// term counts, and the scratch that holds them between the two phases.

#include <stdexcept>

#include "indexing/inverted_index.hpp"
#include "indexing/tokenizer.hpp"

namespace revuradova {
namespace {

// Scratch that grew past this many entries for one huge document is given back afterwards.
constexpr std::size_t kScratchKeptEntries = std::size_t{1} << 16;

// Tokens looked up together.
constexpr std::size_t kBatchTokens = 128;

}  // namespace

void InvertedIndex::Scratch::reset() noexcept {
    for (const TermId term : known) frequency[term] = 0;
    known.clear();
    for (std::size_t i = 0; i < fresh_hashes.size(); ++i) {
        fresh_table.erase(fresh_hashes[i], static_cast<std::uint32_t>(i));
    }
    fresh_texts.clear();
    fresh_hashes.clear();
    fresh_counts.clear();
    fresh_postings.clear();
    fresh_blocks.clear();
    batch.clear();
    batch_text.clear();
    if (batch_text.capacity() > kScratchKeptEntries) batch_text = {};
    if (fresh_hashes.capacity() > kScratchKeptEntries) {
        fresh_table = IndexTable();
        fresh_texts = {};
        fresh_hashes = {};
        fresh_counts = {};
        fresh_postings = {};
        fresh_blocks = {};
    }
    if (known.capacity() > kScratchKeptEntries) known = {};
}

// Counts the tokens of `content` into the scratch: terms the index knows by id, new ones in
// the side table. Changes nothing else.
//
// Tokens are looked up in batches: a dictionary of many terms does not fit in the cache,
// so each lookup would wait for two misses (the bucket, then the term's text) one after
// the other. Within a batch the loads for later tokens are started ahead of time and the
// misses of several tokens overlap.
void InvertedIndex::count_terms(std::string_view content, std::uint64_t& length) {
    Scratch& s = scratch_;
    if (s.frequency.size() < terms_.id_bound()) s.frequency.resize(terms_.id_bound(), 0);
    s.batch.reserve(kBatchTokens);
    const auto fresh_text = [&s](std::uint32_t i) -> std::string_view { return s.fresh_texts[i]; };
    const auto count = [&](std::string_view token, std::uint64_t hash) {
        const TermId known = terms_.find(token, hash);
        if (known != TermDictionary::kNotFound) {
            if (s.frequency[known] == 0) s.known.push_back(known);  // before counting
            ++s.frequency[known];
            return;
        }
        std::uint32_t fresh = s.fresh_table.find(token, hash, fresh_text);
        if (fresh == IndexTable::kAbsent) {
            fresh = static_cast<std::uint32_t>(s.fresh_hashes.size());
            s.fresh_table.reserve(1);
            s.fresh_hashes.push_back(hash);
            s.fresh_counts.push_back(0);
            s.fresh_texts.emplace_back(token);
            s.fresh_table.insert(hash, fresh);
        }
        ++s.fresh_counts[fresh];
    };
    const auto count_batch = [&] {
        const std::size_t n = s.batch.size();
        // Every bucket first, then (the first buckets have arrived by then) every text.
        for (std::size_t i = 0; i < n; ++i) terms_.prefetch(s.batch[i].hash);
        for (std::size_t i = 0; i < n; ++i) terms_.prefetch_text(s.batch[i].hash);
        for (std::size_t i = 0; i < n; ++i) {
            const BatchedToken& token = s.batch[i];
            count(std::string_view(s.batch_text).substr(token.offset, token.size), token.hash);
        }
        s.batch.clear();
        s.batch_text.clear();
    };
    for_each_token(content, s.token, [&](std::string_view token) {
        if (++length > kMaxDocumentTokens) {
            throw std::length_error("document has more tokens than an index can count");
        }
        s.batch.push_back(BatchedToken{text::hash_text(token), s.batch_text.size(), token.size()});
        s.batch_text.append(token);
        if (s.batch.size() == kBatchTokens) count_batch();
    });
    count_batch();
}

}  // namespace revuradova
