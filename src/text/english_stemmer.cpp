#include "text/english_stemmer.hpp"

#include <array>
#include <cstddef>

namespace revuradova::text {
namespace {

// 'Y' marks a y that acts as a consonant (first letter, or after a vowel); it is no vowel.
bool is_vowel(char c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'y';
}

bool ends_with(const std::string& word, std::string_view suffix) {
    return word.size() >= suffix.size() &&
           std::string_view(word).substr(word.size() - suffix.size()) == suffix;
}

void replace_suffix(std::string& word, std::size_t suffix_size, std::string_view with) {
    word.resize(word.size() - suffix_size);
    word.append(with);
}

bool is_double(char a, char b) {
    return a == b && (a == 'b' || a == 'd' || a == 'f' || a == 'g' || a == 'm' || a == 'n' ||
                      a == 'p' || a == 'r' || a == 't');
}

bool is_li_ending(char c) {
    return c == 'c' || c == 'd' || c == 'e' || c == 'g' || c == 'h' || c == 'k' || c == 'm' ||
           c == 'n' || c == 'r' || c == 't';
}

/// Whether word[0, end) ends in a short syllable: a non-vowel other than w, x and Y after a
/// vowel after a non-vowel, or a vowel at the start followed by a non-vowel; "past" counts as
/// one too (paste, pasting and pasted keep their e).
bool short_syllable_before(const std::string& word, std::size_t end) {
    if (end == 4 && std::string_view(word).substr(0, 4) == "past") return true;
    if (end >= 3) {
        const char last = word[end - 1];
        return !is_vowel(last) && last != 'w' && last != 'x' && last != 'Y' &&
               is_vowel(word[end - 2]) && !is_vowel(word[end - 3]);
    }
    return end == 2 && !is_vowel(word[1]) && is_vowel(word[0]);
}

/// The start of the region after the first non-vowel following a vowel, from `from`.
std::size_t region_after(const std::string& word, std::size_t from) {
    std::size_t i = from;
    while (i < word.size() && !is_vowel(word[i])) ++i;
    while (i < word.size() && is_vowel(word[i])) ++i;
    return i < word.size() ? i + 1 : word.size();
}

/// The longest of `suffixes` that `word` ends with, as an index into them, or -1.
template <std::size_t N>
int longest_suffix(const std::string& word, const std::array<std::string_view, N>& suffixes) {
    int found = -1;
    for (std::size_t i = 0; i < N; ++i) {
        if (ends_with(word, suffixes[i]) &&
            (found < 0 || suffixes[i].size() > suffixes[static_cast<std::size_t>(found)].size())) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

struct Regions {
    std::size_t r1;
    std::size_t r2;
};

/// Words stemmed as a whole, before any step; an empty stem leaves the word as it is.
struct Exception {
    std::string_view word;
    std::string_view stem;
};
constexpr std::array<Exception, 18> kExceptions{{
    {"skis", "ski"},
    {"skies", "sky"},
    {"dying", "die"},
    {"lying", "lie"},
    {"tying", "tie"},
    {"idly", "idl"},
    {"gently", "gentl"},
    {"ugly", "ugli"},
    {"early", "earli"},
    {"only", "onli"},
    {"singly", "singl"},
    {"sky", ""},
    {"news", ""},
    {"howe", ""},
    {"atlas", ""},
    {"cosmos", ""},
    {"bias", ""},
    {"andes", ""},
}};

/// Words left as they are after step 1a.
constexpr std::array<std::string_view, 9> kAfterStep1a{
    "inning", "outing", "canning", "herring", "earring", "proceed", "exceed", "succeed", "evening",
};

Regions mark_regions(const std::string& word) {
    std::size_t r1 = 0;
    // Prefixes whose R1 starts right after them, so that "general" and "generous", or
    // "universal" and "university", keep apart.
    for (const std::string_view prefix :
         {"gener", "commun", "arsen", "past", "univers", "later", "emerg", "organ", "inter"}) {
        if (word.starts_with(prefix)) r1 = prefix.size();
    }
    if (r1 == 0) r1 = region_after(word, 0);
    return Regions{r1, region_after(word, r1)};
}

void step_1a(std::string& word) {
    if (ends_with(word, "sses")) {
        replace_suffix(word, 4, "ss");
    } else if (ends_with(word, "ied") || ends_with(word, "ies")) {
        replace_suffix(word, 3, word.size() > 4 ? "i" : "ie");
    } else if (ends_with(word, "us") || ends_with(word, "ss")) {
        // kept
    } else if (ends_with(word, "s")) {
        // A vowel before the letter that precedes the s.
        for (std::size_t i = 0; i + 2 < word.size(); ++i) {
            if (is_vowel(word[i])) {
                word.pop_back();
                break;
            }
        }
    }
}

void step_1b(std::string& word, const Regions& regions) {
    static constexpr std::array<std::string_view, 6> kSuffixes{"eed",  "eedly", "ed",
                                                               "edly", "ing",   "ingly"};
    const int found = longest_suffix(word, kSuffixes);
    if (found < 0) return;
    const std::size_t size = kSuffixes[static_cast<std::size_t>(found)].size();
    const std::size_t start = word.size() - size;
    if (found <= 1) {
        // proceedly, exceedly and succeedly keep their stem, as proceed, exceed and succeed do.
        const std::string_view stem = std::string_view(word).substr(0, start);
        if (stem == "proc" || stem == "exc" || stem == "succ") return;
        if (start >= regions.r1) replace_suffix(word, size, "ee");
        return;
    }
    if (found == 4 && word.size() == 5 && !is_vowel(word[0]) && word[1] == 'y') {
        // A consonant, y and ing: dying, vying, hying -> die, vie, hie.
        replace_suffix(word, 4, "ie");
        return;
    }
    bool vowel_before = false;
    for (std::size_t i = 0; i < start && !vowel_before; ++i) vowel_before = is_vowel(word[i]);
    if (!vowel_before) return;
    word.resize(start);
    if (ends_with(word, "at") || ends_with(word, "bl") || ends_with(word, "iz")) {
        word.push_back('e');
    } else if (word.size() >= 2 && is_double(word[word.size() - 2], word.back())) {
        // Three-letter words of a, e or o and a double keep it: add, egg, err, odd, ebb.
        const bool kept = word.size() == 3 && (word[0] == 'a' || word[0] == 'e' || word[0] == 'o');
        if (!kept) word.pop_back();
    } else if (word.size() == regions.r1 && short_syllable_before(word, word.size())) {
        word.push_back('e');
    }
}

void step_1c(std::string& word) {
    const std::size_t n = word.size();
    if (n >= 3 && (word[n - 1] == 'y' || word[n - 1] == 'Y') && !is_vowel(word[n - 2])) {
        word[n - 1] = 'i';
    }
}

void step_2(std::string& word, const Regions& regions) {
    static constexpr std::array<std::string_view, 25> kSuffixes{
        "tional", "enci",  "anci",  "abli",  "entli",   "izer",  "ization", "ational", "ation",
        "ator",   "alism", "aliti", "alli",  "fulness", "ousli", "ousness", "iveness", "iviti",
        "biliti", "bli",   "ogi",   "fulli", "lessli",  "li",    "ogist",
    };
    static constexpr std::array<std::string_view, 25> kReplacements{
        "tion", "ence", "ance", "able", "ent", "ize", "ize", "ate", "ate", "ate",  "al", "al", "al",
        "ful",  "ous",  "ous",  "ive",  "ive", "ble", "ble", "og",  "ful", "less", "",   "og",
    };
    const int found = longest_suffix(word, kSuffixes);
    if (found < 0) return;
    const auto index = static_cast<std::size_t>(found);
    const std::size_t size = kSuffixes[index].size();
    const std::size_t start = word.size() - size;
    if (start < regions.r1) return;
    const std::string_view suffix = kSuffixes[index];
    if (suffix == "ogi" && (start == 0 || word[start - 1] != 'l')) return;
    if (suffix == "li" && (start == 0 || !is_li_ending(word[start - 1]))) return;
    replace_suffix(word, size, kReplacements[index]);
}

void step_3(std::string& word, const Regions& regions) {
    static constexpr std::array<std::string_view, 9> kSuffixes{
        "tional", "ational", "alize", "icate", "iciti", "ical", "ful", "ness", "ative",
    };
    static constexpr std::array<std::string_view, 9> kReplacements{
        "tion", "ate", "al", "ic", "ic", "ic", "", "", "",
    };
    const int found = longest_suffix(word, kSuffixes);
    if (found < 0) return;
    const auto index = static_cast<std::size_t>(found);
    const std::size_t size = kSuffixes[index].size();
    const std::size_t start = word.size() - size;
    if (start < regions.r1) return;
    if (kSuffixes[index] == "ative" && start < regions.r2) return;
    replace_suffix(word, size, kReplacements[index]);
}

void step_4(std::string& word, const Regions& regions) {
    static constexpr std::array<std::string_view, 18> kSuffixes{
        "al",   "ance", "ence", "er",  "ic",  "able", "ible", "ant", "ement",
        "ment", "ent",  "ism",  "ate", "iti", "ous",  "ive",  "ize", "ion",
    };
    const int found = longest_suffix(word, kSuffixes);
    if (found < 0) return;
    const std::string_view suffix = kSuffixes[static_cast<std::size_t>(found)];
    const std::size_t start = word.size() - suffix.size();
    if (start < regions.r2) return;
    if (suffix == "ion" && (start == 0 || (word[start - 1] != 's' && word[start - 1] != 't'))) {
        return;
    }
    word.resize(start);
}

void step_5(std::string& word, const Regions& regions) {
    if (word.empty()) return;
    const std::size_t last = word.size() - 1;
    if (word[last] == 'e') {
        if (last >= regions.r2 || (last >= regions.r1 && !short_syllable_before(word, last))) {
            word.pop_back();
        }
    } else if (word[last] == 'l') {
        if (last >= regions.r2 && last >= 1 && word[last - 1] == 'l') word.pop_back();
    }
}

bool is_plain_ascii_word(const std::string& word) {
    for (const char c : word) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

}  // namespace

void stem_english(std::string& word) {
    if (!is_plain_ascii_word(word)) return;
    for (const Exception& exception : kExceptions) {
        if (word == exception.word) {
            if (!exception.stem.empty()) word = exception.stem;
            return;
        }
    }
    if (word.size() < 3) return;

    if (word[0] == 'y') word[0] = 'Y';
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (word[i] == 'y' && is_vowel(word[i - 1])) word[i] = 'Y';
    }
    const Regions regions = mark_regions(word);
    step_1a(word);
    bool kept = false;
    for (const std::string_view form : kAfterStep1a) kept = kept || word == form;
    if (!kept) {
        step_1b(word, regions);
        step_1c(word);
        step_2(word, regions);
        step_3(word, regions);
        step_4(word, regions);
        step_5(word, regions);
    }
    for (char& c : word) {
        if (c == 'Y') c = 'y';
    }
}

}  // namespace revuradova::text
