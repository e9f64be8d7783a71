#include "indexing/bm25_indexer.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "indexing/tokenizer.hpp"
#include "indexing/top_k.hpp"
#include "util/reserve.hpp"

namespace revuradova {
namespace {

// Okapi BM25 (Robertson and Zaragoza, "The Probabilistic Relevance Framework", 2009), with
// the idf of Lucene: 1 added inside the logarithm keeps it positive. Every step is a 32-bit
// float operation in the order written; the build forbids contraction into fused
// multiply-adds, so the results are reproducible bit for bit.
constexpr float kOneMinusB = 1.0f - BM25Indexer::kB;
constexpr float kK1PlusOne = BM25Indexer::kK1 + 1.0f;
constexpr float kSmoothing = 0.5f;
constexpr float kIdfOffset = 1.0f;

float length_normalisation(float length, float avg_doc_length) {
    return ((length / avg_doc_length) * BM25Indexer::kB + kOneMinusB) * BM25Indexer::kK1;
}

float inverse_document_frequency(std::size_t doc_count, std::size_t doc_freq) {
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

// Best first: higher score, then earlier first indexing.
struct HitOrder {
    bool operator()(const RankedHit& a, const RankedHit& b) const {
        if (a.score != b.score) return a.score > b.score;
        return a.slot < b.slot;
    }
};

template <class Postings>
auto find_posting(Postings& postings, DocSlot slot) {
    return std::lower_bound(postings.begin(), postings.end(), slot,
                            [](const auto& posting, DocSlot wanted) { return posting.slot < wanted; });
}

// Scratch that grew past this many entries for one huge document is given back afterwards.
constexpr std::size_t kScratchKeptEntries = std::size_t{1} << 16;

}  // namespace

// Leaves the indexing scratch empty on every exit from index_document, normal or not, so a
// failed call cannot hand stale counts to the next one.
class IndexingScratchGuard {
public:
    explicit IndexingScratchGuard(BM25Indexer& index) : index_(index) {}
    IndexingScratchGuard(const IndexingScratchGuard&) = delete;
    IndexingScratchGuard& operator=(const IndexingScratchGuard&) = delete;
    ~IndexingScratchGuard() {
        for (const TermId term : index_.touched_scratch_) index_.frequency_scratch_[term] = 0;
        index_.touched_scratch_.clear();
        for (std::size_t i = 0; i < index_.fresh_hashes_.size(); ++i) {
            index_.fresh_table_.erase(index_.fresh_hashes_[i], static_cast<std::uint32_t>(i));
        }
        index_.fresh_texts_.clear();
        index_.fresh_hashes_.clear();
        index_.fresh_counts_.clear();
        index_.fresh_postings_.clear();
        if (index_.fresh_hashes_.capacity() > kScratchKeptEntries) {
            index_.fresh_table_ = IndexTable();
            index_.fresh_texts_ = {};
            index_.fresh_hashes_ = {};
            index_.fresh_counts_ = {};
            index_.fresh_postings_ = {};
        }
        if (index_.touched_scratch_.capacity() > kScratchKeptEntries) index_.touched_scratch_ = {};
    }

private:
    BM25Indexer& index_;
};

BM25Indexer::BM25Indexer(BM25Indexer&& other) noexcept
    : term_ids_(std::move(other.term_ids_)),
      postings_(std::exchange(other.postings_, {})),
      slots_(std::move(other.slots_)),
      documents_(std::exchange(other.documents_, {})),
      lengths_(std::exchange(other.lengths_, {})),
      longest_(std::exchange(other.longest_, 0)),
      total_length_(std::exchange(other.total_length_, 0)),
      avg_doc_length_(std::exchange(other.avg_doc_length_, 0.0f)),
      norm_generation_(std::exchange(other.norm_generation_, 1)) {
    other.term_ids_ = TermDictionary();
    other.frequency_scratch_.clear();
}

BM25Indexer& BM25Indexer::operator=(BM25Indexer&& other) noexcept {
    if (this != &other) {
        BM25Indexer moved(std::move(other));
        term_ids_ = std::move(moved.term_ids_);
        postings_ = std::move(moved.postings_);
        slots_ = std::move(moved.slots_);
        documents_ = std::move(moved.documents_);
        lengths_ = std::move(moved.lengths_);
        longest_ = moved.longest_;
        total_length_ = moved.total_length_;
        avg_doc_length_ = moved.avg_doc_length_;
        norm_generation_ = moved.norm_generation_;
        frequency_scratch_.clear();
        scores_.clear();
        stamps_.clear();
        norm_table_.clear();
        norm_table_generation_ = 0;
        touched_slots_.clear();
        epoch_ = 0;
    }
    return *this;
}

std::vector<std::string> BM25Indexer::tokenize(std::string_view text) {
    std::vector<std::string> tokens;
    std::string scratch;
    for_each_token(text, scratch, [&](std::string_view token) { tokens.emplace_back(token); });
    return tokens;
}

void BM25Indexer::set_average(float average) noexcept {
    if (average == avg_doc_length_ && !std::isnan(average)) return;
    avg_doc_length_ = average;
    if (++norm_generation_ == 0) norm_generation_ = 1;  // table generations start at 0
}

void BM25Indexer::index_document(const KnowledgeObject& object) {
    IndexingScratchGuard guard(*this);

    // Prepare: everything that can fail happens here, and none of it is visible. The
    // content's terms are counted into scratch, split into terms the index knows and new
    // ones, and every allocation the commit below will need is made ahead.
    if (frequency_scratch_.size() < term_ids_.id_bound()) {
        frequency_scratch_.resize(term_ids_.id_bound(), 0);
    }
    std::uint64_t length = 0;
    for_each_token(object.content, token_scratch_, [&](std::string_view token) {
        if (++length > kMaxDocumentTokens) {
            throw std::length_error("document has more tokens than an index can count");
        }
        const std::uint64_t hash = text::hash_text(token);
        const TermId known = term_ids_.find(token, hash);
        if (known != TermDictionary::kNotFound) {
            if (frequency_scratch_[known] == 0) touched_scratch_.push_back(known);
            ++frequency_scratch_[known];
            return;
        }
        std::uint32_t fresh = fresh_table_.find(
            token, hash, [this](std::uint32_t i) -> std::string_view { return fresh_texts_[i]; });
        if (fresh == IndexTable::kAbsent) {
            fresh = static_cast<std::uint32_t>(fresh_hashes_.size());
            fresh_table_.reserve(1);
            fresh_hashes_.push_back(hash);
            fresh_counts_.push_back(0);
            fresh_texts_.emplace_back(token);
            fresh_table_.insert(hash, fresh);
        }
        ++fresh_counts_[fresh];
    });

    const std::uint64_t id_hash = text::hash_text(object.id);
    const auto id_of_slot = [this](std::uint32_t slot) -> std::string_view {
        return documents_[slot].id;
    };
    const std::uint32_t found = slots_.find(object.id, id_hash, id_of_slot);
    const bool is_new = found == IndexTable::kAbsent;
    const auto slot = is_new ? static_cast<DocSlot>(documents_.size()) : found;
    if (is_new && documents_.size() >= IndexTable::kAbsent) {
        throw std::length_error("an index holds at most 2**32 - 1 documents");
    }

    StoredDocument record;
    record.source_location = object.source_location;
    record.preview = preview_of(object.content);
    record.length = length;
    record.terms.reserve(touched_scratch_.size() + fresh_texts_.size());
    record.terms.assign(touched_scratch_.begin(), touched_scratch_.end());
    if (is_new) {
        record.id = object.id;
        reserve_more(documents_, 1);
        reserve_more(lengths_, 1);
        slots_.reserve(1);
    }
    for (const TermId term : touched_scratch_) {
        PostingList& postings = postings_[term];
        const bool has_slot =
            !is_new && [&] {
                const auto at = find_posting(postings, slot);
                return at != postings.end() && at->slot == slot;
            }();
        if (!has_slot) reserve_more(postings, 1);
    }
    fresh_postings_.reserve(fresh_texts_.size());
    for (std::size_t i = 0; i < fresh_texts_.size(); ++i) {
        fresh_postings_.emplace_back(1, Posting{slot, fresh_counts_[i]});
    }
    term_ids_.reserve(fresh_texts_.size());
    reserve_more(postings_, fresh_texts_.size());
    if (!is_new) term_ids_.reserve_removals(documents_[slot].terms.size());

    // Commit: from here on nothing can fail.
    if (!is_new) {
        // Terms of the earlier indexing that the new content lacks lose this document.
        StoredDocument& old = documents_[slot];
        for (const TermId term : old.terms) {
            if (frequency_scratch_[term] != 0) continue;
            PostingList& postings = postings_[term];
            postings.erase(find_posting(postings, slot));
            if (postings.empty()) {
                PostingList().swap(postings);
                term_ids_.erase(term);
            }
        }
        total_length_ -= old.length;
        record.id = std::move(old.id);
    }
    for (const TermId term : touched_scratch_) {
        PostingList& postings = postings_[term];
        const Posting posting{slot, frequency_scratch_[term]};
        if (postings.empty() || postings.back().slot < slot) {
            postings.push_back(posting);
            continue;
        }
        const auto at = find_posting(postings, slot);
        if (at != postings.end() && at->slot == slot) {
            at->term_frequency = posting.term_frequency;
        } else {
            postings.insert(at, posting);
        }
    }
    for (std::size_t i = 0; i < fresh_texts_.size(); ++i) {
        const TermId term = term_ids_.insert(std::move(fresh_texts_[i]), fresh_hashes_[i]);
        if (term == postings_.size()) postings_.emplace_back();
        postings_[term] = std::move(fresh_postings_[i]);
        record.terms.push_back(term);
    }
    const auto stored_length = static_cast<std::uint32_t>(length);
    if (is_new) {
        documents_.push_back(std::move(record));
        lengths_.push_back(stored_length);
        slots_.insert(id_hash, slot);
    } else {
        documents_[slot] = std::move(record);
        lengths_[slot] = stored_length;
    }
    longest_ = std::max(longest_, stored_length);
    total_length_ += length;
    set_average(static_cast<float>(total_length_) / static_cast<float>(documents_.size()));
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
        const PostingList& postings = postings_[term];
        resolved.push_back(
            {&postings, inverse_document_frequency(documents_.size(), postings.size())});
    }
    return resolved;
}

// K of `slot` for the current average length: from the table, or computed directly for a
// document longer than the table covers.
inline float BM25Indexer::norm_of(DocSlot slot) const {
    const std::uint32_t length = lengths_[slot];
    if (length < norm_table_.size()) return norm_table_[length];
    return length_normalisation(static_cast<float>(length), avg_doc_length_);
}

// Sizes the accumulators for `slots` documents and brings the normalisation table up to the
// current average. Every allocation happens before anything is replaced, so a failure
// leaves the scratch as it was.
void BM25Indexer::prepare_scratch(std::size_t slots) const {
    if (scores_.size() < slots) {
        std::vector<float> scores(slots);
        std::vector<std::uint32_t> stamps(slots, 0);
        std::copy(stamps_.begin(), stamps_.end(), stamps.begin());
        scores_.swap(scores);
        stamps_.swap(stamps);
    }
    const std::size_t lengths = std::min<std::size_t>(std::size_t{longest_} + 1, kTabledLengths);
    if (norm_table_.size() < lengths) {
        norm_table_.reserve(lengths);
        norm_table_.resize(lengths);
        norm_table_generation_ = 0;
    }
    if (norm_table_generation_ != norm_generation_) {
        for (std::size_t length = 0; length < norm_table_.size(); ++length) {
            norm_table_[length] = length_normalisation(static_cast<float>(length), avg_doc_length_);
        }
        norm_table_generation_ = norm_generation_;
    }
}

std::vector<RankedHit> BM25Indexer::rank_terms(const std::vector<QueryTerm>& query,
                                               std::size_t limit) const {
    if (documents_.empty() || limit == 0) return {};
    const std::size_t slots = documents_.size();

    std::size_t postings = 0;
    for (const QueryTerm& term : query) {
        if (term.postings != nullptr) postings += term.postings->size();
    }
    if (postings == 0) return {};
    // Dense accumulation when the query touches a good share of the documents: no
    // bookkeeping per posting, one pass over all slots at the end.
    const bool dense = postings >= slots / 8;

    prepare_scratch(slots);
    float* score = scores_.data();
    std::uint32_t* stamp = stamps_.data();
    if (dense) {
        std::fill_n(score, slots, 0.0f);
    } else {
        touched_slots_.clear();
        touched_slots_.reserve(std::min(postings, slots));
        if (++epoch_ == 0) {  // wrapped: forget every old stamp
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    const std::uint32_t epoch = epoch_;

    for (const QueryTerm& term : query) {
        if (term.postings == nullptr) continue;
        const float idf = term.idf;
        if (dense) {
            for (const Posting& posting : *term.postings) {
                const float weight = term_weight(posting.term_frequency, norm_of(posting.slot), idf);
                score[posting.slot] = score[posting.slot] + weight;
            }
            continue;
        }
        for (const Posting& posting : *term.postings) {
            const float weight = term_weight(posting.term_frequency, norm_of(posting.slot), idf);
            if (stamp[posting.slot] != epoch) {
                stamp[posting.slot] = epoch;
                score[posting.slot] = 0.0f;
                touched_slots_.push_back(posting.slot);  // within reserved capacity
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
        for (const DocSlot slot : touched_slots_) offer(slot);
    }
    return top.take_sorted();
}

std::vector<RankedHit> BM25Indexer::rank(std::string_view query, std::size_t limit) const {
    if (documents_.empty() || limit == 0) return {};
    return rank_terms(resolve_query(tokenize(query)), limit);
}

std::vector<SearchResult> BM25Indexer::search(std::string_view query, std::size_t limit) const {
    if (documents_.empty() || limit == 0) return {};
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
            if (terms[i].postings == nullptr) continue;
            const auto at = find_posting(*terms[i].postings, hit.slot);
            if (at != terms[i].postings->end() && at->slot == hit.slot) {
                result.matched_terms.push_back(tokens[i]);
            }
        }
        results.push_back(std::move(result));
    }
    return results;
}

std::uint32_t BM25Indexer::doc_freq(std::string_view term) const {
    const TermId id = term_ids_.find(term);
    return id == TermDictionary::kNotFound ? 0 : static_cast<std::uint32_t>(postings_[id].size());
}

std::uint64_t BM25Indexer::doc_length(std::string_view id) const {
    const std::uint32_t slot = slots_.find(
        id, text::hash_text(id),
        [this](std::uint32_t s) -> std::string_view { return documents_[s].id; });
    return slot == IndexTable::kAbsent ? 0 : documents_[slot].length;
}

std::vector<std::string> BM25Indexer::terms() const {
    std::vector<std::string> result;
    result.reserve(term_ids_.size());
    for (TermId id = 0; id < term_ids_.id_bound(); ++id) {
        if (term_ids_.contains_id(id)) result.push_back(term_ids_.text(id));
    }
    return result;
}

std::vector<std::pair<DocSlot, std::uint32_t>> BM25Indexer::postings(std::string_view term) const {
    std::vector<std::pair<DocSlot, std::uint32_t>> result;
    const TermId id = term_ids_.find(term);
    if (id == TermDictionary::kNotFound) return result;
    for (const Posting& posting : postings_[id]) {
        result.emplace_back(posting.slot, posting.term_frequency);
    }
    return result;
}

std::size_t BM25Indexer::posting_bytes() const {
    std::size_t bytes = 0;
    for (const PostingList& list : postings_) bytes += list.capacity() * sizeof(Posting);
    for (const StoredDocument& document : documents_) {
        bytes += document.terms.capacity() * sizeof(TermId);
    }
    return bytes;
}

}  // namespace revuradova
