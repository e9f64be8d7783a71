#pragma once

#include <memory>
#include <utility>

namespace revuradova {

/// A heap-allocated value with value semantics: copying a Box copies what it holds,
/// so recursive records (a section and its subsections) copy deeply.
/// Invariant: a Box always holds a value, except after it has been moved from.
template <class T>
class Box {
public:
    Box() : ptr_(std::make_unique<T>()) {}
    explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& other) {
        if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;
    ~Box() = default;

    T& operator*() { return *ptr_; }
    const T& operator*() const { return *ptr_; }
    T* operator->() { return ptr_.get(); }
    const T* operator->() const { return ptr_.get(); }

private:
    std::unique_ptr<T> ptr_;
};

}  // namespace revuradova
