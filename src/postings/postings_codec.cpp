#include "postings/postings_codec.hpp"

#include <algorithm>

namespace revuradova::postings {
namespace {

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7Fu) | 0x80u));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void put_u32(std::string& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
}

std::uint32_t get_u32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::string_view view(const unsigned char* begin, const unsigned char* end) {
    return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

// A block's checksum and shortest posting (tf and length of one byte each).
constexpr std::size_t kMinBlockSize = 6;

}  // namespace

void corrupt(const char* what) { throw CorruptPostings(what); }

void corrupt(const char* what, const char* field) {
    throw CorruptPostings(std::string(what) + " " + field);
}

std::string encode_postings(std::span<const Posting> postings) {
    if (postings.empty()) return {};
    for (std::size_t i = 0; i < postings.size(); ++i) {
        const Posting& posting = postings[i];
        if (posting.id > kMaxDocId || (i > 0 && posting.id <= postings[i - 1].id)) {
            throw InvalidInput("posting ids must be strictly ascending and below 2**63");
        }
        if (posting.tf == 0 || posting.length < posting.tf) {
            throw InvalidInput("a posting needs 1 <= tf <= length");
        }
    }
    std::string header(4, '\0');
    put_varint(header, postings.size());
    std::string blocks;
    blocks.reserve(postings.size() * 4);
    DocId previous_last = 0;
    for (std::size_t start = 0; start < postings.size(); start += kBlockSize) {
        const auto block = postings.subspan(start, std::min(kBlockSize, postings.size() - start));
        const std::size_t block_start = blocks.size();
        blocks.append(4, '\0');
        std::uint32_t max_tf = 0;
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (i > 0) put_varint(blocks, block[i].id - block[i - 1].id);
            put_varint(blocks, block[i].tf);
            put_varint(blocks, block[i].length);
            max_tf = std::max(max_tf, block[i].tf);
        }
        const std::uint32_t length_bound = detail::length_bound(block, max_tf);
        put_u32(blocks, block_start, crc32(std::string_view(blocks).substr(block_start + 4)));
        put_varint(header, block.front().id - (start == 0 ? 0 : previous_last));
        put_varint(header, block.back().id - block.front().id);
        put_varint(header, blocks.size() - block_start);
        put_varint(header, max_tf);
        put_varint(header, length_bound);
        previous_last = block.back().id;
    }
    put_u32(header, 0, crc32(std::string_view(header).substr(4)));
    return header + blocks;
}

std::vector<BlockInfo> read_header(std::string_view blob) {
    std::vector<BlockInfo> blocks;
    if (blob.empty()) return blocks;
    if (blob.size() < 4) corrupt("shorter than its checksum");
    const auto* const data = reinterpret_cast<const unsigned char*>(blob.data());
    const unsigned char* const end = data + blob.size();
    const unsigned char* at = data + 4;
    const std::uint64_t count = detail::read_varint(at, end, kMaxDocId, "count");
    if (count == 0) corrupt("a count of 0");
    // Each posting takes two bytes at least: a count beyond that is a lie, and rejecting it
    // here keeps the header's blocks from being reserved for it.
    if (count > blob.size() / 2) corrupt("count larger than the blob can hold");
    const std::size_t block_count = static_cast<std::size_t>((count + kBlockSize - 1) / kBlockSize);
    blocks.reserve(block_count);
    DocId previous_last = 0;
    for (std::size_t b = 0; b < block_count; ++b) {
        BlockInfo block{};
        const DocId gap = detail::read_varint(at, end, kMaxDocId, "first id");
        if (b > 0) {
            if (gap == 0) corrupt("ids not strictly ascending");
            if (gap > kMaxDocId - previous_last) corrupt("id above 2**63 - 1");
        }
        block.first_id = (b > 0 ? previous_last : 0) + gap;
        const DocId span = detail::read_varint(at, end, kMaxDocId, "span");
        if (span > kMaxDocId - block.first_id) corrupt("id above 2**63 - 1");
        block.last_id = block.first_id + span;
        block.count = static_cast<std::uint32_t>(
            b + 1 < block_count ? kBlockSize : count - kBlockSize * (block_count - 1));
        if (span < block.count - 1 || (block.count == 1 && span != 0)) {
            corrupt("a block's span does not fit its postings");
        }
        block.size = static_cast<std::size_t>(detail::read_varint(at, end, blob.size(), "size"));
        if (block.size < kMinBlockSize) corrupt("a block smaller than a posting");
        block.max_tf = static_cast<std::uint32_t>(detail::read_varint(at, end, kMaxCount32, "tf"));
        if (block.max_tf == 0) corrupt("a tf of 0");
        block.length_bound =
            static_cast<std::uint32_t>(detail::read_varint(at, end, kMaxCount32, "length"));
        if (block.length_bound < block.max_tf) corrupt("a length bound below its tf");
        blocks.push_back(block);
        previous_last = block.last_id;
    }
    if (crc32(view(data + 4, at)) != get_u32(data)) corrupt("header checksum mismatch");
    for (BlockInfo& block : blocks) {
        if (block.size > static_cast<std::size_t>(end - at)) corrupt("a block beyond the blob");
        block.begin = at;
        at += block.size;
    }
    if (at != end) corrupt("bytes after the last block");
    return blocks;
}

void decode_block(const BlockInfo& block, Posting* out) {
    const unsigned char* at = block.begin + 4;
    const unsigned char* const end = block.begin + block.size;
    if (crc32(view(at, end)) != get_u32(block.begin)) corrupt("block checksum mismatch");
    DocId id = block.first_id;
    std::uint32_t max_tf = 0;
    for (std::uint32_t i = 0; i < block.count; ++i) {
        if (i > 0) {
            const DocId delta = detail::read_varint(at, end, kMaxDocId, "id");
            if (delta == 0) corrupt("ids not strictly ascending");
            if (delta > block.last_id - id) corrupt("an id beyond its block's last");
            id += delta;
        }
        const auto tf = static_cast<std::uint32_t>(detail::read_varint(at, end, kMaxCount32, "tf"));
        if (tf == 0) corrupt("a tf of 0");
        const auto length =
            static_cast<std::uint32_t>(detail::read_varint(at, end, kMaxCount32, "length"));
        if (length < tf) corrupt("a length below its tf");
        max_tf = std::max(max_tf, tf);
        out[i] = Posting{id, tf, length};
    }
    if (id != block.last_id) corrupt("a block's last id not the one of its header");
    if (at != end) corrupt("bytes after a block's last posting");
    if (max_tf != block.max_tf) corrupt("a block's max tf not the one of its header");
    // length_bound is the least floor(T * length / tf), checked without a division per posting:
    // each T * length >= L * tf, and some T * length < (L + 1) * tf (no product passes 2**64).
    const std::uint64_t bound = block.length_bound;
    bool reached = false;
    for (std::uint32_t i = 0; i < block.count; ++i) {
        const std::uint64_t scaled = std::uint64_t{max_tf} * out[i].length;
        if (scaled < bound * out[i].tf) corrupt("a block's length bound above a posting's");
        reached = reached || scaled < (bound + 1) * out[i].tf;
    }
    if (!reached) corrupt("a block's length bound below its postings'");
}

std::vector<Posting> decode_postings(std::string_view blob) {
    const std::vector<BlockInfo> blocks = read_header(blob);
    std::size_t count = 0;
    for (const BlockInfo& block : blocks) count += block.count;
    std::vector<Posting> postings(count);
    Posting* out = postings.data();
    for (const BlockInfo& block : blocks) {
        decode_block(block, out);
        out += block.count;
    }
    return postings;
}

}  // namespace revuradova::postings
