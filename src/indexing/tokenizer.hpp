#pragma once

// The one tokenizer of the full-text index: full Unicode lower-casing, a split at every
// character that is neither Alphabetic nor numeric (Nd, Nl, No), and only pieces of at
// least three UTF-8 bytes kept (other minimums for other callers). No stop words, no
// stemming.

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "text/unicode.hpp"

namespace revuradova {

inline constexpr std::size_t kMinTokenBytes = 3;

/// For each byte: its lower-case form when it is an ASCII letter or digit, otherwise 0.
inline constexpr auto kAsciiTokenByte = [] {
    std::array<char, 256> table{};
    for (int b = '0'; b <= '9'; ++b) table[b] = static_cast<char>(b);
    for (int b = 'a'; b <= 'z'; ++b) table[b] = static_cast<char>(b);
    for (int b = 'A'; b <= 'Z'; ++b) table[b] = static_cast<char>(b + ('a' - 'A'));
    return table;
}();

/// Calls `sink(std::string_view token, std::size_t begin, std::size_t end)` for every token
/// of `text` of at least `min_bytes` bytes, in order: the token's lower-cased text and the
/// bytes `text[begin, end)` it was made from (whole characters; a character whose lower-case
/// form is split ends one token and may start the next). The view points into `scratch` and
/// is valid only during the call.
template <class Sink>
void for_each_token_at(std::string_view text, std::size_t min_bytes, std::string& scratch,
                       Sink&& sink) {
    scratch.clear();
    std::size_t token_begin = 0;
    std::size_t token_end = 0;
    const auto flush = [&] {
        if (scratch.size() >= min_bytes) sink(std::string_view(scratch), token_begin, token_end);
        scratch.clear();
    };
    std::size_t pos = 0;
    const std::size_t size = text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    while (pos < size) {
        if (bytes[pos] < 0x80) {
            // ASCII fast path: a run of letters and digits is lowered through a table.
            std::size_t end = pos;
            while (end < size && kAsciiTokenByte[bytes[end]] != 0) ++end;
            if (end == pos) {
                if (!scratch.empty()) flush();
                ++pos;
                continue;
            }
            if (scratch.empty()) token_begin = pos;
            token_end = end;
            const std::size_t old_size = scratch.size();
            scratch.resize(old_size + (end - pos));
            char* out = scratch.data() + old_size;
            for (std::size_t i = pos; i < end; ++i) *out++ = kAsciiTokenByte[bytes[i]];
            pos = end;
            continue;
        }
        const std::size_t start = pos;
        const char32_t cp = text::decode_utf8(text, pos);
        char32_t lowered[3];
        const int count = text::lower_code_point(text, start, pos, cp, lowered);
        for (int i = 0; i < count; ++i) {
            if (text::is_alphanumeric(lowered[i])) {
                if (scratch.empty()) token_begin = start;
                token_end = pos;
                text::append_utf8(scratch, lowered[i]);
            } else if (!scratch.empty()) {
                flush();
            }
        }
    }
    flush();
}

/// Calls `sink(std::string_view token)` for every token of `text` of at least `min_bytes`
/// bytes, in order. The view points into `scratch` and is valid only during the call.
template <class Sink>
void for_each_token(std::string_view text, std::size_t min_bytes, std::string& scratch,
                    Sink&& sink) {
    for_each_token_at(text, min_bytes, scratch,
                      [&](std::string_view token, std::size_t, std::size_t) { sink(token); });
}

/// The index's tokens: those of at least kMinTokenBytes bytes.
template <class Sink>
void for_each_token(std::string_view text, std::string& scratch, Sink&& sink) {
    for_each_token(text, kMinTokenBytes, scratch, std::forward<Sink>(sink));
}

}  // namespace revuradova
