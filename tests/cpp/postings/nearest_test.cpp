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

/// Random int8 rows and query from `seed`.
struct Example {
    std::vector<std::int8_t> codes, query;
};

Example random_example(unsigned seed, std::size_t rows, std::size_t dim) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> component(-127, 127);
    Example e{std::vector<std::int8_t>(rows * dim), std::vector<std::int8_t>(dim)};
    for (auto& c : e.codes) c = static_cast<std::int8_t>(component(random));
    for (auto& c : e.query) c = static_cast<std::int8_t>(component(random));
    return e;
}

/// Every row as (-score, row), sorted: the order the scan must give, by brute force.
std::vector<std::pair<float, std::size_t>> brute_force(const Example& e,
                                                       const std::vector<float>& scales) {
    const std::size_t dim = e.query.size();
    std::vector<std::pair<float, std::size_t>> reference;
    for (std::size_t r = 0; r < scales.size(); ++r) {
        std::int32_t dot = 0;
        for (std::size_t i = 0; i < dim; ++i) dot += e.codes[r * dim + i] * e.query[i];
        reference.emplace_back(-(scales[r] * static_cast<float>(dot)), r);
    }
    std::sort(reference.begin(), reference.end());
    return reference;
}

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
    const std::size_t rows = 5000, dim = 384;
    Example e = random_example(11, rows, dim);
    // Every row repeated once further on: equal scores, the lower row first.
    std::copy(e.codes.begin(), e.codes.begin() + 100 * dim, e.codes.begin() + 4000 * dim);
    std::vector<float> scales(rows, 0.01f);
    const auto reference = brute_force(e, scales);
    const auto found = nearest_rows(e.codes, scales, e.query, 300);
    ASSERT_EQ(found.size(), 300u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].row, reference[i].second) << i;
        EXPECT_EQ(found[i].score, -reference[i].first) << i;
    }
}

TEST(Nearest, ALargeScanSplitOverTwoThreadsGivesTheSameOrder) {
    // Enough rows for the scan to be split in halves; rows repeated across the halves tie,
    // and the lower row must still come first.
    const std::size_t rows = 70000, dim = 16;
    Example e = random_example(5, rows, dim);
    for (std::size_t r = 0; r < 200; ++r) {
        std::copy_n(e.codes.begin() + static_cast<std::ptrdiff_t>(r * dim), dim,
                    e.codes.begin() + static_cast<std::ptrdiff_t>((rows - 1 - r) * dim));
    }
    const std::vector<float> scales(rows, 1.0f);
    const auto reference = brute_force(e, scales);
    for (const std::size_t limit : {1u, 10u, 500u}) {
        const auto found = nearest_rows(e.codes, scales, e.query, limit);
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
