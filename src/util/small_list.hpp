#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "util/reserve.hpp"

namespace revuradova {

/// A vector of trivially copyable values that keeps up to `Inline` of them in itself, with a
/// 32-bit size and capacity. An index holds one list per term and most terms have few
/// documents: a list that fits inside costs no allocation, and the header is 16 bytes for
/// one 8-byte value instead of a vector's 24 and a heap block of at least 32.
///
/// The operations that can grow the list (reserve, push_back, emplace_back, insert, resize,
/// the copies) throw std::bad_alloc or std::length_error and leave the list as it was; once
/// reserve(n) has returned, growing to n elements cannot fail. Iterators are pointers, made
/// invalid by anything that changes the capacity.
template <class T, std::size_t Inline>
class SmallList {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Inline >= 1);

public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    SmallList() noexcept = default;
    SmallList(std::size_t count, const T& value) {
        reserve(count);
        std::fill_n(data(), count, value);
        size_ = static_cast<std::uint32_t>(count);
    }
    SmallList(const SmallList& other) {
        reserve(other.size_);
        if (other.size_ != 0) std::memcpy(data(), other.data(), other.size_ * sizeof(T));
        size_ = other.size_;
    }
    SmallList& operator=(const SmallList& other) {
        if (this != &other) SmallList(other).swap(*this);
        return *this;
    }
    SmallList(SmallList&& other) noexcept
        : storage_(other.storage_), size_(other.size_), capacity_(other.capacity_) {
        other.forget();
    }
    SmallList& operator=(SmallList&& other) noexcept {
        if (this != &other) {
            release();
            storage_ = other.storage_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.forget();
        }
        return *this;
    }
    ~SmallList() { release(); }

    void swap(SmallList& other) noexcept {
        std::swap(storage_, other.storage_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    static constexpr std::size_t max_size() noexcept {
        return std::numeric_limits<std::uint32_t>::max();
    }
    bool empty() const noexcept { return size_ == 0; }
    /// Bytes allocated outside the list (none while the values fit inside).
    std::size_t heap_bytes() const noexcept { return on_heap() ? capacity_ * sizeof(T) : 0; }

    T* data() noexcept { return on_heap() ? heap() : items(); }
    const T* data() const noexcept { return on_heap() ? heap() : items(); }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T& back() noexcept { return data()[size_ - 1]; }
    const T& back() const noexcept { return data()[size_ - 1]; }

    /// Room for `wanted` values in all. Strong guarantee.
    void reserve(std::size_t wanted) {
        if (wanted <= capacity_) return;
        if (wanted > max_size()) {
            throw std::length_error("a list holds at most 2**32 - 1 values");
        }
        T* grown = static_cast<T*>(::operator new(wanted * sizeof(T)));
        if (size_ != 0) std::memcpy(grown, data(), size_ * sizeof(T));
        release();
        set_heap(grown);
        capacity_ = static_cast<std::uint32_t>(wanted);
    }

    // The value is copied before the list grows: it may be one of the list's own.
    void push_back(const T& value) {
        const T copy = value;
        reserve_more(*this, 1);
        data()[size_++] = copy;
    }
    T& emplace_back() {
        reserve_more(*this, 1);
        T& added = data()[size_++];
        added = T{};
        return added;
    }
    T* insert(const T* at, const T& value) {
        const T copy = value;
        const auto position = static_cast<std::size_t>(at - data());
        reserve_more(*this, 1);
        T* place = data() + position;
        std::memmove(place + 1, place, (size_ - position) * sizeof(T));
        *place = copy;
        ++size_;
        return place;
    }
    T* erase(const T* at) noexcept {
        const auto position = static_cast<std::size_t>(at - data());
        T* place = data() + position;
        std::memmove(place, place + 1, (size_ - position - 1) * sizeof(T));
        --size_;
        return place;
    }
    /// Keeps the first `count` values, or adds value-initialised ones up to it.
    void resize(std::size_t count) {
        if (count > size_) {
            reserve_more(*this, count - size_);
            std::fill(data() + size_, data() + count, T{});
        }
        size_ = static_cast<std::uint32_t>(count);
    }

private:
    // The heap pointer, or (capacity_ == Inline) the values themselves: bytes, so that T
    // needs no trivial default constructor. T is trivially copyable, so its values live in
    // them as in any storage.
    struct Storage {
        alignas(T) alignas(T*) unsigned char bytes[std::max(sizeof(T*), sizeof(T) * Inline)];
    };
    T* heap() const noexcept {
        T* pointer;
        std::memcpy(&pointer, storage_.bytes, sizeof pointer);
        return pointer;
    }
    void set_heap(T* pointer) noexcept { std::memcpy(storage_.bytes, &pointer, sizeof pointer); }
    T* items() noexcept { return reinterpret_cast<T*>(storage_.bytes); }
    const T* items() const noexcept { return reinterpret_cast<const T*>(storage_.bytes); }

    bool on_heap() const noexcept { return capacity_ > Inline; }
    void release() noexcept {
        if (on_heap()) ::operator delete(heap());
    }
    void forget() noexcept {
        size_ = 0;
        capacity_ = Inline;
    }

    Storage storage_{};
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = Inline;
};

}  // namespace revuradova
