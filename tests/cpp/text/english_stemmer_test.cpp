#include "text/english_stemmer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace revuradova::text {
namespace {

void expect_stems(const std::vector<std::pair<const char*, const char*>>& pairs) {
    for (const auto& [word, stem] : pairs) EXPECT_EQ(english_stem(word), stem) << word;
}

TEST(EnglishStemmer, Step1PluralsAndParticiples) {
    expect_stems({
        {"caresses", "caress"},   {"ponies", "poni"},
        {"ties", "tie"},          {"cats", "cat"},
        {"gas", "gas"},           {"gaps", "gap"},
        {"kiwis", "kiwi"},        {"feed", "feed"},
        {"agreed", "agre"},       {"plastered", "plaster"},
        {"motoring", "motor"},    {"sing", "sing"},
        {"conflated", "conflat"}, {"troubled", "troubl"},
        {"sized", "size"},        {"hopping", "hop"},
        {"falling", "fall"},      {"hissing", "hiss"},
        {"filing", "file"},       {"happy", "happi"},
        {"cry", "cri"},           {"by", "by"},
        {"say", "say"},           {"added", "add"},
        {"inned", "in"},          {"vying", "vie"},
    });
}

TEST(EnglishStemmer, Steps2To5AndRegions) {
    expect_stems({
        {"relational", "relat"},
        {"conditional", "condit"},
        {"generously", "generous"},
        {"generate", "generat"},
        {"communication", "communic"},
        {"arsenal", "arsenal"},
        {"universal", "universal"},
        {"university", "universiti"},
        {"international", "internat"},
        {"hopefulness", "hope"},
        {"adjustable", "adjust"},
        {"controlling", "control"},
        {"biologist", "biolog"},
        {"paste", "paste"},
        {"pasting", "paste"},
        {"yelling", "yell"},
        {"consolingly", "consol"},
        {"knightly", "knight"},
    });
}

TEST(EnglishStemmer, ExceptionsAndWordsLeftAlone) {
    expect_stems({
        {"skies", "sky"},
        {"dying", "die"},
        {"gently", "gentl"},
        {"news", "news"},
        {"atlas", "atlas"},
        {"innings", "inning"},
        {"exceed", "exceed"},
        {"exceedly", "exceed"},
        {"evenings", "evening"},
        {"at", "at"},
        {"a", "a"},
        {"", ""},
        {"été", "été"},
        {"naïvely", "naïvely"},
        {"x86", "x86"},
        {"mp3s", "mp3s"},
    });
}

}  // namespace
}  // namespace revuradova::text
