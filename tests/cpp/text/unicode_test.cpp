#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "text/lowercase_fixture.generated.inc"

namespace revuradova::text {
namespace {

std::string utf8(char32_t cp) {
    std::string out;
    append_utf8(out, cp);
    return out;
}

bool reference_assigned(char32_t cp) {
    const auto* range =
        std::upper_bound(std::begin(kReferenceAssigned), std::end(kReferenceAssigned), cp,
                         [](char32_t value, const char32_t (&r)[2]) { return value < r[0]; });
    if (range == std::begin(kReferenceAssigned)) return false;
    --range;
    return cp >= (*range)[0] && cp <= (*range)[1];
}

// Every code point that both Unicode versions assign lower-cases as CPython's str.lower()
// lower-cases it.
TEST(Lowercase, MatchesReferenceForEveryCommonlyAssignedCodePoint) {
    std::size_t compared = 0;
    std::size_t changed = 0;
    const ReferenceLower* next = std::begin(kReferenceLower);
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string expected = utf8(cp);
        if (next != std::end(kReferenceLower) && next->code_point == cp) {
            expected = next->lower;
            ++next;
        }
        if (!(properties(cp) & kAssigned) || !reference_assigned(cp)) continue;
        ++compared;
        if (expected != utf8(cp)) ++changed;
        ASSERT_EQ(to_lowercase(utf8(cp)), expected) << "U+" << std::hex << static_cast<int>(cp);
    }
    EXPECT_GT(compared, 140'000u);
    EXPECT_GT(changed, 1'400u);
    std::cout << "tables " << unicode_version() << " vs reference " << kReferenceUnicodeVersion
              << ": " << compared << " code points compared\n";
}

TEST(Lowercase, FinalSigma) {
    EXPECT_EQ(to_lowercase("ΣΑΣ"), "σας");
    EXPECT_EQ(to_lowercase("Σ"), "σ");
    EXPECT_EQ(to_lowercase("ΑΣ'"), "ας'");    // apostrophe is case-ignorable, then the end
    EXPECT_EQ(to_lowercase("ΑΣ'Α"), "ασ'α");  // ... but here a cased letter follows
    EXPECT_EQ(to_lowercase("ΑΣ Α"), "ας α");  // a blank is not case-ignorable
    EXPECT_EQ(to_lowercase("'Σ"), "'σ");      // nothing cased before
    EXPECT_EQ(to_lowercase("ΟΔΟΣ."), "οδος.");
}

TEST(Lowercase, MultiCharacterAndLengthChanging) {
    EXPECT_EQ(to_lowercase("İ"), "i\xcc\x87");     // İ -> i + U+0307
    EXPECT_EQ(to_lowercase("\xe2\x84\xa6"), "ω");  // OHM SIGN, 3 bytes -> 2
    EXPECT_EQ(to_lowercase("Ⱥ"), "\xe2\xb1\xa5");  // 2 bytes -> 3
    EXPECT_EQ(to_lowercase("HeLLo Wörld ÉTÉ"), "hello wörld été");
}

TEST(Utf8, MalformedInputDecodesAsReplacementBytewise) {
    const std::string bad[] = {
        "\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xff"};
    for (const std::string& text : bad) {
        std::size_t pos = 0;
        EXPECT_EQ(decode_utf8(text, pos), kReplacementCharacter) << text.size();
        EXPECT_EQ(pos, 1u);
    }
    // Truncated sequence at the very end never reads past it.
    const std::string truncated = "ab\xf0\x9f";
    EXPECT_EQ(to_lowercase(truncated), "ab\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Properties, Classification) {
    EXPECT_TRUE(is_alphanumeric(U'a'));
    EXPECT_TRUE(is_alphanumeric(U'é'));
    EXPECT_TRUE(is_alphanumeric(U'東'));
    EXPECT_TRUE(is_alphanumeric(U'٣'));  // Nd
    EXPECT_TRUE(is_alphanumeric(U'Ⅻ'));  // Nl
    EXPECT_TRUE(is_alphanumeric(U'½'));  // No
    EXPECT_FALSE(is_alphanumeric(U'_'));
    EXPECT_FALSE(is_alphanumeric(U'\''));
    EXPECT_FALSE(is_alphanumeric(0x0307));  // combining dot above
    EXPECT_TRUE(is_white_space(U'\t'));
    EXPECT_TRUE(is_white_space(0x00A0));
    EXPECT_TRUE(is_white_space(0x3000));
    EXPECT_FALSE(is_white_space(0x200B));  // zero width space is not White_Space
}

TEST(WhiteSpace, SplitDropsEmptyPieces) {
    const auto pieces = split_white_space("  alpha\t\u00a0beta \u3000 gamma  ");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], "alpha");
    EXPECT_EQ(pieces[1], "beta");
    EXPECT_EQ(pieces[2], "gamma");
    EXPECT_TRUE(split_white_space(" \n ").empty());
    EXPECT_TRUE(split_white_space("").empty());
}

TEST(Ascii, Detection) {
    EXPECT_TRUE(is_ascii("plain ascii text, long enough for words"));
    EXPECT_FALSE(is_ascii("plain ascii text, long enough for wordsé"));
    EXPECT_FALSE(is_ascii("é"));
}

}  // namespace
}  // namespace revuradova::text
