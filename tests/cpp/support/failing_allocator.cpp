#include "support/failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {

long g_countdown = 0;  // 0: disarmed
bool g_fired = false;

void* allocate(std::size_t size) {
    if (g_countdown > 0 && --g_countdown == 0) {
        g_fired = true;
        throw std::bad_alloc();
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

namespace revuradova::testing {

void arm_allocation_failure(long kth) noexcept {
    g_countdown = kth;
    g_fired = false;
}
void disarm_allocation_failure() noexcept { g_countdown = 0; }
bool allocation_failure_fired() noexcept { return g_fired; }

}  // namespace revuradova::testing

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
