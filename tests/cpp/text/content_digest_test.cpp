#include "text/content_digest.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace revuradova::text {
namespace {

std::string random_text(std::mt19937& rng, std::size_t size, const std::string& alphabet) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += alphabet[rng() % alphabet.size()];
    return text;
}

// Every piece of a content, in any case on either side, must pass: a digest that ruled one
// out would lose a match. Long and short contents, so that digests of every size are met.
TEST(ContentDigest, NeverRulesOutWhatTheFoldedContentHolds) {
    std::mt19937 rng(41);
    const std::string alphabet = "abcdeABCDE xyz-?";
    for (int round = 0; round < 300; ++round) {
        const std::string content = random_text(rng, rng() % 3000, alphabet);
        const ContentDigest digest = ContentDigest::of(content);
        ASSERT_FALSE(digest.empty());
        for (int probe = 0; probe < 40 && content.size() >= 3; ++probe) {
            const std::size_t size = 3 + rng() % 10;
            const std::size_t at = rng() % (content.size() - 2);
            std::string piece = content.substr(at, size);
            for (char& c : piece) {
                if (rng() % 2 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
                if (rng() % 2 == 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            }
            ASSERT_TRUE(digest.may_hold(window_hashes(piece))) << content << " / " << piece;
        }
    }
}

// What a digest is for: most needles absent from a content are ruled out, whatever its
// length (about a third of the bits are set). The contents stay short enough that they
// hold a small share of all the windows of their alphabet.
TEST(ContentDigest, RulesOutMostAbsentNeedles) {
    std::mt19937 rng(43);
    const std::string letters = "abcdefghijklmnopqrstuvwxyz ";
    for (const std::size_t size : {10u, 200u, 1100u, 2000u}) {
        const std::string content = random_text(rng, size, letters);
        const ContentDigest digest = ContentDigest::of(content);
        int absent = 0;
        int ruled_out = 0;
        for (int probe = 0; probe < 2000; ++probe) {
            const std::string needle = random_text(rng, 5, "abcdefghijklmnopqrstuvwxyz");
            if (content.find(needle) != std::string::npos) continue;
            ++absent;
            ruled_out += !digest.may_hold(window_hashes(needle));
        }
        EXPECT_GT(ruled_out, absent * 9 / 10) << size;
    }
}

TEST(ContentDigest, ShortNeedlesShortContentsAndOtherBytes) {
    EXPECT_TRUE(window_hashes("ab").empty());
    EXPECT_EQ(window_hashes("abcd").size(), 2u);
    EXPECT_EQ(window_hashes("ABCD"), window_hashes("abcd"));
    EXPECT_NE(window_hashes("abd"), window_hashes("abc"));

    // A content shorter than a window holds no needle of three bytes or more.
    const ContentDigest tiny = ContentDigest::of("ab");
    ASSERT_FALSE(tiny.empty());
    EXPECT_FALSE(tiny.may_hold(window_hashes("abc")));
    EXPECT_TRUE(tiny.may_hold(window_hashes("ab")));
    EXPECT_FALSE(ContentDigest::of("").empty());

    // Non-ASCII contents lower-case beyond A-Z (the Kelvin sign is a "k"): no digest.
    EXPECT_TRUE(ContentDigest::of("\u212Aelvin").empty());
    EXPECT_TRUE(ContentDigest::of("caf\u00e9").empty());
    EXPECT_TRUE(ContentDigest().may_hold(window_hashes("anything")));
    // Nor for a content so long that it would set most bits.
    EXPECT_FALSE(ContentDigest::of(std::string(65536, 'a')).empty());
    EXPECT_TRUE(ContentDigest::of(std::string(65537, 'a')).empty());

    // A needle with bytes no ASCII content holds is ruled out.
    EXPECT_FALSE(ContentDigest::of("cafe au lait").may_hold(window_hashes("caf\u00e9")));
}

}  // namespace
}  // namespace revuradova::text
