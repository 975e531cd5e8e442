// What every file of the reader module shares: the owning reference, the way a Python error
// travels through C++ code, the one boundary that turns C++ failures into Python exceptions,
// and process-wide values created on first use.
//
// The module is written against the stable ABI as well as the full API: no macros that reach
// into object layouts (PyTuple_GET_ITEM and the like), heap types from specs only.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace qelmfile {

// An owned PyObject reference, released on every path.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // For the C-API calls that replace a reference in place (PyUnicode_Append).
    PyObject*& ref() noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown after a C-API call has failed and set a Python exception.
struct PyErrorAlreadySet {};

// A new reference from a C-API call; throws when the call failed.
inline Ref checked(PyObject* result) {
    if (result == nullptr) throw PyErrorAlreadySet{};
    return Ref(result);
}
inline void check(bool ok) {
    if (!ok) throw PyErrorAlreadySet{};
}

// A field that to_protocol cannot rebuild: raised as ValueError "{path}: {reason}".
struct Refusal {
    std::string path;
    std::string reason;
};

// Turns the exception in flight into a Python exception; returns nullptr. Call from a catch
// block only.
PyObject* translate_current_exception() noexcept;

inline PyObject* new_text(std::string_view text) {
    // Names are checked UTF-8 when decoded; "replace" keeps this from failing regardless.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// A value created once per process on first use, under a guard that is entered with the
// interpreter lock released (so that a creation that runs Python code cannot deadlock against
// a waiting thread). A failed creation caches nothing.
template <class T>
class OnceCell {
public:
    template <class Create>
    T* get_or_create(Create&& create) {
        if (T* cached = value_.load(std::memory_order_acquire)) return cached;
        Py_BEGIN_ALLOW_THREADS mutex_.lock();
        Py_END_ALLOW_THREADS T* result = value_.load(std::memory_order_acquire);
        if (result == nullptr) {
            result = create();
            if (result != nullptr) value_.store(result, std::memory_order_release);
        }
        mutex_.unlock();
        return result;
    }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace qelmfile
