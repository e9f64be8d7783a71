// The exact int8 scan: its order against a brute-force reference, its ties and its refusals.

#include "postings/nearest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "postings/errors.hpp"

namespace revuradova::postings {
namespace {

TEST(Nearest, WorkedExample) {
    // Three rows of two components; the query (2, 1).
    const std::vector<std::int8_t> codes = {1, 0, 0, 1, -1, 3};
    const std::vector<float> scales = {1.0f, 4.0f, 0.5f};
    const std::vector<std::int8_t> query = {2, 1};
    const auto found = nearest_rows(codes, scales, query, 5);
    ASSERT_EQ(found.size(), 3u);  // limit above the rows: every row
    EXPECT_EQ(found[0].row, 1u);  // 4 * 1
    EXPECT_FLOAT_EQ(found[0].score, 4.0f);
    EXPECT_EQ(found[1].row, 0u);  // 1 * 2
    EXPECT_EQ(found[2].row, 2u);  // 0.5 * (-2 + 3)
    EXPECT_FLOAT_EQ(found[2].score, 0.5f);
    EXPECT_TRUE(nearest_rows(codes, scales, query, 0).empty());
}

TEST(Nearest, AgreesWithBruteForceAndBreaksTiesByRow) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> component(-127, 127);
    const std::size_t rows = 5000, dim = 384;
    std::vector<std::int8_t> codes(rows * dim), query(dim);
    for (auto& c : codes) c = static_cast<std::int8_t>(component(random));
    for (auto& c : query) c = static_cast<std::int8_t>(component(random));
    // Every row repeated once further on: equal scores, the lower row first.
    std::copy(codes.begin(), codes.begin() + 100 * dim, codes.begin() + 4000 * dim);
    std::vector<float> scales(rows, 0.01f);
    std::copy(scales.begin(), scales.begin() + 100, scales.begin() + 4000);
    std::vector<std::pair<float, std::size_t>> reference;
    for (std::size_t r = 0; r < rows; ++r) {
        std::int32_t dot = 0;
        for (std::size_t i = 0; i < dim; ++i) dot += codes[r * dim + i] * query[i];
        reference.emplace_back(-(scales[r] * static_cast<float>(dot)), r);
    }
    std::sort(reference.begin(), reference.end());
    const auto found = nearest_rows(codes, scales, query, 300);
    ASSERT_EQ(found.size(), 300u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].row, reference[i].second) << i;
        EXPECT_EQ(found[i].score, -reference[i].first) << i;
    }
}

TEST(Nearest, ALargeScanSplitOverTwoThreadsGivesTheSameOrder) {
    // Enough rows for the scan to be split in halves; rows repeated across the halves tie,
    // and the lower row must still come first.
    std::mt19937 random(5);
    std::uniform_int_distribution<int> component(-127, 127);
    const std::size_t rows = 70000, dim = 16;
    std::vector<std::int8_t> codes(rows * dim), query(dim);
    for (auto& c : codes) c = static_cast<std::int8_t>(component(random));
    for (auto& c : query) c = static_cast<std::int8_t>(component(random));
    std::vector<float> scales(rows, 1.0f);
    for (std::size_t r = 0; r < 200; ++r) {
        std::copy_n(codes.begin() + static_cast<std::ptrdiff_t>(r * dim), dim,
                    codes.begin() + static_cast<std::ptrdiff_t>((rows - 1 - r) * dim));
    }
    std::vector<std::pair<float, std::size_t>> reference;
    for (std::size_t r = 0; r < rows; ++r) {
        std::int32_t dot = 0;
        for (std::size_t i = 0; i < dim; ++i) dot += codes[r * dim + i] * query[i];
        reference.emplace_back(-static_cast<float>(dot), r);
    }
    std::sort(reference.begin(), reference.end());
    for (const std::size_t limit : {1u, 10u, 500u}) {
        const auto found = nearest_rows(codes, scales, query, limit);
        ASSERT_EQ(found.size(), limit);
        for (std::size_t i = 0; i < limit; ++i) {
            ASSERT_EQ(found[i].row, reference[i].second) << limit << " " << i;
        }
    }
}

TEST(Nearest, ADamagedScaleRanksLastAndBadSizesAreRefused) {
    const std::vector<std::int8_t> codes = {1, 1, 1, 1};
    const std::vector<std::int8_t> query = {1, 1};
    for (const float damaged : {NAN, INFINITY, 3e38f}) {  // the last overflows the product
        const std::vector<float> scales = {damaged, 1.0f};
        const auto found = nearest_rows(codes, scales, query, 2);
        EXPECT_EQ(found[0].row, 1u);
        EXPECT_EQ(found[1].row, 0u);
        EXPECT_TRUE(std::isinf(found[1].score) && found[1].score < 0);
    }
    const std::vector<float> scales = {1.0f, 1.0f};
    // Longer vectors than a 32-bit sum of products can hold are refused.
    const std::vector<std::int8_t> long_query(131072, 1), long_codes(131072, 1);
    EXPECT_THROW(nearest_rows(long_codes, std::vector<float>{1.0f}, long_query, 1), InvalidInput);
    EXPECT_THROW(nearest_rows(codes, scales, std::vector<std::int8_t>{1, 1, 1}, 2), InvalidInput);
    EXPECT_THROW(nearest_rows(codes, scales, std::vector<std::int8_t>{}, 2), InvalidInput);
    EXPECT_THROW(nearest_rows(codes, std::vector<float>{1.0f}, query, 2), InvalidInput);
}

}  // namespace
}  // namespace revuradova::postings
