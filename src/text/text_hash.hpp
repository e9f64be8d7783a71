#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace revuradova::text {

/// A fast 64-bit hash for short texts (terms, identifiers): multiply-xorshift over 8-byte
/// words. Not for untrusted-key hash flooding defence; keys here are index terms and ids.
inline std::uint64_t hash_mix(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    return x;
}

inline std::uint64_t hash_text(std::string_view text) {
    std::uint64_t h = text.size() * 0x9E3779B97F4A7C15ull;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = hash_mix(h ^ word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    return hash_mix(h ^ tail ^ 0x5851F42D4C957F2Dull);
}

}  // namespace revuradova::text
