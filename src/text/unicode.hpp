#pragma once

// Unicode text handling shared by every text rule of the system: UTF-8 decoding, the
// character properties the tokenizer and the filters test, and the default full
// lower-case mapping (with the Final_Sigma rule, without language-specific rules).
//
// Input is UTF-8. Python always hands valid UTF-8; a C++ caller may not, so malformed
// sequences (bad lead or continuation bytes, overlong forms, surrogates, code points above
// U+10FFFF, truncation at the end) decode as U+FFFD one byte at a time. Nothing reads past
// the end of the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace revuradova::text {

/// Bits of the per-code-point property byte.
enum PropertyBit : std::uint8_t {
    kAlphabetic = 1 << 0,
    kNumeric = 1 << 1,  // general category Nd, Nl or No
    kWhiteSpace = 1 << 2,
    kCased = 1 << 3,
    kCaseIgnorable = 1 << 4,
    kChangesWhenLowered = 1 << 5,
    kAssigned = 1 << 6,
};

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

/// The Unicode version of the generated tables.
std::string_view unicode_version();

/// The property byte of a code point (0 for anything above U+10FFFF).
std::uint8_t properties(char32_t code_point);

inline bool is_alphanumeric(char32_t cp) {
    return (properties(cp) & (kAlphabetic | kNumeric)) != 0;
}
inline bool is_white_space(char32_t cp) { return (properties(cp) & kWhiteSpace) != 0; }

/// Decodes the scalar value starting at `text[pos]` and advances `pos` past it
/// (by one byte for a malformed sequence, which yields U+FFFD). Requires pos < size.
char32_t decode_utf8(std::string_view text, std::size_t& pos);

/// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t cp);

/// Writes the lower-case mapping of the code point at `text[pos, next)` into `out`
/// (up to three code points) and returns how many it wrote. `text` is the whole string:
/// a capital sigma looks at its neighbours for the Final_Sigma rule.
int lower_code_point(std::string_view text, std::size_t pos, std::size_t next, char32_t cp,
                     char32_t out[3]);

/// Appends the full lower-case form of `text` to `out`.
void append_lowercase(std::string_view text, std::string& out);

/// The full lower-case form of `text`.
std::string to_lowercase(std::string_view text);

/// Splits at runs of White_Space characters; no piece is empty. Views point into `text`.
std::vector<std::string_view> split_white_space(std::string_view text);

/// True when every byte is ASCII.
bool is_ascii(std::string_view text);

/// ASCII lower-case table: kAsciiLower[b] for b < 128.
extern const char kAsciiLower[128];

}  // namespace revuradova::text
