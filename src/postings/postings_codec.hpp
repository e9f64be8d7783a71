#pragma once

// The stored form of one term's postings in one segment.

#include <algorithm>
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

/// A postings blob: a checked header, then the postings in blocks of up to 64, each block
/// checked on its own, so that a search reads and checks only the blocks it needs.
///
///   u32 little-endian CRC-32 (IEEE 802.3) of the header's bytes after it
///   varint count (>= 1)
///   per block (ceil(count / 64) of them):
///     varint first-id gap: the block's first id; from the second block on, its difference
///                          to the previous block's last id (>= 1)
///     varint span: last id - first id (>= postings in the block - 1)
///     varint size: the block's bytes, its checksum included
///     varint max_tf: the highest tf of the block (>= 1)
///     varint length_bound: the least floor(max_tf * length / tf) of the block (>= max_tf)
///   the blocks, in order, each:
///     u32 little-endian CRC-32 of the block's bytes after it
///     varint tf, varint length of its first posting (whose id the header gives)
///     then per posting: varint id gap (>= 1), varint tf (>= 1), varint length (>= tf)
///
/// Every block holds 64 postings but the last. Ids are strictly ascending and below 2**63;
/// a block's last posting has the id the header says, and its max_tf and length_bound are
/// exactly those of its postings. BM25 saturation is tf * (k1 + 1) / (K + tf), that is
/// (k1 + 1) / (1 + k1 * (1 - b) / tf + (k1 * b / avgdl) * (length / tf)): it rises with tf and
/// falls with length / tf, so a posting (max_tf, length_bound) weighs at least as much as
/// every posting of its block, for any avgdl. (max_tf and the least length would bound it
/// too, but far less tightly: long documents are where tfs are high.)
/// Varints are unsigned LEB128 in their shortest form (at most 10 bytes); tf and length are
/// below 2**32. The blocks end where the blob ends. The empty blob stands for no postings,
/// so that a list with every document deleted has one form too; every other list has
/// exactly one encoding.
///
/// Reading checks all of what it reads and never reads outside the blob: anything else raises
/// CorruptPostings. The header is checked whole when opened, a block when it is decoded.

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

/// The block's length bound L for its highest tf T: the least floor(T * length / tf) of its
/// postings, so that L / T <= length / tf for each of them (and L >= T).
inline std::uint32_t length_bound(std::span<const Posting> block, std::uint32_t max_tf) {
    std::uint64_t bound = kMaxCount32;
    for (const Posting& posting : block) {
        bound = std::min(bound, std::uint64_t{max_tf} * posting.length / posting.tf);
    }
    return static_cast<std::uint32_t>(bound);
}

}  // namespace detail

inline constexpr std::size_t kBlockSize = 64;

/// A block as the header describes it.
struct BlockInfo {
    DocId first_id;
    DocId last_id;
    std::uint32_t max_tf;
    std::uint32_t length_bound;
    std::uint32_t count;         // postings, 1 to kBlockSize
    const unsigned char* begin;  // its bytes, checksum first
    std::size_t size;
};

/// The checked header of a blob: its blocks, in id order; none for the empty blob.
std::vector<BlockInfo> read_header(std::string_view blob);

/// Checks `block` and writes its postings to `out` (room for block.count); CorruptPostings
/// unless the block is well-formed and agrees with its header entry.
void decode_block(const BlockInfo& block, Posting* out);

/// The blob of `postings` (ids strictly ascending, 1 <= tf <= length); "" when empty.
/// InvalidInput when the postings break those rules.
std::string encode_postings(std::span<const Posting> postings);

/// Every posting of `blob`; CorruptPostings unless well-formed.
std::vector<Posting> decode_postings(std::string_view blob);

}  // namespace revuradova::postings
