#include "util/small_list.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "util/reserve.hpp"

namespace revuradova {
namespace {

struct Pair {
    std::uint32_t a = 7;  // a default that value-initialised elements must carry
    std::uint32_t b = 0;
    bool operator==(const Pair&) const = default;
};

template <class List, class T>
void expect_same(const List& list, const std::vector<T>& model) {
    ASSERT_EQ(list.size(), model.size());
    ASSERT_EQ(list.empty(), model.empty());
    ASSERT_EQ(std::vector<T>(list.begin(), list.end()), model);
    ASSERT_GE(list.capacity(), list.size());
}

// Random operations against std::vector, across the move from inside the list to the heap
// and back (a moved-from or swapped list), for one and for three values inside.
template <std::size_t Inline>
void against_vector(unsigned seed) {
    std::mt19937 rng(seed);
    SmallList<Pair, Inline> list;
    std::vector<Pair> model;
    for (int step = 0; step < 4000; ++step) {
        const Pair value{static_cast<std::uint32_t>(rng() % 100), static_cast<std::uint32_t>(step)};
        switch (rng() % 9) {
            case 0:
            case 1:
                list.push_back(value);
                model.push_back(value);
                break;
            case 2: {
                const std::size_t at = model.empty() ? 0 : rng() % (model.size() + 1);
                const Pair* placed = list.insert(list.begin() + at, value);
                ASSERT_EQ(placed - list.begin(), static_cast<std::ptrdiff_t>(at));
                model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), value);
                break;
            }
            case 3:
                if (!model.empty()) {
                    const std::size_t at = rng() % model.size();
                    list.erase(list.begin() + at);
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
                }
                break;
            case 4: {
                const std::size_t size = rng() % 12;
                list.resize(size);
                model.resize(size);
                break;
            }
            case 5: reserve_more(list, rng() % 5); break;
            case 6: {  // copies are deep
                SmallList<Pair, Inline> copy(list);
                expect_same(copy, model);
                if (!model.empty()) copy[0].a = 999;
                expect_same(list, model);
                list = copy;
                if (!model.empty()) model[0].a = 999;
                break;
            }
            case 7: {  // a moved-from list is empty and usable
                SmallList<Pair, Inline> moved(std::move(list));
                expect_same(list, std::vector<Pair>{});
                list.push_back(value);
                list = std::move(moved);
                break;
            }
            case 8: {
                SmallList<Pair, Inline> other(rng() % 4, value);
                list.swap(other);
                expect_same(other, model);
                model = std::vector<Pair>(list.begin(), list.end());
                ASSERT_EQ(model, std::vector<Pair>(model.size(), value));
                break;
            }
        }
        expect_same(list, model);
        if (!model.empty()) {
            ASSERT_EQ(list.back(), model.back());
        }
    }
}

TEST(SmallList, BehavesAsAVector) {
    against_vector<1>(3);
    against_vector<3>(5);
}

TEST(SmallList, KeepsFewValuesInside) {
    SmallList<std::uint64_t, 1> list;
    EXPECT_EQ(sizeof(list), 16u);
    list.push_back(5);
    EXPECT_EQ(list.heap_bytes(), 0u);
    EXPECT_EQ(reinterpret_cast<const void*>(list.data()), reinterpret_cast<const void*>(&list));
    list.push_back(6);
    EXPECT_EQ(list.heap_bytes(), list.capacity() * sizeof(std::uint64_t));
    EXPECT_EQ(list[0], 5u);
    EXPECT_EQ(list[1], 6u);
    // A value of the list itself, added while the list moves to a larger allocation.
    SmallList<std::uint64_t, 1> own(1, 7);
    own.push_back(own[0]);
    own.insert(own.begin(), own[1]);
    own.push_back(own.back());
    EXPECT_EQ(std::vector<std::uint64_t>(own.begin(), own.end()),
              (std::vector<std::uint64_t>{7, 7, 7, 7}));
    const SmallList<std::uint64_t, 1> filled(3, 9);
    EXPECT_EQ(std::vector<std::uint64_t>(filled.begin(), filled.end()),
              (std::vector<std::uint64_t>{9, 9, 9}));
}

}  // namespace
}  // namespace revuradova
