#pragma once

// How a text becomes the terms of the stored index: the index's tokenizer with a chosen
// minimum token size, then, optionally, a stemmer applied to every kept token.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "indexing/tokenizer.hpp"
#include "postings/errors.hpp"
#include "text/english_stemmer.hpp"

namespace revuradova::postings {

enum class Stemmer { none, english };

/// std::hash of the text, for lookups by string_view without a copy.
struct TermHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view term) const noexcept {
        return std::hash<std::string_view>{}(term);
    }
};
using TermSet = std::unordered_set<std::string, TermHash, std::equal_to<>>;

/// The stemmer called `name`; InvalidInput naming the accepted names otherwise.
Stemmer stemmer_named(std::string_view name);

/// Invariant: min_bytes >= 1.
class Analyzer {
public:
    /// InvalidInput when min_bytes is 0.
    Analyzer(std::size_t min_bytes, Stemmer stemmer);

    /// Calls `sink(std::string_view term, std::size_t begin, std::size_t end)` for every term
    /// of `text`, in order, with the bytes `text[begin, end)` it comes from. The view is
    /// valid only during the call.
    template <class Sink>
    void for_each_term(std::string_view text, Sink&& sink) {
        for_each_token_at(text, min_bytes_, token_,
                          [&](std::string_view token, std::size_t begin, std::size_t end) {
                              sink(stem(token), begin, end);
                          });
    }

    /// The terms of `text`, in order, repeats kept.
    std::vector<std::string> terms(std::string_view text);

    /// The [start, end) offsets, in code points, of every token of `text` whose term is in
    /// `wanted`, in order.
    std::vector<std::pair<std::size_t, std::size_t>> spans(std::string_view text,
                                                           const TermSet& wanted);

private:
    // Each distinct token is stemmed once per analyzer: a batch of texts repeats its words
    // many times, and a look-up costs a fraction of the stemmer's steps.
    std::string_view stem(std::string_view token) {
        if (stemmer_ == Stemmer::none) return token;
        auto found = stems_.find(token);
        if (found == stems_.end()) {
            std::string stemmed(token);
            text::stem_english(stemmed);
            found = stems_.emplace(std::string(token), std::move(stemmed)).first;
        }
        return found->second;
    }

    std::size_t min_bytes_;
    Stemmer stemmer_;
    std::string token_;
    std::unordered_map<std::string, std::string, TermHash, std::equal_to<>> stems_;
};

}  // namespace revuradova::postings
