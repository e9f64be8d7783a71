#include "support/failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {

long g_countdown = 0;  // 0: disarmed
bool g_fired = false;

// Throws bad_alloc when the armed allocation is reached.
void count_down() {
    if (g_countdown > 0 && --g_countdown == 0) {
        g_fired = true;
        throw std::bad_alloc();
    }
}

void* allocate(std::size_t size) {
    count_down();
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
    count_down();
    // aligned_alloc wants a size that is a multiple of the alignment.
    const auto alignment = static_cast<std::size_t>(align);
    const std::size_t rounded = (size == 0 ? 1 : size) + alignment - 1;
    if (rounded < size) throw std::bad_alloc();
    void* memory = std::aligned_alloc(alignment, rounded / alignment * alignment);
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

// Every form of the global operator new and delete is replaced, so that memory obtained through
// any of them (GoogleTest itself uses the nothrow form) is released by the matching function.
// All forms allocate with malloc or aligned_alloc and release with free.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t align) {
    return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return allocate_aligned(size, align);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(size, align);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t& tag) noexcept {
    return operator new(size, align, tag);
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(memory);
}
