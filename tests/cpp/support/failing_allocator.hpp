#pragma once

// A global operator new that can be told to fail: arm_allocation_failure(k) makes the k-th
// allocation from then on throw std::bad_alloc (and every later one succeed again). Linked
// into the one test executable that replaces the global allocator.

#include <cstddef>
#include <new>

namespace revuradova::testing {

void arm_allocation_failure(long kth) noexcept;
void disarm_allocation_failure() noexcept;
/// Whether the armed failure has been thrown since the last arm.
bool allocation_failure_fired() noexcept;

/// Runs `operation` with the k-th allocation failing, for k = 1, 2, ... until it
/// completes without meeting a failure; after each failure calls `check_unchanged`.
/// Returns the number of failures injected.
template <class Operation, class Check>
long for_each_allocation_failure(Operation&& operation, Check&& check_unchanged) {
    for (long k = 1;; ++k) {
        arm_allocation_failure(k);
        bool failed = false;
        try {
            operation();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        disarm_allocation_failure();
        if (!failed) return k - 1;
        check_unchanged();
    }
}

}  // namespace revuradova::testing
