#include "indexing/bm25_indexer.hpp"

#include <algorithm>
#include <cmath>

#include "indexing/tokenizer.hpp"
#include "indexing/top_k.hpp"

namespace revuradova {
namespace {

// Okapi BM25 (Robertson and Zaragoza, "The Probabilistic Relevance Framework", 2009), with
// the idf of Lucene: 1 added inside the logarithm keeps it positive. Every step is a 32-bit
// float operation in the order written; the build forbids contraction into fused
// multiply-adds, so the results are reproducible bit for bit.
constexpr float kOneMinusB = 0.25f;
constexpr float kK1PlusOne = 2.5f;
constexpr float kSmoothing = 0.5f;
constexpr float kIdfOffset = 1.0f;

float length_normalisation(std::uint64_t length, float avg_doc_length) {
    return ((static_cast<float>(length) / avg_doc_length) * BM25Indexer::kB + kOneMinusB) *
           BM25Indexer::kK1;
}

float inverse_document_frequency(std::uint32_t doc_count, std::uint32_t doc_freq) {
    const float n = static_cast<float>(doc_count);
    const float df = static_cast<float>(doc_freq);
    return std::log(((n - df) + kSmoothing) / (df + kSmoothing) + kIdfOffset);
}

float term_weight(std::uint32_t term_frequency, float normalisation, float idf) {
    const float tf = static_cast<float>(term_frequency);
    return ((tf * kK1PlusOne) / (normalisation + tf)) * idf;
}

std::string preview_of(std::string_view content) {
    std::size_t pos = 0;
    for (std::size_t chars = 0; chars < BM25Indexer::kPreviewCharacters && pos < content.size();
         ++chars) {
        text::decode_utf8(content, pos);
    }
    return std::string(content.substr(0, pos));
}

// Per-thread accumulators for rank(), reused between searches so that a search allocates
// only its result. Sparse mode: a slot's score is valid when its stamp equals the epoch
// and `touched` lists the slots. Dense mode: every score is reset to zero first.
struct Accumulators {
    std::vector<float> score;
    std::vector<std::uint32_t> stamp;
    std::vector<DocSlot> touched;
    std::uint32_t epoch = 0;

    void begin(std::size_t slots, bool dense) {
        if (score.size() < slots) {
            score.resize(slots);
            stamp.resize(slots, 0);
        }
        if (dense) {
            std::fill_n(score.begin(), slots, 0.0f);
            return;
        }
        touched.clear();
        if (++epoch == 0) {  // wrapped: forget every old stamp
            std::fill(stamp.begin(), stamp.end(), 0);
            epoch = 1;
        }
    }
};

// Best first: higher score, then earlier first indexing.
struct HitOrder {
    bool operator()(const RankedHit& a, const RankedHit& b) const {
        if (a.score != b.score) return a.score > b.score;
        return a.slot < b.slot;
    }
};

}  // namespace

std::vector<std::string> BM25Indexer::tokenize(std::string_view text) {
    std::vector<std::string> tokens;
    std::string scratch;
    for_each_token(text, scratch, [&](std::string_view token) { tokens.emplace_back(token); });
    return tokens;
}

void BM25Indexer::remove_postings(DocSlot slot) {
    for (const TermId term : documents_[slot].terms) {
        auto& postings = terms_[term].postings;
        const auto at = std::lower_bound(
            postings.begin(), postings.end(), slot,
            [](const Posting& posting, DocSlot wanted) { return posting.slot < wanted; });
        if (at != postings.end() && at->slot == slot) postings.erase(at);
    }
}

void BM25Indexer::index_document(const KnowledgeObject& object) {
    // Count term frequencies of the new content.
    touched_scratch_.clear();
    std::uint64_t length = 0;
    for_each_token(object.content, token_scratch_, [&](std::string_view token) {
        ++length;
        bool inserted = false;
        const TermId term = term_ids_.find_or_insert(token, inserted);
        if (inserted) {
            terms_.emplace_back();
            frequency_scratch_.push_back(0);
        }
        if (frequency_scratch_[term]++ == 0) touched_scratch_.push_back(term);
    });

    auto [slot_entry, is_new] = slots_.try_emplace(object.id, static_cast<DocSlot>(documents_.size()));
    const DocSlot slot = slot_entry->second;
    if (is_new) {
        documents_.emplace_back();
        documents_.back().id = object.id;
    } else {
        remove_postings(slot);
        total_length_ -= documents_[slot].length;
    }

    const bool appended = slot + 1 == documents_.size();
    for (const TermId term : touched_scratch_) {
        TermEntry& entry = terms_[term];
        ++entry.doc_freq;
        const Posting posting{slot, frequency_scratch_[term]};
        frequency_scratch_[term] = 0;
        if (appended && (entry.postings.empty() || entry.postings.back().slot < slot)) {
            entry.postings.push_back(posting);
        } else {
            const auto at = std::lower_bound(
                entry.postings.begin(), entry.postings.end(), slot,
                [](const Posting& p, DocSlot wanted) { return p.slot < wanted; });
            entry.postings.insert(at, posting);
        }
    }

    StoredDocument& document = documents_[slot];
    document.source_location = object.source_location;
    document.preview = preview_of(object.content);
    document.length = length;
    document.terms.assign(touched_scratch_.begin(), touched_scratch_.end());
    document.terms.shrink_to_fit();

    ++doc_count_;
    total_length_ += length;
    avg_doc_length_ = static_cast<float>(total_length_) / static_cast<float>(doc_count_);
    norm_cache_->valid.store(false, std::memory_order_release);
}

std::vector<BM25Indexer::QueryTerm> BM25Indexer::resolve_query(
    const std::vector<std::string>& tokens) const {
    std::vector<QueryTerm> resolved;
    resolved.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const TermId term = term_ids_.find(token);
        if (term == TermDictionary::kNotFound) {
            resolved.push_back({nullptr, 0.0f});
            continue;
        }
        const TermEntry& entry = terms_[term];
        resolved.push_back({&entry, inverse_document_frequency(doc_count_, entry.doc_freq)});
    }
    return resolved;
}

