#pragma once

#include <cstddef>
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
/// a-z: one bit per window hash, in an array of two bits per content byte (512 at least),
/// so that about a third of the bits are set whatever the length. A needle one of whose
/// windows has its bit clear occurs neither in the content nor in its lower-case form,
/// which a search may then skip; a needle whose bits are all set may or may not occur.
/// An empty digest rules nothing out: a default one, or that of a content holding a
/// non-ASCII byte (its lower-case form is not its ASCII fold) or longer than 64 KiB (it
/// would set most bits).
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
            const std::uint32_t bit = bit_of(window);
            if ((bits_[bit >> 3] >> (bit & 7) & 1) == 0) return false;
        }
        return true;
    }

    /// Starts loading the byte that a probe for `window` reads.
    void prefetch(std::uint32_t window) const noexcept {
        if (bits_ != nullptr) __builtin_prefetch(&bits_[bit_of(window) >> 3]);
    }

private:
    // A hash's bit, by multiplying instead of dividing: the array need not be a power of two.
    std::uint32_t bit_of(std::uint32_t hash) const noexcept {
        return static_cast<std::uint32_t>((std::uint64_t{hash} * bit_count_) >> 32);
    }

    std::unique_ptr<unsigned char[]> bits_;
    std::uint32_t bit_count_ = 0;
};

}  // namespace revuradova::text
