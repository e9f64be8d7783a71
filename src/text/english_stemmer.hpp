#pragma once

// The English (Porter2) stemmer of the Snowball project, after its published description
// (Martin Porter, "The English (Porter2) stemming algorithm"): regions R1 and R2, the
// exceptional forms, then steps 1a to 5 on the word's suffixes.
//
// Words are ASCII lower-case letters and digits, as the tokenizer makes them; a word holding
// any other byte (a non-ASCII letter) is left as it is, and so is a word of one or two letters.

#include <string>
#include <string_view>

namespace revuradova::text {

/// Stems `word` in place.
void stem_english(std::string& word);

/// The stem of `word`.
inline std::string english_stem(std::string_view word) {
    std::string stem(word);
    stem_english(stem);
    return stem;
}

}  // namespace revuradova::text
