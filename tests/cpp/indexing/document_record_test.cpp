#include "indexing/document_record.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "models/uuid.hpp"

namespace revuradova {
namespace {

// Every field reads back as written, for sizes that do and do not fill the last word, with
// empty texts, bytes of every value, and terms set after construction.
TEST(DocumentRecord, FieldsReadBackAsWritten) {
    const std::string bytes("a\0\xff\xc3\xa9z", 6);
    for (std::size_t id_size = 0; id_size < 6; ++id_size) {
        for (std::size_t fresh = 0; fresh < 3; ++fresh) {
            const std::vector<TermId> known = {7, 0, 4294967294u};
            const std::string id = bytes.substr(0, id_size);
            DocumentRecord record(known, known.size() + fresh, std::uint64_t{1} << 32, id, "",
                                  bytes);
            for (std::size_t i = 0; i < fresh; ++i) record.set_term(known.size() + i, 100 + i);
            EXPECT_EQ(record.id().view(), id);
            EXPECT_EQ(record.location(), "");
            EXPECT_EQ(record.preview(), bytes);
            std::vector<TermId> expected = known;
            for (std::size_t i = 0; i < fresh; ++i) expected.push_back(100 + i);
            EXPECT_EQ(std::vector<TermId>(record.terms().begin(), record.terms().end()), expected);
        }
    }
}

TEST(DocumentRecord, CopiesAreIndependentAndMovesLeaveAnEmptyRecord) {
    DocumentRecord original(std::vector<TermId>{1}, 2, 10, "id", "loc", "preview");
    original.set_term(1, 9);
    DocumentRecord copy = original;
    copy.set_term(0, 5);
    EXPECT_EQ(original.terms()[0], 1u);
    EXPECT_EQ(copy.terms()[1], 9u);
    EXPECT_EQ(copy.location(), "loc");
    DocumentRecord moved = std::move(original);
    EXPECT_EQ(moved.preview(), "preview");
    copy = moved;
    EXPECT_EQ(copy.terms()[0], 1u);

    const DocumentRecord empty;
    EXPECT_TRUE(empty.id().empty());
    EXPECT_TRUE(empty.terms().empty());
}

// Terms take as many bytes as the record's limit needs: the largest identifier below the
// limit and its neighbours read back at every width, next to texts that follow them.
TEST(DocumentRecord, TermsPackedToTheLimitReadBack) {
    for (const std::uint64_t limit :
         {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{256}, std::uint64_t{257},
          std::uint64_t{65536}, std::uint64_t{65537}, std::uint64_t{1} << 24,
          (std::uint64_t{1} << 24) + 1, std::uint64_t{1} << 32}) {
        const auto top = static_cast<TermId>(limit - 1);
        const std::vector<TermId> known = {top, 0, top / 2, top > 0 ? top - 1 : 0};
        DocumentRecord record(known, known.size() + 1, limit, "id", "", "pre");
        record.set_term(known.size(), top);
        std::vector<TermId> expected = known;
        expected.push_back(top);
        EXPECT_EQ(std::vector<TermId>(record.terms().begin(), record.terms().end()), expected)
            << limit;
        EXPECT_EQ(record.id().view(), "id");
        EXPECT_EQ(record.preview(), "pre");
        const std::size_t width = limit <= 256          ? 1
                                  : limit <= 65536      ? 2
                                  : limit <= (1u << 24) ? 3
                                                        : 4;
        EXPECT_EQ(record.term_bytes(), expected.size() * width) << limit;
    }
}

// Identifiers of the knowledge objects' own form are kept packed and read back exactly;
// every near miss (a capital digit, a moved dash, another prefix or length) is kept as is.
TEST(DocumentRecord, KnowledgeObjectIdentifiersReadBackExactly) {
    std::mt19937 rng(41);
    std::vector<std::string> ids;
    for (int i = 0; i < 200; ++i) {
        std::array<std::uint8_t, 16> bytes;
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        ids.push_back("ko_" + format_uuid_v4(bytes));
    }
    const std::string base = ids.front();
    ids.push_back("ko_00000000-0000-0000-0000-000000000000");
    ids.push_back("ko_ffffffff-ffff-ffff-ffff-ffffffffffff");
    std::string upper = base;
    upper[5] = 'A';
    ids.push_back(upper);
    std::string moved = base;
    std::swap(moved[11], moved[12]);
    ids.push_back(moved);
    for (const auto& [at, c] : {std::pair{11, ','}, {16, '.'}, {4, 'g'}, {38, '/'}, {20, ':'}}) {
        std::string near = base;  // a dash one bit off, bytes just outside the hex digits
        near[at] = c;
        ids.push_back(near);
    }
    ids.push_back("kx" + base.substr(2));
    ids.push_back(base + "0");
    ids.push_back(base.substr(0, 38));
    ids.push_back(std::string("ko_") + std::string(36, '\0'));
    for (const std::string& id : ids) {
        DocumentRecord record(std::vector<TermId>{3}, 1, 4, id, "loc", "preview");
        EXPECT_EQ(record.id().view(), id);
        EXPECT_TRUE(record.id() == id);
        EXPECT_EQ(record.location(), "loc");
        EXPECT_EQ(record.preview(), "preview");
        const DocumentRecord copy = record;
        EXPECT_EQ(copy.id().view(), id);
        EXPECT_FALSE(copy.id() == base + "x");
    }
}

}  // namespace
}  // namespace revuradova
