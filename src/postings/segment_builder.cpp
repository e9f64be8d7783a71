#include "postings/segment_builder.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace revuradova::postings {
namespace {

void check_ids(std::span<const DocId> ids, std::size_t text_count) {
    if (ids.size() != text_count) {
        throw InvalidInput("ids and texts differ in length: " + std::to_string(ids.size()) +
                           " ids, " + std::to_string(text_count) + " texts");
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] > kMaxDocId) {
            throw InvalidInput("id " + std::to_string(ids[i]) + " is not below 2**63");
        }
        if (i > 0 && ids[i] <= ids[i - 1]) {
            throw InvalidInput("ids must be strictly ascending (at index " + std::to_string(i) +
                               ")");
        }
    }
}

}  // namespace

Segment build_segment(std::span<const DocId> ids, std::span<const std::string_view> texts,
                      Analyzer& analyzer) {
    check_ids(ids, texts.size());
    std::unordered_map<std::string, std::uint32_t, TermHash, std::equal_to<>> term_numbers;
    std::vector<std::string_view> term_texts;    // by number, pointing into the map's keys
    std::vector<std::vector<Posting>> postings;  // by number
    std::vector<std::uint32_t> text_terms;
    Segment segment;
    segment.lengths.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        text_terms.clear();
        analyzer.for_each_term(texts[i], [&](std::string_view term, std::size_t, std::size_t) {
            if (text_terms.size() == kMaxCount32) {
                throw InvalidInput("text " + std::to_string(i) + " has 2**32 terms or more");
            }
            auto found = term_numbers.find(term);
            if (found == term_numbers.end()) {
                const auto number = static_cast<std::uint32_t>(term_texts.size());
                found = term_numbers.emplace(std::string(term), number).first;
                term_texts.emplace_back(found->first);
                postings.emplace_back();
            }
            text_terms.push_back(found->second);
        });
        const auto length = static_cast<std::uint32_t>(text_terms.size());
        segment.lengths.push_back(length);
        std::sort(text_terms.begin(), text_terms.end());
        for (std::size_t run = 0; run < text_terms.size();) {
            std::size_t end = run + 1;
            while (end < text_terms.size() && text_terms[end] == text_terms[run]) ++end;
            postings[text_terms[run]].push_back(
                Posting{ids[i], static_cast<std::uint32_t>(end - run), length});
            run = end;
        }
    }
    std::vector<std::uint32_t> order(term_texts.size());
    std::iota(order.begin(), order.end(), 0u);
    // std::string_view compares as unsigned bytes: the order of the terms' UTF-8 bytes.
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return term_texts[a] < term_texts[b]; });
    segment.terms.reserve(order.size());
    for (const std::uint32_t number : order) {
        segment.terms.push_back(TermPostings{std::string(term_texts[number]),
                                             postings[number].size(),
                                             encode_postings(postings[number])});
    }
    return segment;
}

}  // namespace revuradova::postings
