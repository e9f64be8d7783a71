#include "text/content_digest.hpp"

#include <algorithm>
#include <array>

#include "text/unicode.hpp"

namespace revuradova::text {
namespace {

constexpr std::size_t kMinBits = 512;
// Past this many bytes most bits would be set and a digest would rule little out.
constexpr std::size_t kMaxBytes = std::size_t{1} << 16;

// A-Z as a-z, every other byte as it is. A table: cheaper than a comparison per byte.
constexpr std::array<unsigned char, 256> kFolded = [] {
    std::array<unsigned char, 256> table{};
    for (std::size_t c = 0; c < table.size(); ++c) {
        table[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    }
    return table;
}();

// Three folded bytes, the first lowest, spread over 32 bits; a digest keeps the top bits
// (bit_of multiplies by the bit count).
std::uint32_t window_hash(std::uint32_t window) { return window * 0x9E3779B1u; }

// Calls `visit(hash)` for each three-byte window of `text`, in order.
template <class Visit>
void for_each_window_hash(std::string_view text, Visit&& visit) {
    if (text.size() < 3) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::uint32_t window = kFolded[bytes[0]] | std::uint32_t{kFolded[bytes[1]]} << 8;
    for (std::size_t i = 2; i < text.size(); ++i) {
        window |= std::uint32_t{kFolded[bytes[i]]} << 16;
        visit(window_hash(window));
        window >>= 8;
    }
}

}  // namespace

std::vector<std::uint32_t> window_hashes(std::string_view needle) {
    std::vector<std::uint32_t> hashes;
    if (needle.size() >= 3) hashes.reserve(needle.size() - 2);
    for_each_window_hash(needle, [&](std::uint32_t hash) { hashes.push_back(hash); });
    return hashes;
}

ContentDigest ContentDigest::of(std::string_view content) {
    ContentDigest digest;
    if (content.size() > kMaxBytes || !is_ascii(content)) return digest;
    // Two bits a byte, in whole 64-bit words.
    const std::size_t bits = std::max((2 * content.size() + 63) / 64 * 64, kMinBits);
    digest.bits_ = std::make_unique<unsigned char[]>(bits / 8);  // zeroed
    digest.bit_count_ = static_cast<std::uint32_t>(bits);
    unsigned char* out = digest.bits_.get();
    for_each_window_hash(content, [&](std::uint32_t hash) {
        const std::uint32_t bit = digest.bit_of(hash);
        out[bit >> 3] |= static_cast<unsigned char>(1u << (bit & 7));
    });
    return digest;
}

}  // namespace revuradova::text
