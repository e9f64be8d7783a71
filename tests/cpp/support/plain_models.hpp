#pragma once

// Plain models written from the documented rules, with none of the product's machinery:
// the oracles of the randomised tests and the fuzzers.

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "indexing/bm25_indexer.hpp"
#include "retrieval/progressive_filtering.hpp"
#include "text/unicode.hpp"

namespace revuradova::plain {

/// BM25 as a per-document scan: every stored document against every query token.
class Bm25Model {
public:
    void index(const std::string& id, const std::string& content) {
        const auto at = std::find(ids_.begin(), ids_.end(), id);
        auto tokens = BM25Indexer::tokenize(content);
        if (at == ids_.end()) {
            ids_.push_back(id);
            docs_.push_back(std::move(tokens));
        } else {
            docs_[static_cast<std::size_t>(at - ids_.begin())] = std::move(tokens);
        }
    }

    std::size_t doc_count() const { return docs_.size(); }

    std::map<std::string, std::uint32_t> doc_freqs() const {
        std::map<std::string, std::uint32_t> df;
        for (const auto& tokens : docs_) {
            for (const auto& t : std::set<std::string>(tokens.begin(), tokens.end())) ++df[t];
        }
        return df;
    }

    float avg_doc_length() const {
        if (docs_.empty()) return 0.0f;
        std::uint64_t total = 0;
        for (const auto& tokens : docs_) total += tokens.size();
        return static_cast<float>(total) / static_cast<float>(docs_.size());
    }

    /// (id, score) hits, best first, ties in order of first indexing; at most `limit`.
    std::vector<std::pair<std::string, float>> search(const std::string& query,
                                                      std::size_t limit) const {
        const auto q = BM25Indexer::tokenize(query);
        const auto df = doc_freqs();
        const float n = static_cast<float>(docs_.size());
        const float avgdl = avg_doc_length();
        std::vector<std::pair<std::string, float>> hits;
        for (std::size_t d = 0; d < docs_.size(); ++d) {
            const auto& tokens = docs_[d];
            const float k = ((static_cast<float>(tokens.size()) / avgdl) * 0.75f + 0.25f) * 1.5f;
            float score = 0.0f;
            for (const std::string& t : q) {
                const auto found = df.find(t);
                if (found == df.end()) continue;
                const float f = static_cast<float>(found->second);
                const float idf = std::log(((n - f) + 0.5f) / (f + 0.5f) + 1.0f);
                const auto tf = static_cast<float>(std::count(tokens.begin(), tokens.end(), t));
                score = score + ((tf * 2.5f) / (k + tf)) * idf;
            }
            if (score > 0.0f) hits.emplace_back(ids_[d], score);
        }
        std::stable_sort(hits.begin(), hits.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        if (hits.size() > limit) hits.resize(limit);
        return hits;
    }

private:
    std::vector<std::string> ids_;  // in order of first indexing
    std::vector<std::vector<std::string>> docs_;
};

/// The four stages with linear lookups, identifiers in and out.
struct FilterModel {
    using Docs = std::vector<const KnowledgeObject*>;
    using Ids = std::vector<std::string>;

    static const KnowledgeObject* first(const Docs& docs, const std::string& id) {
        for (const KnowledgeObject* d : docs) {
            if (d->id == id) return d;
        }
        return nullptr;
    }

    static Ids stage1(const QueryContext& c, const Docs& docs) {
        Ids kept;
        for (const KnowledgeObject* d : docs) {
            bool pass = true;
            if (c.intent == QueryIntent::ProcedureGuidance) {
                pass = d->knowledge_type == KnowledgeType::Procedure;
            } else if (c.intent == QueryIntent::ComplianceCheck) {
                pass = d->knowledge_type == KnowledgeType::Policy ||
                       d->domain.find("compliance") != std::string::npos;
            } else if (c.intent == QueryIntent::Definition) {
                pass = d->knowledge_type == KnowledgeType::Definition;
            }
            if (pass) kept.push_back(d->id);
        }
        return kept;
    }

    static Ids stage2(const QueryContext& c, const Docs& docs, const Ids& ids) {
        Ids kept;
        for (const std::string& id : ids) {
            bool domain_ok = c.domains.empty();
            bool type_ok = c.knowledge_types.empty();
            for (const KnowledgeObject* d : docs) {
                if (d->id != id) continue;
                for (const auto& domain : c.domains) {
                    if (d->domain.find(domain) != std::string::npos) domain_ok = true;
                }
                for (const auto type : c.knowledge_types) {
                    if (d->knowledge_type == type) type_ok = true;
                }
            }
            if (domain_ok && type_ok) kept.push_back(id);
        }
        return kept;
    }

    static Ids stage3(const QueryContext& c, const Docs& docs, const Ids& ids,
                      const UtcTimestamp& now) {
        Ids kept;
        for (const std::string& id : ids) {
            const KnowledgeObject* d = first(docs, id);
            if (d == nullptr) continue;
            if (c.time_range && c.time_range->start && d->created_at < *c.time_range->start)
                continue;
            if (c.time_range && c.time_range->end && d->created_at > *c.time_range->end) continue;
            if (d->valid_until && now > *d->valid_until) continue;
            if (d->valid_from && now < *d->valid_from) continue;
            kept.push_back(id);
        }
        return kept;
    }

    static float score(const QueryContext& c, const std::string& content) {
        const std::string lowered = text::to_lowercase(content);
        float s = 0.0f;
        for (const auto term : text::split_white_space(c.query)) {
            if (lowered.find(text::to_lowercase(term)) != std::string::npos) s = s + 1.0f;
        }
        for (const auto& entity : c.entities) {
            if (content.find(entity) != std::string::npos) s = s + 2.0f;
        }
        if (!content.empty()) s = s / std::sqrt(static_cast<float>(content.size()));
        return s;
    }

    static Ids stage4(const QueryContext& c, const Docs& docs, const Ids& ids,
                      std::uint64_t limit) {
        std::vector<std::pair<std::string, float>> scored;
        for (const std::string& id : ids) {
            if (const KnowledgeObject* d = first(docs, id))
                scored.emplace_back(id, score(c, d->content));
        }
        std::stable_sort(scored.begin(), scored.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        Ids kept;
        for (std::size_t i = 0; i < scored.size() && i < limit; ++i)
            kept.push_back(scored[i].first);
        return kept;
    }
};

}  // namespace revuradova::plain
