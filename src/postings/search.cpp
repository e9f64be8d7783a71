#include "postings/search.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <queue>
#include <string>

#include "indexing/bm25_scorer.hpp"
#include "postings/merge_runs.hpp"
#include "postings/postings_codec.hpp"

namespace revuradova::postings {
namespace {

/// A term's weights by (tf, length), each computed once for the common small pairs: most
/// postings of a short-passage base have a tf below 5 and a length below 1024, and a table
/// look-up costs less than the formula's two divisions.
class TermWeights {
public:
    TermWeights(float avg_doc_length, float idf)
        : avg_doc_length_(avg_doc_length), idf_(idf), cache_(kTf * kLength, -1.0f) {}

    float operator()(std::uint32_t tf, std::uint32_t length) {
        if (tf > kTf || length >= kLength) return compute(tf, length);
        float& weight = cache_[(tf - 1) * kLength + length];
        if (weight < 0.0f) weight = compute(tf, length);  // every weight is >= 0
        return weight;
    }

private:
    static constexpr std::uint32_t kTf = 4;
    static constexpr std::uint32_t kLength = 1024;

    float compute(std::uint32_t tf, std::uint32_t length) const {
        const float k =
            BM25Scorer::length_normalisation(static_cast<float>(length), avg_doc_length_);
        return BM25Scorer::term_weight(tf, k, idf_);
    }

    float avg_doc_length_;
    float idf_;
    std::vector<float> cache_;
};

/// A posting as the query needs it: the document and its weight for the term.
struct Scored {
    DocId id;
    float weight;
};

/// One query term's live postings in id order, the highest weight among them, and a cursor.
/// Every blob is decoded whole, weights computed in the same tight loop: a corrupt byte is
/// reported wherever it is, and the loop runs faster than cursors decoding side by side.
struct TermList {
    Scored* postings = nullptr;  // `size` of them, in the query's one buffer
    std::size_t size = 0;
    float max_weight = 0.0f;
    const Scored* at = nullptr;  // the cursor, once loaded
    const Scored* end = nullptr;

