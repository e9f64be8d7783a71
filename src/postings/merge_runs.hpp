#pragma once

// One term's postings from several segments, in id order. The segments of a base hold
// disjoint ids; a document in two of them makes the term's postings corrupt.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "postings/errors.hpp"

namespace revuradova::postings {

/// Joins `runs` (each sorted by strictly ascending `id_of`) into one run sorted by id.
/// Runs covering separate id ranges, the usual case, are concatenated; overlapping ones are
/// merged through a heap. CorruptPostings when an id is in two runs.
template <class T, class IdOf>
std::vector<T> merge_runs(std::vector<std::vector<T>>& runs, IdOf id_of) {
    std::erase_if(runs, [](const std::vector<T>& run) { return run.empty(); });
    if (runs.size() == 1) return std::move(runs.front());
    std::sort(runs.begin(), runs.end(), [&](const std::vector<T>& a, const std::vector<T>& b) {
        return id_of(a.front()) < id_of(b.front());
    });
    std::size_t total = 0;
    bool separate = true;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        total += runs[r].size();
        if (r > 0 && id_of(runs[r - 1].back()) >= id_of(runs[r].front())) separate = false;
    }
    std::vector<T> merged;
    merged.reserve(total);
    if (separate) {
        for (const auto& run : runs) merged.insert(merged.end(), run.begin(), run.end());
        return merged;
    }
    using Head = std::pair<decltype(id_of(runs.front().front())), std::size_t>;  // id, run
    std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
    std::vector<std::size_t> next(runs.size(), 0);
    for (std::size_t r = 0; r < runs.size(); ++r) heads.emplace(id_of(runs[r].front()), r);
    while (!heads.empty()) {
        const auto [id, r] = heads.top();
        heads.pop();
        if (!merged.empty() && id_of(merged.back()) == id) {
            throw CorruptPostings("document " + std::to_string(id) + " in two segments");
        }
        merged.push_back(runs[r][next[r]]);
        if (++next[r] < runs[r].size()) heads.emplace(id_of(runs[r][next[r]]), r);
    }
    return merged;
}

}  // namespace revuradova::postings
