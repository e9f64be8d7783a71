#pragma once

// The hash of every table keyed by text that callers supply (terms, identifiers, map keys).
// A wyhash-style function over 64-bit words, keyed by four secrets drawn once per process
// from the operating system's random source: without the secrets nobody can choose, ahead
// of time, texts that land in one probe run, and every multiplication takes a secret on
// both sides, so no input makes a product vanish.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace revuradova::text {

/// The per-process secrets of hash_text.
struct HashKey {
    std::uint64_t words[4];
};

/// The process's key, drawn on first use. Never fails: when the random source is not
/// available it falls back to the clocks and address-space layout.
const HashKey& process_hash_key() noexcept;

namespace detail {

__extension__ using Wide = unsigned __int128;

/// 64x64 -> 128-bit product, folded; the inputs are kept mixed in so that a zero product
/// cannot erase them.
inline void multiply_fold(std::uint64_t& a, std::uint64_t& b) noexcept {
    const Wide product = static_cast<Wide>(a) * b;
    a ^= static_cast<std::uint64_t>(product);
    b ^= static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    multiply_fold(a, b);
    return a ^ b;
}

inline std::uint64_t read64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t read32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace detail

/// 64-bit keyed hash of `text` under `key`.
inline std::uint64_t hash_text(std::string_view text, const HashKey& key) noexcept {
    using namespace detail;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    std::uint64_t seed = key.words[0];
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (size <= 16) {
        if (size >= 4) {
            const std::size_t shift = (size >> 3) << 2;
            a = (read32(p) << 32) | read32(p + shift);
            b = (read32(p + size - 4) << 32) | read32(p + size - 4 - shift);
        } else if (size > 0) {
            a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[size >> 1]} << 8) | p[size - 1];
        }
    } else {
        std::size_t left = size;
        while (left > 16) {
            seed = mix(read64(p) ^ key.words[1], read64(p + 8) ^ seed);
            p += 16;
            left -= 16;
        }
        a = read64(p + left - 16);
        b = read64(p + left - 8);
    }
    a ^= key.words[1];
    b ^= seed;
    multiply_fold(a, b);
    return mix(a ^ key.words[2] ^ size, b ^ key.words[3]);
}

/// The process-keyed hash of `text`.
inline std::uint64_t hash_text(std::string_view text) noexcept {
    return hash_text(text, process_hash_key());
}

/// Hash functor for standard containers keyed by std::string (string_view lookups too).
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return static_cast<std::size_t>(hash_text(text));
    }
};

}  // namespace revuradova::text

namespace revuradova {

/// Maps from text to text (metadata, attributes), keyed with the per-process hash.
using TextMap = std::unordered_map<std::string, std::string, text::TextHash, std::equal_to<>>;

}  // namespace revuradova
