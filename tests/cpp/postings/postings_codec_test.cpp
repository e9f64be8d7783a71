#include "postings/postings_codec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "postings/crc32.hpp"

namespace revuradova::postings {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) out.push_back(static_cast<char>(v));
    return out;
}

// A blob with a valid checksum over `payload`, whatever the payload says.
std::string with_crc(const std::string& payload) {
    const std::uint32_t crc = crc32(payload);
    std::string blob;
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<char>((crc >> (8 * i)) & 0xFFu));
    return blob + payload;
}

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    // The sixteen-byte loop and the bitwise definition agree on every length and offset.
    std::string long_text;
    for (int i = 0; i < 300; ++i) long_text.push_back(static_cast<char>(i * 7 + 3));
    for (std::size_t start = 0; start < 20; ++start) {
        std::uint32_t bitwise = 0xFFFFFFFFu;
        for (std::size_t end = start; end <= long_text.size(); ++end) {
            EXPECT_EQ(crc32(std::string_view(long_text).substr(start, end - start)),
                      bitwise ^ 0xFFFFFFFFu);
            if (end == long_text.size()) break;
            bitwise ^= static_cast<unsigned char>(long_text[end]);
            for (int bit = 0; bit < 8; ++bit) {
                bitwise = (bitwise >> 1) ^ ((bitwise & 1u) != 0 ? 0xEDB88320u : 0u);
            }
        }
    }
}

// A blob of the given header and block payloads, each after its right checksum, whatever the
// payloads say.
std::string assemble(const std::string& header, const std::vector<std::string>& blocks) {
    std::string blob = with_crc(header);
    for (const std::string& block : blocks) blob += with_crc(block);
    return blob;
}

// A list of `count` postings with gaps, tfs and lengths of every size.
std::vector<Posting> random_list(std::mt19937_64& random, std::size_t count) {
    std::vector<Posting> postings;
    DocId id = random() % 4 == 0 ? kMaxDocId - 100 * count - 1000 : random() % 1000;
    for (std::size_t i = 0; i < count; ++i) {
        const auto tf = static_cast<std::uint32_t>(1 + random() % (random() % 8 == 0 ? 300 : 5));
        const std::uint32_t length = random() % 50 == 0 ? 0xFFFFFFFFu : tf + random() % 100;
        postings.push_back({id, tf, length});
        id += 1 + random() % (random() % 2 == 0 ? 3 : 90);
    }
    return postings;
}

TEST(PostingsCodec, GoldenBlob) {
    // One posting: document 1, tf 1, length 5. The header: count, first id, span, size of the
    // block, max tf, length bound; the block: tf and length.
    const std::vector<Posting> one{{1, 1, 5}};
    EXPECT_EQ(encode_postings(one), assemble(bytes({1, 1, 0, 6, 1, 5}), {bytes({1, 5})}));
    // zlib.crc32(b"\x01\x01\x00\x06\x01\x05") == 0x2A02E2CA.
    EXPECT_EQ(encode_postings(one).substr(0, 4), bytes({0xCA, 0xE2, 0x02, 0x2A}));
    // Two postings, the second id as a gap; 300 as a two-byte varint. The length bound is
    // floor(max tf * length / tf) at its least: min(2 * 5 / 2, 2 * 300 / 1) = 5.
    const std::vector<Posting> two{{1, 2, 5}, {301, 1, 300}};
    const std::string blob = encode_postings(two);
    EXPECT_EQ(blob, assemble(bytes({2, 1, 0xAC, 0x02, 11, 2, 5}),
                             {bytes({2, 5, 0xAC, 0x02, 1, 0xAC, 0x02})}));
    EXPECT_EQ(decode_postings(blob), two);
    EXPECT_EQ(encode_postings({}), "");
    EXPECT_TRUE(decode_postings("").empty());
    EXPECT_TRUE(read_header("").empty());
}

TEST(PostingsCodec, BlocksOfSixtyFour) {
    std::mt19937_64 random(5);
    for (const std::size_t count : {1u, 63u, 64u, 65u, 128u, 129u, 1000u}) {
        const auto postings = random_list(random, count);
        const std::string blob = encode_postings(postings);
        const auto blocks = read_header(blob);
        ASSERT_EQ(blocks.size(), (count + kBlockSize - 1) / kBlockSize) << count;
        std::size_t start = 0;
        for (const BlockInfo& block : blocks) {
            const std::size_t size = std::min(kBlockSize, count - start);
            ASSERT_EQ(block.count, size);
            EXPECT_EQ(block.first_id, postings[start].id);
            EXPECT_EQ(block.last_id, postings[start + size - 1].id);
            std::uint32_t max_tf = 0;
            for (std::size_t i = start; i < start + size; ++i) {
                max_tf = std::max(max_tf, postings[i].tf);
            }
            EXPECT_EQ(block.max_tf, max_tf);
            // The bound's promise: L / T <= length / tf for each posting, and tight.
            bool tight = false;
            for (std::size_t i = start; i < start + size; ++i) {
                const auto lhs = std::uint64_t{block.length_bound} * postings[i].tf;
                const auto rhs = std::uint64_t{max_tf} * postings[i].length;
                EXPECT_LE(lhs, rhs);
                tight = tight || rhs - lhs < postings[i].tf;
            }
            EXPECT_TRUE(tight);
            std::vector<Posting> decoded(block.count);
            decode_block(block, decoded.data());
            EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), postings.begin() + start));
            start += size;
        }
        EXPECT_EQ(decode_postings(blob), postings);
    }
}

