#include "postings/search.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <list>
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
    static constexpr std::uint32_t kTf = 4;
    static constexpr std::uint32_t kLength = 1024;

public:
    TermWeights(float avg_doc_length, float idf)
        : avg_doc_length_(avg_doc_length), idf_(idf), cache_(kTf * kLength, -1.0f) {}

    float operator()(std::uint32_t tf, std::uint32_t length) {
        if (tf > kTf || length >= kLength) return compute(tf, length);
        float& weight = cache_[(tf - 1) * kLength + length];
        if (weight < 0.0f) weight = compute(tf, length);  // every weight is >= 0
        return weight;
    }

    float compute(std::uint32_t tf, std::uint32_t length) const {
        const float k =
            BM25Scorer::length_normalisation(static_cast<float>(length), avg_doc_length_);
        return BM25Scorer::term_weight(tf, k, idf_);
    }

private:
    float avg_doc_length_;
    float idf_;
    std::vector<float> cache_;
};

/// A posting as the query needs it: the document and its weight for the term.
struct Scored {
    DocId id;
    float weight;
};

/// One query term's blocks over all its segments, in id order, each with an upper bound of
/// its weights, and a cursor that decodes (and checks) a block only when asked for a
/// posting in it.
class TermCursor {
public:
    TermCursor(std::vector<BlockInfo> blocks, float avg_doc_length, float idf,
               const DeletedIds& deleted)
        : blocks_(std::move(blocks)),
          weight_of_(avg_doc_length, idf),
          deleted_at_(deleted.ids().data()),
          deleted_end_(deleted_at_ + deleted.ids().size()) {
        bounds_.reserve(blocks_.size());
        for (const BlockInfo& block : blocks_) {
            // The weight of (max tf, length bound) is, computed exactly, at least each of the
            // block's weights (see postings_codec.hpp). Computed in floats, each weight is
            // within a few roundings of its exact value (the idf and avgdl being the same):
            // the margin covers them.
            const float weight = weight_of_.compute(block.max_tf, block.length_bound);
            const float bound = weight * (1.0f + 0x1p-16f);
            bounds_.push_back(bound);
            max_bound_ = std::max(max_bound_, bound);
        }
    }

    float max_bound() const { return max_bound_; }
    bool exhausted() const { return block_ == blocks_.size(); }
    const BlockInfo& block() const { return blocks_[block_]; }
    float block_bound() const { return bounds_[block_]; }

    /// Moves to the first block that may hold `target` or a later id, without decoding it.
    void shallow(DocId target) {
        while (block_ < blocks_.size() && blocks_[block_].last_id < target) ++block_;
    }

    /// The first live posting with an id in [target, limit], or nullptr; decodes only blocks
    /// that start at or below `limit`.
    const Scored* seek(DocId target, DocId limit) {
        for (;;) {
            shallow(target);
            if (block_ == blocks_.size() || blocks_[block_].first_id > limit) return nullptr;
            if (decoded_ != block_) decode();
            while (at_ < size_ && live_[at_].id < target) ++at_;
            if (at_ < size_) return live_[at_].id <= limit ? &live_[at_] : nullptr;
            ++block_;
        }
    }

    /// The live posting after the one seek() returned last, if its id is at most `limit`.
    const Scored* next(DocId limit) {
        const DocId after = live_[at_].id + 1;
        if (++at_ < size_) return live_[at_].id <= limit ? &live_[at_] : nullptr;
        return seek(after, limit);
    }

private:
    void decode() {
        const BlockInfo& block = blocks_[block_];
        decode_block(block, postings_.data());
        deleted_at_ =
            std::lower_bound(deleted_at_, deleted_end_, static_cast<std::int64_t>(block.first_id));
        size_ = 0;
        for (std::uint32_t i = 0; i < block.count; ++i) {
            const Posting& posting = postings_[i];
            const auto id = static_cast<std::int64_t>(posting.id);  // below 2**63
            while (deleted_at_ != deleted_end_ && *deleted_at_ < id) ++deleted_at_;
            if (deleted_at_ != deleted_end_ && *deleted_at_ == id) continue;
            live_[size_++] = Scored{posting.id, weight_of_(posting.tf, posting.length)};
        }
        at_ = 0;
        decoded_ = block_;
    }

    std::vector<BlockInfo> blocks_;
    std::vector<float> bounds_;
    float max_bound_ = 0.0f;
    TermWeights weight_of_;
    const std::int64_t* deleted_at_;
    const std::int64_t* deleted_end_;
    std::size_t block_ = 0;
    std::size_t decoded_ = std::numeric_limits<std::size_t>::max();
    std::array<Posting, kBlockSize> postings_;
    std::array<Scored, kBlockSize> live_;
    std::size_t at_ = 0;
    std::size_t size_ = 0;
};