    /// Moves to the first posting with an id >= `target`, galloping from the cursor.
    void seek(DocId target) {
        std::size_t step = 1;
        const Scored* low = at;
        const Scored* high = at;
        while (high < end && high->id < target) {
            low = high + 1;
            high = static_cast<std::size_t>(end - high) > step ? high + step : end;
            step *= 2;
        }
        at = std::lower_bound(low, high, target,
                              [](const Scored& s, DocId id) { return s.id < id; });
    }
};

/// Writes the live postings of `reader`, from `posting` (its first) on, to `out`, and
/// returns the end of what it wrote. The reader, the cursor and the running maximum are
/// copies: kept in registers, not stored back on every posting.
Scored* append_live(PostingsReader reader, Posting posting, DeletedIds::Cursor deleted,
                    TermWeights& weight_of, Scored* out, float& max_weight) {
    float highest = max_weight;
    do {
        if (deleted.deleted(posting.id)) continue;
        const float weight = weight_of(posting.tf, posting.length);
        highest = std::max(highest, weight);
        *out++ = Scored{posting.id, weight};
    } while (reader.next(posting));
    max_weight = highest;
    return out;
}

/// A term's blobs, checked and ordered by their first ids: segments usually cover separate
/// id ranges, and read in that order they append to one list already sorted.
struct OpenedTerm {
    struct Segment {
        PostingsReader reader;
        Posting first{};
        bool empty = false;
    };
    std::vector<Segment> segments;
    std::size_t total = 0;  // postings, deleted ones included
};

OpenedTerm open_term(const QueryTerm& term) {
    OpenedTerm opened;
    opened.segments.reserve(term.blobs.size());
    for (const std::string_view blob : term.blobs) {
        auto& segment = opened.segments.emplace_back(OpenedTerm::Segment{PostingsReader(blob)});
        segment.empty = !segment.reader.next(segment.first);
        opened.total += segment.reader.size();
    }
    std::sort(opened.segments.begin(), opened.segments.end(),
              [](const auto& a, const auto& b) { return a.first.id < b.first.id; });
    return opened;
}

/// The live postings of `opened`, written from `begin` (room for opened.total), in id order;
/// overlapping segments are merged after reading.
TermList load_term(OpenedTerm& opened, float avg_doc_length, float idf, const DeletedIds& deleted,
                   Scored* begin) {
    TermWeights weight_of(avg_doc_length, idf);
    TermList list;
    list.postings = begin;
    Scored* end = begin;
    std::vector<std::size_t> run_ends;
    bool separate = true;
    for (OpenedTerm::Segment& segment : opened.segments) {
        if (segment.empty) continue;
        if (end != begin && (end - 1)->id >= segment.first.id) separate = false;
        end = append_live(segment.reader, segment.first, DeletedIds::Cursor(deleted), weight_of,
                          end, list.max_weight);
        run_ends.push_back(static_cast<std::size_t>(end - begin));
    }
    list.size = static_cast<std::size_t>(end - begin);
    list.at = begin;
    list.end = end;
    if (!separate) {
        std::vector<std::vector<Scored>> runs;
        std::size_t run_begin = 0;
        for (const std::size_t run_end : run_ends) {
            runs.emplace_back(begin + run_begin, begin + run_end);
            run_begin = run_end;
        }
        const std::vector<Scored> merged = merge_runs(runs, [](const Scored& s) { return s.id; });
        std::copy(merged.begin(), merged.end(), begin);
    }
    return list;
}

/// Best first: higher score, then lower id.
bool better(const Hit& a, const Hit& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.id < b.id;
}

struct WorstOnTop {
    bool operator()(const Hit& a, const Hit& b) const { return better(a, b); }
};

}  // namespace

std::vector<Hit> search_postings(std::span<const QueryTerm> terms, std::uint64_t doc_count,
                                 std::uint64_t total_length, const DeletedIds& deleted,
                                 std::size_t limit) {
    if (doc_count == 0 || limit == 0 || terms.empty()) return {};
    // A df above N would make an idf of log(0) = -inf, and a weight of 0 * -inf a NaN.
    for (const QueryTerm& term : terms) {
        if (term.doc_freq > doc_count) {
            throw InvalidInput("a document frequency (" + std::to_string(term.doc_freq) +
                               ") above the document count (" + std::to_string(doc_count) + ")");
        }
    }
    const float avg_doc_length = static_cast<float>(total_length) / static_cast<float>(doc_count);
    const std::size_t m = terms.size();
    std::vector<OpenedTerm> opened;
    opened.reserve(m);
    std::size_t total = 0;
    for (const QueryTerm& term : terms) {
        opened.push_back(open_term(term));
        total += opened.back().total;
    }
    // One buffer for the whole query, left uninitialised (every slot is written before it is
    // read): the allocator then keeps it from one query to the next, where one buffer per term
    // would be handed back to the system and faulted in again each time.
    const std::unique_ptr<Scored[]> buffer(new Scored[total]);
    std::vector<TermList> cursors;
    cursors.reserve(m);
    Scored* next = buffer.get();
    for (std::size_t i = 0; i < m; ++i) {
        const float idf = BM25Scorer::inverse_document_frequency(doc_count, terms[i].doc_freq);
        cursors.push_back(load_term(opened[i], avg_doc_length, idf, deleted, next));
        next += opened[i].total;
    }

    // MaxScore: with df <= N every weight is >= 0, and float addition is monotone, so a
    // document's score is at most the same sum, in the same order, of each term's highest
    // weight.
    // Once the heap is full, a later document (a higher id, so it loses ties) enters only by
    // scoring above the worst kept one. The terms whose bounds, summed, cannot beat that are
    // "non-essential": their documents are only looked up, never enumerated.
    std::vector<std::size_t> rank(m);  // position of each term when ordered by highest weight
    {
        std::vector<std::size_t> by_bound(m);
        for (std::size_t i = 0; i < m; ++i) by_bound[i] = i;
        std::stable_sort(by_bound.begin(), by_bound.end(), [&](std::size_t a, std::size_t b) {
            return cursors[a].max_weight < cursors[b].max_weight;
        });
        for (std::size_t r = 0; r < m; ++r) rank[by_bound[r]] = r;
    }
    std::vector<float> prefix_bound(m + 1);  // bound of a document in the p lowest terms only
    for (std::size_t p = 0; p <= m; ++p) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < m; ++i) {
            if (rank[i] < p) sum += cursors[i].max_weight;
        }
        prefix_bound[p] = sum;
    }
    std::size_t non_essential = 0;  // terms of rank below this are non-essential
    // Ids come in ascending order, so a candidate loses every tie with a kept entry: once the
    // heap is full, it enters only with a score above the worst kept one.

    std::vector<char> essential(m, 1);  // rank >= non_essential
    std::priority_queue<Hit, std::vector<Hit>, WorstOnTop> heap;
    bool full = false;
    float threshold = 0.0f;         // once full: the worst kept score, which a later id must beat
    std::vector<float> weights(m);  // this candidate's weight per essential term, -1 if absent
    for (;;) {
        DocId candidate = std::numeric_limits<DocId>::max();  // above every id
        for (std::size_t i = 0; i < m; ++i) {
            const TermList& list = cursors[i];
            if (essential[i] != 0 && list.at != list.end) {
                candidate = std::min(candidate, list.at->id);
            }
        }
        if (candidate == std::numeric_limits<DocId>::max()) break;
        float bound = 0.0f;
        for (std::size_t i = 0; i < m; ++i) {
            TermList& list = cursors[i];
            if (essential[i] == 0) {
                bound += list.max_weight;
            } else if (list.at != list.end && list.at->id == candidate) {
                weights[i] = list.at->weight;
                bound += weights[i];
                ++list.at;
            } else {
                weights[i] = -1.0f;
            }
        }
        float score = bound;  // exact while every term is essential
        if (non_essential > 0) {
            if (full && !(bound > threshold)) continue;
            score = 0.0f;
            for (std::size_t i = 0; i < m; ++i) {
                TermList& list = cursors[i];
                if (essential[i] != 0) {
                    if (weights[i] >= 0.0f) score += weights[i];
                    continue;
                }
                list.seek(candidate);
                if (list.at != list.end && list.at->id == candidate) score += list.at->weight;
            }
        }
        if (full) {
            if (!(score > threshold)) continue;
            heap.pop();
        }
        heap.push(Hit{candidate, score});
        if (heap.size() >= limit) {
            full = true;
            threshold = heap.top().score;
            while (non_essential < m && !(prefix_bound[non_essential + 1] > threshold)) {
                ++non_essential;
            }
            for (std::size_t i = 0; i < m; ++i) essential[i] = rank[i] >= non_essential ? 1 : 0;
            if (non_essential == m) break;
        }
    }
    std::vector<Hit> hits;
    hits.reserve(heap.size());
    while (!heap.empty()) {
        hits.push_back(heap.top());
        heap.pop();
    }
    std::reverse(hits.begin(), hits.end());
    return hits;
}

}  // namespace revuradova::postings