TEST(PostingsCodec, RoundTripsExtremes) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 200; ++round) {
        const auto postings = random_list(random, 1 + random() % 300);
        EXPECT_EQ(decode_postings(encode_postings(postings)), postings);
    }
    const std::vector<Posting> top{{0, 1, 1}, {kMaxDocId, 0xFFFFFFFFu, 0xFFFFFFFFu}};
    EXPECT_EQ(decode_postings(encode_postings(top)), top);
}

TEST(PostingsCodec, EncoderRefusesBrokenLists) {
    const std::vector<std::vector<Posting>> broken{
        {{5, 1, 1}, {5, 1, 1}},  {{6, 1, 1}, {5, 1, 1}}, {{1, 0, 1}}, {{1, 3, 2}},
        {{kMaxDocId + 1, 1, 1}},
    };
    for (const auto& postings : broken) EXPECT_THROW(encode_postings(postings), InvalidInput);
}

TEST(PostingsCodec, EveryTruncationAndFlipIsCaughtWhereItIsRead) {
    std::mt19937_64 random(9);
    const auto postings = random_list(random, 2 * kBlockSize + 5);
    const std::string blob = encode_postings(postings);
    const auto blocks = read_header(blob);
    ASSERT_EQ(blocks.size(), 3u);
    const auto header_end = static_cast<std::size_t>(
        blocks.front().begin - reinterpret_cast<const unsigned char*>(blob.data()));
    for (std::size_t size = 1; size < blob.size(); ++size) {
        EXPECT_THROW(read_header(blob.substr(0, size)), CorruptPostings) << size;
    }
    EXPECT_THROW(read_header(blob + '\0'), CorruptPostings);
    for (std::size_t at = 0; at < blob.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = blob;
            flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
            EXPECT_THROW(decode_postings(flipped), CorruptPostings) << at << ":" << bit;
            if (at < header_end) {
                EXPECT_THROW(read_header(flipped), CorruptPostings) << at << ":" << bit;
                continue;
            }
            // A flip in a block passes the header and every other block, and fails that one.
            const auto opened = read_header(flipped);
            std::size_t start = 0;
            for (const BlockInfo& block : opened) {
                const auto offset = static_cast<std::size_t>(
                    block.begin - reinterpret_cast<const unsigned char*>(flipped.data()));
                std::vector<Posting> decoded(block.count);
                if (at >= offset && at < offset + block.size) {
                    EXPECT_THROW(decode_block(block, decoded.data()), CorruptPostings);
                } else {
                    decode_block(block, decoded.data());
                    EXPECT_TRUE(
                        std::equal(decoded.begin(), decoded.end(), postings.begin() + start));
                }
                start += block.count;
            }
        }
    }
}