/// A term's blocks over its segments, in id order. Segments usually cover separate id
/// ranges, and their blocks then follow one another; when two overlap, the term's live
/// postings are merged (a live document in two of them is corrupt) and encoded again into
/// `owned`, whose blocks are returned.
std::vector<BlockInfo> open_term(const QueryTerm& term, const DeletedIds& deleted,
                                 std::list<std::string>& owned) {
    std::vector<std::vector<BlockInfo>> segments;
    segments.reserve(term.blobs.size());
    for (const std::string_view blob : term.blobs) {
        segments.push_back(read_header(blob));
        if (segments.back().empty()) segments.pop_back();
    }
    std::sort(segments.begin(), segments.end(),
              [](const auto& a, const auto& b) { return a.front().first_id < b.front().first_id; });
    bool separate = true;
    std::size_t total = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        total += segments[s].size();
        if (s > 0 && segments[s - 1].back().last_id >= segments[s].front().first_id) {
            separate = false;
        }
    }
    std::vector<BlockInfo> blocks;
    if (separate) {
        blocks.reserve(total);
        for (const auto& segment : segments)
            blocks.insert(blocks.end(), segment.begin(), segment.end());
        return blocks;
    }
    std::vector<std::vector<Posting>> runs;
    for (const auto& segment : segments) {
        std::vector<Posting>& run = runs.emplace_back();
        std::array<Posting, kBlockSize> postings;
        DeletedIds::Cursor cursor(deleted);
        for (const BlockInfo& block : segment) {
            decode_block(block, postings.data());
            for (std::uint32_t i = 0; i < block.count; ++i) {
                if (!cursor.deleted(postings[i].id)) run.push_back(postings[i]);
            }
        }
    }
    const std::vector<Posting> merged = merge_runs(runs, [](const Posting& p) { return p.id; });
    return read_header(owned.emplace_back(encode_postings(merged)));
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
    std::list<std::string> owned;  // the blobs of terms whose segments overlap, merged
    std::vector<TermCursor> cursors;
    cursors.reserve(m);
    for (const QueryTerm& term : terms) {
        const float idf = BM25Scorer::inverse_document_frequency(doc_count, term.doc_freq);
        cursors.emplace_back(open_term(term, deleted, owned), avg_doc_length, idf, deleted);
    }

    // Block-max MaxScore. With df <= N every weight is >= 0, and float addition is monotone,
    // so a document's score is at most the same sum, in the same order, of bounds of its
    // terms' weights. Ids are visited in ascending order, so a candidate loses every tie
    // with a kept entry: once the heap is full, it enters only with a score above the worst
    // kept one.
    // The ids are cut into windows in which every term's bound is constant: within one block
    // of each term that has a block there, and between the blocks of the others (a bound of
    // 0). A window whose bounds cannot beat the threshold is passed over without decoding a
    // block. In the others, the terms whose bounds, summed, cannot beat it are
    // "non-essential": their documents are only looked up, and their blocks decoded only
    // for a candidate that could still enter.
    std::priority_queue<Hit, std::vector<Hit>, WorstOnTop> heap;
    bool full = false;
    float threshold = 0.0f;  // once full: the worst kept score, which a later id must beat
    float global_bound = 0.0f;
    for (const TermCursor& cursor : cursors) global_bound += cursor.max_bound();
    std::vector<float> window_bound(m);
    std::vector<char> covers(m);     // the term has a block over the window
    std::vector<char> essential(m);  // among those, the ones whose documents are enumerated
    std::vector<std::size_t> by_bound(m);
    std::vector<const Scored*> current(m);  // an essential term's next posting in the window
    std::vector<float> weights(m);          // this candidate's weight per term, -1 if absent
    std::vector<char> resolved(m);          // the non-essential terms looked up for this candidate
    std::vector<std::size_t> lookups;       // the window's non-essential terms, highest bound first
    constexpr DocId kNone = std::numeric_limits<DocId>::max();
    DocId low = 0;
    while (!(full && !(global_bound > threshold))) {
        DocId high = kMaxDocId;
        bool any = false;
        float total = 0.0f;
        for (std::size_t i = 0; i < m; ++i) {
            TermCursor& cursor = cursors[i];
            cursor.shallow(low);
            covers[i] = 0;
            window_bound[i] = 0.0f;
            if (cursor.exhausted()) continue;
            const BlockInfo& block = cursor.block();
            if (block.first_id > low) {
                high = std::min(high, block.first_id - 1);
                any = true;
                continue;
            }
            high = std::min(high, block.last_id);
            covers[i] = 1;
            window_bound[i] = cursor.block_bound();
            total += window_bound[i];
        }
        if (!any && std::find(covers.begin(), covers.end(), 1) == covers.end()) break;
        const bool worth = std::find(covers.begin(), covers.end(), 1) != covers.end() &&
                           !(full && !(total > threshold));
        if (worth) {
            // The most terms, lowest bounds first, whose bounds summed (in the terms' order)
            // cannot beat the threshold.
            for (std::size_t i = 0; i < m; ++i) by_bound[i] = i;
            std::stable_sort(by_bound.begin(), by_bound.end(), [&](std::size_t a, std::size_t b) {
                return window_bound[a] < window_bound[b];
            });
            std::fill(essential.begin(), essential.end(), 1);
            if (full) {
                for (std::size_t p = 1; p <= m; ++p) {
                    essential[by_bound[p - 1]] = 0;
                    float sum = 0.0f;
                    for (std::size_t i = 0; i < m; ++i) {
                        if (essential[i] == 0) sum += window_bound[i];
                    }
                    if (sum > threshold) {
                        essential[by_bound[p - 1]] = 1;
                        break;
                    }
                }
            }
            lookups.clear();
            for (auto r = by_bound.rbegin(); r != by_bound.rend(); ++r) {
                if (covers[*r] != 0 && essential[*r] == 0) lookups.push_back(*r);
            }
            for (std::size_t i = 0; i < m; ++i) {
                if (covers[i] == 0) essential[i] = 0;
                current[i] = essential[i] != 0 ? cursors[i].seek(low, high) : nullptr;
            }
            // A candidate whose essential weights are in `weights`, and `bound`, the sum in
            // the terms' order of those and of the non-essential terms' window bounds, which
            // the callers have checked against the threshold.
            const auto consider = [&](DocId candidate, float bound) {
                float score = bound;  // exact while every covering term is essential
                if (!lookups.empty()) {
                    // The non-essential terms looked up highest bound first, each weight
                    // found taking its bound's place, until the candidate is out of reach.
                    bool out = false;
                    for (const std::size_t j : lookups) {
                        const Scored* found = cursors[j].seek(candidate, candidate);
                        weights[j] = found != nullptr ? found->weight : -1.0f;
                        resolved[j] = 1;
                        if (!full) continue;
                        float refined = 0.0f;
                        for (std::size_t i = 0; i < m; ++i) {
                            if (covers[i] == 0) continue;
                            if (essential[i] != 0 || resolved[i] != 0) {
                                if (weights[i] >= 0.0f) refined += weights[i];
                            } else {
                                refined += window_bound[i];
                            }
                        }
                        if (!(refined > threshold)) {
                            out = true;
                            break;
                        }
                    }
                    for (const std::size_t j : lookups) resolved[j] = 0;
                    if (out) return;
                    score = 0.0f;
                    for (std::size_t i = 0; i < m; ++i) {
                        if (covers[i] != 0 && weights[i] >= 0.0f) score += weights[i];
                    }
                }
                if (full) {
                    if (!(score > threshold)) return;
                    heap.pop();
                }
                heap.push(Hit{candidate, score});
                if (heap.size() >= limit) {
                    full = true;
                    threshold = heap.top().score;
                }
            };
            std::size_t essentials = 0;
            std::size_t single = 0;
            for (std::size_t i = 0; i < m; ++i) {
                if (essential[i] != 0) {
                    ++essentials;
                    single = i;
                }
            }
            if (essentials == 1) {
                // The usual case, and the whole of a one-term query: one list enumerates.
                float before = 0.0f;  // the bounds summed ahead of its weight
                for (std::size_t i = 0; i < single; ++i) {
                    if (covers[i] != 0) before += window_bound[i];
                }
                TermCursor& cursor = cursors[single];
                for (const Scored* at = current[single]; at != nullptr; at = cursor.next(high)) {
                    float bound = before + at->weight;
                    for (std::size_t i = single + 1; i < m; ++i) {
                        if (covers[i] != 0) bound += window_bound[i];
                    }
                    if (full && !(bound > threshold)) continue;  // most, once full
                    weights[single] = at->weight;
                    consider(at->id, bound);
                }
            } else {
                for (;;) {
                    DocId candidate = kNone;
                    for (std::size_t i = 0; i < m; ++i) {
                        if (current[i] != nullptr) candidate = std::min(candidate, current[i]->id);
                    }
                    if (candidate == kNone) break;
                    float bound = 0.0f;
                    for (std::size_t i = 0; i < m; ++i) {
                        if (covers[i] == 0) continue;
                        if (essential[i] == 0) {
                            bound += window_bound[i];
                        } else if (current[i] != nullptr && current[i]->id == candidate) {
                            weights[i] = current[i]->weight;
                            bound += weights[i];
                            current[i] = cursors[i].next(high);
                        } else {
                            weights[i] = -1.0f;
                        }
                    }
                    if (full && !(bound > threshold)) continue;
                    consider(candidate, bound);
                }
            }
        }
        if (high == kMaxDocId) break;
        low = high + 1;
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
