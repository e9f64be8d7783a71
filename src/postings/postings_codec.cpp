#include "postings/postings_codec.hpp"

namespace revuradova::postings {
namespace {

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7Fu) | 0x80u));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

}  // namespace

void corrupt(const char* what) { throw CorruptPostings(what); }

void corrupt(const char* what, const char* field) {
    throw CorruptPostings(std::string(what) + " " + field);
}

std::string encode_postings(std::span<const Posting> postings) {
    if (postings.empty()) return {};
    std::string blob;
    blob.reserve(4 + 10 + postings.size() * 5);
    blob.append(4, '\0');
    put_varint(blob, postings.size());
    DocId previous = 0;
    bool first = true;
    for (const Posting& posting : postings) {
        if (posting.id > kMaxDocId || (!first && posting.id <= previous)) {
            throw InvalidInput("posting ids must be strictly ascending and below 2**63");
        }
        if (posting.tf == 0 || posting.length < posting.tf) {
            throw InvalidInput("a posting needs 1 <= tf <= length");
        }
        put_varint(blob, posting.id - (first ? 0 : previous));
        put_varint(blob, posting.tf);
        put_varint(blob, posting.length);
        previous = posting.id;
        first = false;
    }
    const std::uint32_t crc = crc32(std::string_view(blob).substr(4));
    for (int i = 0; i < 4; ++i) blob[i] = static_cast<char>((crc >> (8 * i)) & 0xFFu);
    return blob;
}

std::vector<Posting> decode_postings(std::string_view blob) {
    PostingsReader reader(blob);
    std::vector<Posting> postings;
    postings.reserve(reader.size());
    Posting posting{};
    while (reader.next(posting)) postings.push_back(posting);
    return postings;
}

}  // namespace revuradova::postings
