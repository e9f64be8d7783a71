#pragma once

// The stored form of one term's postings in one segment.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "postings/crc32.hpp"
#include "postings/errors.hpp"

namespace revuradova::postings {

using DocId = std::uint64_t;
inline constexpr DocId kMaxDocId = (DocId{1} << 63) - 1;
inline constexpr std::uint64_t kMaxCount32 = 0xFFFFFFFFu;

/// One document holding a term: `tf` occurrences in a document of `length` tokens.
struct Posting {
    DocId id;
    std::uint32_t tf;
    std::uint32_t length;
    friend bool operator==(const Posting&, const Posting&) = default;
};

/// Throws CorruptPostings(what); out of line, so that the decoding loop stays small.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void corrupt(const char* what);
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void corrupt(const char* what, const char* field);

/// A postings blob:
///
///   u32 little-endian CRC-32 (IEEE 802.3) of every byte after it
///   varint count (>= 1)
///   count times: varint id_delta, varint tf (>= 1), varint length (>= tf)
///
/// The first id_delta is the id itself, each later one the difference to the previous id
/// (>= 1), so ids are strictly ascending and below 2**63. Varints are unsigned LEB128 in
/// their shortest form (at most 10 bytes); tf and length are below 2**32. No byte follows
/// the last posting. The empty blob stands for no postings, so that a list with every
/// document deleted has one form too; every other list has exactly one encoding.
///
/// Reading checks all of it and never reads outside the blob: anything else raises
/// CorruptPostings.

namespace detail {

/// The varint at `at`, which it moves past; CorruptPostings beyond `end` or above `limit`.
[[gnu::always_inline]] inline std::uint64_t read_varint(const unsigned char*& at,
                                                        const unsigned char* end,
                                                        std::uint64_t limit, const char* what) {
    if (at != end && *at < 0x80) return *at++;  // most tf, lengths and id gaps
    std::uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
        if (at == end) corrupt("truncated", what);
        const unsigned char byte = *at++;
        if (shift == 63 && byte > 1) corrupt("above 2**64:", what);
        value |= static_cast<std::uint64_t>(byte & 0x7Fu) << shift;
        if (byte < 0x80) {
            if (byte == 0 && shift > 0) corrupt("overlong varint for", what);
            if (value > limit) corrupt("out of range:", what);
            return value;
        }
    }
    corrupt("varint longer than 10 bytes for", what);
}

}  // namespace detail

/// Reads a blob one posting at a time, checking as it goes; for the cursors of a query,
/// which walk several blobs side by side.
class PostingsReader {
public:
    /// Checks the checksum and the count.
    explicit PostingsReader(std::string_view blob)
        : at_(reinterpret_cast<const unsigned char*>(blob.data())), end_(at_ + blob.size()) {
        if (blob.empty()) return;
        if (blob.size() < 4) corrupt("shorter than its checksum");
        const std::uint32_t stored =
            static_cast<std::uint32_t>(at_[0]) | static_cast<std::uint32_t>(at_[1]) << 8 |
            static_cast<std::uint32_t>(at_[2]) << 16 | static_cast<std::uint32_t>(at_[3]) << 24;
        if (crc32(blob.substr(4)) != stored) corrupt("checksum mismatch");
        at_ += 4;
        remaining_ = detail::read_varint(at_, end_, kMaxDocId, "count");
        if (remaining_ == 0) corrupt("a count of 0");
        // Each posting takes three bytes at least: a count beyond that is a lie, and
        // rejecting it here keeps callers from reserving room for it.
        if (remaining_ > static_cast<std::uint64_t>(end_ - at_) / 3) {
            corrupt("count larger than the blob can hold");
        }
        size_ = static_cast<std::size_t>(remaining_);
    }

    /// Number of postings.
    std::size_t size() const { return size_; }

    /// Reads the next posting into `posting`; false after the last one, once it has checked
    /// that no byte follows. A blob found corrupt part way raises CorruptPostings after some
    /// postings were read: callers drop what they had gathered.
    [[gnu::always_inline]] bool next(Posting& posting) {
        if (remaining_ == 0) {
            if (at_ != end_) corrupt("bytes after the last posting");
            return false;
        }
        const DocId delta = detail::read_varint(at_, end_, kMaxDocId, "id");
        if (remaining_ != size_) {
            if (delta == 0) corrupt("ids not strictly ascending");
            if (delta > kMaxDocId - id_) corrupt("id above 2**63 - 1");
        }
        id_ += delta;
        const auto tf =
            static_cast<std::uint32_t>(detail::read_varint(at_, end_, kMaxCount32, "tf"));
        if (tf == 0) corrupt("a tf of 0");
        const auto length =
            static_cast<std::uint32_t>(detail::read_varint(at_, end_, kMaxCount32, "length"));
        if (length < tf) corrupt("a length below its tf");
        --remaining_;
        posting = Posting{id_, tf, length};
        return true;
    }

private:
    const unsigned char* at_;
    const unsigned char* end_;
    std::uint64_t remaining_ = 0;
    std::size_t size_ = 0;
    DocId id_ = 0;
};

/// The blob of `postings` (ids strictly ascending, 1 <= tf <= length); "" when empty.
/// InvalidInput when the postings break those rules.
std::string encode_postings(std::span<const Posting> postings);

/// Every posting of `blob`; CorruptPostings unless well-formed.
std::vector<Posting> decode_postings(std::string_view blob);

}  // namespace revuradova::postings
