#include "util/text_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace revuradova {
namespace {

TEST(TextList, KeepsOrderEmptyTextsAndBytes) {
    TextList list;
    EXPECT_TRUE(list.empty());
    list.push_back("ko_1");
    list.push_back("");
    list.push_back(std::string_view("a\0b", 3));
    list.push_back("ko_1");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0], "ko_1");
    EXPECT_EQ(list[1], "");
    EXPECT_EQ(list[2], std::string_view("a\0b", 3));
    EXPECT_EQ(list[3], "ko_1");
    EXPECT_EQ(list.to_vector(),
              (std::vector<std::string>{"ko_1", "", std::string("a\0b", 3), "ko_1"}));
    EXPECT_EQ(std::count(list.begin(), list.end(), "ko_1"), 2);
    EXPECT_EQ(list.end() - list.begin(), 4);
}

TEST(TextList, CopiesAreIndependentAndCompareByContent) {
    TextList a{"x", "yy"};
    TextList b = a;
    b.push_back("z");
    EXPECT_EQ(a.size(), 2u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, (TextList{"x", "yy"}));
    EXPECT_NE(a, (TextList{"xy", "y"}));  // same bytes, other boundaries
    EXPECT_EQ(a, (std::vector<std::string>{"x", "yy"}));
    b.clear();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(TextList(std::vector<std::string>{"q"}), (TextList{"q"}));
}

}  // namespace
}  // namespace revuradova