const BM25Indexer::NormCache& BM25Indexer::norms() const {
    NormCache& cache = *norm_cache_;
    if (cache.valid.load(std::memory_order_acquire)) return cache;
    std::lock_guard lock(cache.mutex);
    if (!cache.valid.load(std::memory_order_relaxed)) {
        cache.norms.resize(documents_.size());
        for (std::size_t slot = 0; slot < documents_.size(); ++slot) {
            cache.norms[slot] = length_normalisation(documents_[slot].length, avg_doc_length_);
        }
        cache.valid.store(true, std::memory_order_release);
    }
    return cache;
}

std::vector<RankedHit> BM25Indexer::rank_terms(const std::vector<QueryTerm>& query,
                                               std::size_t limit) const {
    if (doc_count_ == 0 || limit == 0) return {};
    const NormCache& cache = norms();
    const float* norm = cache.norms.data();
    const std::size_t slots = documents_.size();
    const auto weight_of = [&](const Posting& posting, float idf) {
        return term_weight(posting.term_frequency, norm[posting.slot], idf);
    };

    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.entry != nullptr) postings += term.entry->postings.size();
    }
    // Dense accumulation when the query touches a good share of the documents: no
    // bookkeeping per posting, one pass over all slots at the end.
    const bool dense = postings >= slots / 8;

    thread_local Accumulators acc;
    acc.begin(slots, dense);
    float* score = acc.score.data();
    for (const QueryTerm& term : query) {
        if (term.entry == nullptr) continue;
        const float idf = term.idf;
        if (dense) {
            for (const Posting& posting : term.entry->postings) {
                score[posting.slot] = score[posting.slot] + weight_of(posting, idf);
            }
            continue;
        }
        for (const Posting& posting : term.entry->postings) {
            const float weight = weight_of(posting, idf);
            if (acc.stamp[posting.slot] != acc.epoch) {
                acc.stamp[posting.slot] = acc.epoch;
                score[posting.slot] = 0.0f;
                acc.touched.push_back(posting.slot);
            }
            score[posting.slot] = score[posting.slot] + weight;
        }
    }

    // Zero and NaN scores are not hits; once the top is full, a score below its worst
    // cannot enter, so most slots cost two comparisons.
    TopK<RankedHit, HitOrder> top(limit, HitOrder{});
    float threshold = 0.0f;
    const auto offer = [&](DocSlot slot) {
        const float s = score[slot];
        if (!(s > 0.0f) || s < threshold) return;
        top.offer({slot, s});
        if (top.full()) threshold = top.worst().score;
    };
    if (dense) {
        for (std::size_t slot = 0; slot < slots; ++slot) offer(static_cast<DocSlot>(slot));
    } else {
        for (const DocSlot slot : acc.touched) offer(slot);
    }
    return top.take_sorted();
}

std::vector<RankedHit> BM25Indexer::rank(std::string_view query, std::size_t limit) const {
    if (doc_count_ == 0 || limit == 0) return {};
    return rank_terms(resolve_query(tokenize(query)), limit);
}

std::vector<SearchResult> BM25Indexer::search(std::string_view query, std::size_t limit) const {
    if (doc_count_ == 0 || limit == 0) return {};
    const std::vector<std::string> tokens = tokenize(query);
    const std::vector<QueryTerm> terms = resolve_query(tokens);
    const std::vector<RankedHit> ranked = rank_terms(terms, limit);

    std::vector<SearchResult> results;
    results.reserve(ranked.size());
    for (const RankedHit& hit : ranked) {
        const StoredDocument& document = documents_[hit.slot];
        SearchResult result{document.id, document.source_location, document.preview, {},
                            hit.score};
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (terms[i].entry == nullptr) continue;
            const auto& postings = terms[i].entry->postings;
            const bool present = std::binary_search(
                postings.begin(), postings.end(), Posting{hit.slot, 0},
                [](const Posting& a, const Posting& b) { return a.slot < b.slot; });
            if (present) result.matched_terms.push_back(tokens[i]);
        }
        results.push_back(std::move(result));
    }
    return results;
}

std::uint32_t BM25Indexer::doc_freq(std::string_view term) const {
    const TermId id = term_ids_.find(term);
    return id == TermDictionary::kNotFound ? 0 : terms_[id].doc_freq;
}

std::uint64_t BM25Indexer::doc_length(std::string_view id) const {
    const auto found = slots_.find(id);
    return found == slots_.end() ? 0 : documents_[found->second].length;
}

std::size_t BM25Indexer::posting_bytes() const {
    std::size_t bytes = 0;
    for (const TermEntry& entry : terms_) bytes += entry.postings.capacity() * sizeof(Posting);
    for (const StoredDocument& document : documents_) {
        bytes += document.terms.capacity() * sizeof(TermId);
    }
    return bytes;
}

}  // namespace revuradova
