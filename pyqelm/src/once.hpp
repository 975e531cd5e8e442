// Process-wide values created on first use (the module object, the classes, the exception type,
// the NumPy interface table).
//
// A thread waiting for another thread's creation must not hold the interpreter lock, or the
// creating thread (which may need the lock back, e.g. while running an import) and the waiting
// one could block each other. So the guard is entered with the lock released, and the lock is
// taken back before the creation runs. A failed creation caches nothing; the next use retries.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace pyqelm {

template <class T>
class OnceCell {
public:
    // Returns the cached value, or runs `create` (which returns T or nullptr with a Python
    // exception set) under the guard. nullptr means the creation failed.
    template <class Create>
    T* get_or_create(Create&& create) {
        if (T* cached = value_.load(std::memory_order_acquire)) return cached;
        Py_BEGIN_ALLOW_THREADS
        mutex_.lock();
        Py_END_ALLOW_THREADS
        T* result = value_.load(std::memory_order_acquire);
        if (result == nullptr) {
            result = create();
            if (result != nullptr) value_.store(result, std::memory_order_release);
        }
        mutex_.unlock();
        return result;
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace pyqelm
