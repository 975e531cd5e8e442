// Values created once, on first use: process-wide ones (the module object, the classes, the
// exception type, the NumPy interface table) and, in qelmfile, a loaded file's samples.
//
// A thread waiting for another thread's creation must not hold the interpreter lock, or the
// creating thread (which may need the lock back, e.g. while running an import) and the waiting
// one could block each other. So the guard is entered with the lock released, and the lock is
// taken back before the creation runs. A failed creation caches nothing; the next use retries.
//
// A creation can run Python code (importing NumPy runs import and audit hooks, finalizers and
// garbage-collection callbacks), and that code can ask for the same value again on the same
// thread. Waiting for the guard there would wait for ourselves forever, so the creating thread
// is remembered and such a re-entry fails at once instead.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace pyqelm {

template <class T>
class OnceCell {
public:
    // Returns the cached value, or runs `create` (which returns T or nullptr with a Python
    // exception set) under the guard. nullptr means the creation failed, or that it is already
    // running further up this thread's stack (RuntimeError set).
    template <class Create>
    T* get_or_create(Create&& create) {
        if (T* cached = value_.load(std::memory_order_acquire)) return cached;
        if (creating_on_this_thread()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "a one-time creation was re-entered on the thread that runs it");
            return nullptr;
        }
        std::unique_lock<std::mutex> guard(mutex_, std::defer_lock);
        PyThreadState* released = PyEval_SaveThread();
        guard.lock();
        PyEval_RestoreThread(released);

        T* result = value_.load(std::memory_order_acquire);
        if (result == nullptr) {
            const CreatorMark mark(creator_);
            result = create();
            if (result != nullptr) value_.store(result, std::memory_order_release);
        }
        return result;
    }

    // True while this thread runs the creation, i.e. when called from code the creation ran.
    // Only the creating thread can see its own id here, so other threads always get false.
    bool creating_on_this_thread() const noexcept {
        return creator_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    // Marks the current thread as the creator for the lifetime of the creation, exceptions
    // included.
    class CreatorMark {
    public:
        explicit CreatorMark(std::atomic<std::thread::id>& creator) noexcept : creator_(creator) {
            creator_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~CreatorMark() { creator_.store(std::thread::id{}, std::memory_order_relaxed); }
        CreatorMark(const CreatorMark&) = delete;
        CreatorMark& operator=(const CreatorMark&) = delete;

    private:
        std::atomic<std::thread::id>& creator_;
    };

    std::atomic<T*> value_{nullptr};
    std::atomic<std::thread::id> creator_;  // value-initialised: no thread
    std::mutex mutex_;
};

}  // namespace pyqelm
