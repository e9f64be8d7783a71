#pragma once

// Python view of this file: nothing; the run-time borrow rules of every instance.
// A reading call holds a SharedBorrow of its instance, index_document an
// ExclusiveBorrow; a conflicting borrow raises RuntimeError and touches nothing.

#include "python_bindings/object.hpp"

namespace revuradova::py {

/// Borrow state of one instance. Invariant: 0 = free, n > 0 = n shared borrows,
/// kExclusive = one exclusive borrow.
struct BorrowFlag {
    static constexpr Py_ssize_t kExclusive = -1;
    Py_ssize_t state = 0;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
        if (flag.state == BorrowFlag::kExclusive) {
            raise(PyExc_RuntimeError, "Already mutably borrowed");
        }
        ++flag.state;
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_ != nullptr) --flag_->state;
    }

private:
    BorrowFlag* flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag.state = BorrowFlag::kExclusive;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { flag_.state = 0; }

private:
    BorrowFlag& flag_;
};

}  // namespace revuradova::py
