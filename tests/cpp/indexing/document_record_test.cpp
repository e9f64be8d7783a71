#include "indexing/document_record.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
            DocumentRecord record(known, known.size() + fresh, id, "", bytes);
            for (std::size_t i = 0; i < fresh; ++i) record.set_term(known.size() + i, 100 + i);
            EXPECT_EQ(record.id(), id);
            EXPECT_EQ(record.location(), "");
            EXPECT_EQ(record.preview(), bytes);
            std::vector<TermId> expected = known;
            for (std::size_t i = 0; i < fresh; ++i) expected.push_back(100 + i);
            EXPECT_EQ(std::vector<TermId>(record.terms().begin(), record.terms().end()), expected);
        }
    }
}

TEST(DocumentRecord, CopiesAreIndependentAndMovesLeaveAnEmptyRecord) {
    DocumentRecord original(std::vector<TermId>{1}, 2, "id", "loc", "preview");
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

}  // namespace
}  // namespace revuradova
