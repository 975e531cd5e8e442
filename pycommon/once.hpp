// Values created once, on first use: process-wide ones (the module object, the classes, the
// exception type, the NumPy interface table) and, in qelmfile, a loaded file's samples.
//
// The guard is state kept under the interpreter lock, not a mutex. A creation can run Python
// code (an import runs import and audit hooks, finalizers and garbage-collection callbacks), and
// a mutex held across it could wait on the import system's locks while their holder waits on
// it; and a mutex held by one thread while another calls fork() is copied locked into the child,
// where nobody will ever unlock it. Here a thread that finds another thread's creation running
// waits with the interpreter lock released (the creator may need it), polling the state; a
// creation that a fork() left behind in the parent counts as not running in the child, which
// starts it afresh. A failed creation caches nothing; the next use retries.
//
// That Python code can ask for the same value again on the same thread. Waiting there would
// wait for ourselves forever, so such a re-entry fails at once instead.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace pyqelm {

inline long current_process_id() noexcept {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

template <class T>
class OnceCell {
public:
    // Returns the cached value, or runs `create` (which returns T or nullptr with a Python
    // exception set). nullptr means the creation failed, or that it is already running further
    // up this thread's stack (RuntimeError set). Call with the interpreter lock held; `create`
    // runs with it held, and may release it.
    template <class Create>
    T* get_or_create(Create&& create) {
        for (;;) {
            if (T* cached = value_.load(std::memory_order_acquire)) return cached;
            if (!running()) break;
            if (creating_on_this_thread()) {
                PyErr_SetString(PyExc_RuntimeError,
                                "a one-time creation was re-entered on the thread that runs it");
                return nullptr;
            }
            Py_BEGIN_ALLOW_THREADS
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            Py_END_ALLOW_THREADS
        }
        const CreatorMark mark(*this);
        T* result = create();
        if (result != nullptr) value_.store(result, std::memory_order_release);
        return result;
    }

    // True while this thread runs the creation, i.e. when called from code the creation ran.
    bool creating_on_this_thread() const noexcept {
        return running() && creator_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    // A creator recorded by another process is the parent's, copied by fork(): its thread does
    // not exist here.
    bool running() const noexcept {
        return creator_.load(std::memory_order_relaxed) != std::thread::id{} &&
               creator_process_.load(std::memory_order_relaxed) == current_process_id();
    }

    // Marks the current thread as the creator for the lifetime of the creation, exceptions
    // included.
    class CreatorMark {
    public:
        explicit CreatorMark(OnceCell& cell) noexcept : cell_(cell) {
            cell_.creator_process_.store(current_process_id(), std::memory_order_relaxed);
            cell_.creator_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~CreatorMark() { cell_.creator_.store(std::thread::id{}, std::memory_order_relaxed); }
        CreatorMark(const CreatorMark&) = delete;
        CreatorMark& operator=(const CreatorMark&) = delete;

    private:
        OnceCell& cell_;
    };

    std::atomic<T*> value_{nullptr};
    // Read and written with the interpreter lock held; atomic only so that no reader can see a
    // torn value.
    std::atomic<std::thread::id> creator_;  // value-initialised: no thread
    std::atomic<long> creator_process_{0};
};

}  // namespace pyqelm
