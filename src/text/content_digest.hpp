#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace revuradova::text {

/// The hashes of the three-byte windows of `needle` with A-Z folded to a-z, in order, as
/// ContentDigest sets them for a content; none for a needle shorter than three bytes.
std::vector<std::uint32_t> window_hashes(std::string_view needle);

/// A Bloom filter over the three-byte windows of a pure-ASCII content with A-Z folded to
/// a-z: one bit per window hash, in an array of about two bits per content byte (a power of
/// two, 512 bits at least), so that about a third of the bits are set whatever the length.
/// A needle one of whose windows has its bit clear occurs neither in the content nor in its
/// lower-case form, which a search may then skip; a needle whose bits are all set may or
/// may not occur. An empty digest (a default one, or that of a content holding a non-ASCII
/// byte, whose lower-case form is not its ASCII fold) rules nothing out.
class ContentDigest {
public:
    ContentDigest() = default;

    /// The digest of `content`. Throws std::bad_alloc.
    static ContentDigest of(std::string_view content);

    bool empty() const noexcept { return bits_ == nullptr; }

    /// False only when a text with these window hashes (window_hashes of a needle) cannot
    /// occur in the content, even with A-Z folded to a-z on both sides.
    bool may_hold(std::span<const std::uint32_t> windows) const noexcept {
        if (bits_ == nullptr) return true;
        for (const std::uint32_t window : windows) {
            const std::uint32_t bit = window >> shift_;
            if ((bits_[bit >> 6] >> (bit & 63) & 1) == 0) return false;
        }
        return true;
    }

    /// Starts loading the word that a probe for `window` reads first.
    void prefetch(std::uint32_t window) const noexcept {
        if (bits_ != nullptr) __builtin_prefetch(&bits_[(window >> shift_) >> 6]);
    }

private:
    std::unique_ptr<std::uint64_t[]> bits_;
    std::uint32_t shift_ = 0;  // 32 - log2 of the number of bits
};

}  // namespace revuradova::text
