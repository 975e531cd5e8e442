// Shared and exclusive access to one of the module's objects through its access counter.
//
// The interpreter lock alone does not keep two calls on one object apart: an argument
// conversion can run Python code (__float__, __index__) that calls back into the same object
// or lets another thread run. The counter turns every such overlap into a RuntimeError. It is
// 0 while free, n > 0 for n shared accesses, -1 for one exclusive access.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace pyqelm {

using BorrowFlag = std::atomic<std::int64_t>;

enum class Access { Shared, Exclusive };

class AccessGuard {
public:
    // Takes the access or throws PyErrorAlreadySet with the RuntimeError set.
    AccessGuard(BorrowFlag& flag, Access access) : flag_(&flag), access_(access) {
        if (access == Access::Exclusive) {
            std::int64_t expected = 0;
            if (!flag.compare_exchange_strong(expected, -1)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                throw PyErrorAlreadySet{};
            }
            return;
        }
        std::int64_t current = flag.load();
        do {
            if (current == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw PyErrorAlreadySet{};
            }
        } while (!flag.compare_exchange_weak(current, current + 1));
    }
    AccessGuard(AccessGuard&& other) noexcept : flag_(other.flag_), access_(other.access_) {
        other.flag_ = nullptr;
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    AccessGuard& operator=(AccessGuard&&) = delete;
    ~AccessGuard() {
        if (flag_ == nullptr) return;
        if (access_ == Access::Exclusive) {
            flag_->store(0);  // only the holder can release it
        } else {
            flag_->fetch_sub(1);
        }
    }

private:
    BorrowFlag* flag_;
    Access access_;
};

}  // namespace pyqelm
