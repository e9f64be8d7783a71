#include "text/content_digest.hpp"

#include <algorithm>
#include <bit>

#include "text/unicode.hpp"

namespace revuradova::text {
namespace {

constexpr std::size_t kMinBits = 512;
constexpr std::size_t kMaxBits = std::size_t{1} << 16;

std::uint32_t folded(unsigned char c) {
    return static_cast<std::uint32_t>(c) - 'A' < 26u ? c | 0x20u : c;
}

// Three folded bytes, the first lowest, spread over 32 bits; a digest keeps the top bits.
std::uint32_t window_hash(std::uint32_t window) { return window * 0x9E3779B1u; }

}  // namespace

std::vector<std::uint32_t> window_hashes(std::string_view needle) {
    std::vector<std::uint32_t> hashes;
    if (needle.size() < 3) return hashes;
    hashes.reserve(needle.size() - 2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(needle.data());
    std::uint32_t window = folded(bytes[0]) | folded(bytes[1]) << 8;
    for (std::size_t i = 2; i < needle.size(); ++i) {
        window |= folded(bytes[i]) << 16;
        hashes.push_back(window_hash(window));
        window >>= 8;
    }
    return hashes;
}

ContentDigest ContentDigest::of(std::string_view content) {
    ContentDigest digest;
    if (!is_ascii(content)) return digest;
    const std::size_t bits = std::clamp(std::bit_ceil(2 * content.size()), kMinBits, kMaxBits);
    digest.bits_ = std::make_unique<std::uint64_t[]>(bits / 64);  // zeroed
    digest.shift_ = static_cast<std::uint32_t>(32 - std::countr_zero(bits));
    if (content.size() < 3) return digest;
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    std::uint64_t* words = digest.bits_.get();
    const std::uint32_t shift = digest.shift_;
    std::uint32_t window = folded(bytes[0]) | folded(bytes[1]) << 8;
    for (std::size_t i = 2; i < content.size(); ++i) {
        window |= folded(bytes[i]) << 16;
        const std::uint32_t bit = window_hash(window) >> shift;
        words[bit >> 6] |= std::uint64_t{1} << (bit & 63);
        window >>= 8;
    }
    return digest;
}

}  // namespace revuradova::text