TEST(PostingsCodec, WellChecksummedNonsenseIsRejected) {
    // Each case: a header and its blocks, every checksum right.
    const std::vector<std::tuple<const char*, std::string, std::vector<std::string>>> cases{
        {"count 0", bytes({0}), {}},
        {"count beyond the blob", bytes({3, 1, 1, 7, 1, 1}), {bytes({1, 1, 1, 1, 1})}},
        {"span too short", bytes({2, 1, 0, 7, 1, 1}), {bytes({1, 1, 1, 1, 1})}},
        {"span of one posting", bytes({1, 1, 1, 6, 1, 1}), {bytes({1, 1})}},
        {"last id not the header's", bytes({2, 1, 2, 9, 1, 1}), {bytes({1, 1, 1, 1, 1})}},
        {"max tf lies", bytes({1, 1, 0, 6, 2, 2}), {bytes({1, 2})}},
        {"length bound below its postings'", bytes({1, 1, 0, 6, 1, 1}), {bytes({1, 2})}},
        {"length bound above a posting's", bytes({1, 1, 0, 6, 1, 3}), {bytes({1, 2})}},
        {"length bound below max tf", bytes({1, 1, 0, 6, 2, 1}), {bytes({2, 2})}},
        {"max tf 0", bytes({1, 1, 0, 6, 0, 1}), {bytes({1, 1})}},
        {"size short of the block", bytes({1, 1, 0, 6, 1, 1}), {bytes({1, 1, 0})}},
        {"size beyond the blob", bytes({1, 1, 0, 7, 1, 1}), {bytes({1, 1})}},
        {"size below a posting", bytes({1, 1, 0, 5, 1, 1}), {bytes({1})}},
        {"bytes after the last block", bytes({1, 1, 0, 6, 1, 1}), {bytes({1, 1}), bytes({})}},
        {"tf 0", bytes({1, 1, 0, 6, 1, 1}), {bytes({0, 1})}},
        {"length below tf", bytes({1, 1, 0, 6, 3, 2}), {bytes({3, 2})}},
        {"repeated id", bytes({2, 1, 0, 9, 1, 1}), {bytes({1, 1, 0, 1, 1})}},
        {"id beyond the block's last", bytes({2, 1, 1, 9, 1, 1}), {bytes({1, 1, 2, 1, 1})}},
        {"overlong varint", bytes({1, 0x81, 0x00, 0, 6, 1, 1}), {bytes({1, 1})}},
        {"id of 2**63",
         bytes({1, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0, 6, 1, 1}),
         {bytes({1, 1})}},
        {"eleven-byte varint",
         bytes({1, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0, 6, 1, 1}),
         {bytes({1, 1})}},
        {"unterminated varint", bytes({1, 1, 0, 6, 1, 0x80}), {}},
        {"tf of 2**32",
         bytes({1, 1, 0, 14, 1, 1}),
         {bytes({0x80, 0x80, 0x80, 0x80, 0x10, 0x80, 0x80, 0x80, 0x80, 0x10})}},
    };
    for (const auto& [name, header, blocks] : cases) {
        EXPECT_THROW(decode_postings(assemble(header, blocks)), CorruptPostings) << name;
    }
    // Blocks after the first: a first-id gap of 0 repeats an id; ids may not pass 2**63 - 1.
    std::string header = bytes({65});
    std::vector<std::string> blocks;
    std::string full_block = bytes({1, 1});
    for (int i = 1; i < 64; ++i) full_block += bytes({1, 1, 1});
    ASSERT_EQ(4 + full_block.size(), 195u);  // 0xC3 0x01 as a varint
    header += bytes({1, 63, 0xC3, 0x01, 1, 1});
    blocks.push_back(full_block);
    blocks.push_back(bytes({1, 1}));
    ASSERT_EQ(decode_postings(assemble(header + bytes({1, 0, 6, 1, 1}), blocks)).size(), 65u);
    EXPECT_THROW(decode_postings(assemble(header + bytes({0, 0, 6, 1, 1}), blocks)),
                 CorruptPostings);
    // A first id of 2**63 - 1 leaves no room for a span of 1.
    const std::string top = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_EQ(decode_postings(assemble(bytes({1}) + top + bytes({0, 6, 1, 1}), {bytes({1, 1})})),
              (std::vector<Posting>{{kMaxDocId, 1, 1}}));
    EXPECT_THROW(
        decode_postings(assemble(bytes({2}) + top + bytes({1, 9, 1, 1}), {bytes({1, 1, 1, 1, 1})})),
        CorruptPostings);
    EXPECT_THROW(decode_postings(bytes({1, 2, 3})), CorruptPostings);
}

TEST(PostingsCodec, RandomBytesNeverPass) {
    std::mt19937 random(11);
    for (int round = 0; round < 20000; ++round) {
        // A plausible header (count, first id, span, size, max tf, length bound) over a block
        // of random bytes, the header often right about the block's size.
        std::string block(random() % 12, '\0');
        for (char& c : block) c = static_cast<char>(random() % 4 == 0 ? random() : random() % 4);
        std::string header =
            bytes({static_cast<int>(1 + random() % 3), static_cast<int>(random() % 4),
                   static_cast<int>(random() % 4),
                   static_cast<int>(random() % 2 == 0 ? block.size() + 4 : random() % 20),
                   static_cast<int>(random() % 4), static_cast<int>(random() % 4)});
        if (random() % 4 == 0) header[random() % header.size()] = static_cast<char>(random());
        // Most fail on structure; the rest decode to lists that encode back to the same
        // bytes, the only form a list has.
        try {
            const std::string blob = assemble(header, {block});
            const auto postings = decode_postings(blob);
            EXPECT_EQ(encode_postings(postings), blob);
        } catch (const CorruptPostings&) {
        }
    }
}

}  // namespace
}  // namespace revuradova::postings
