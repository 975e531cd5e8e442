// The few CPython calls whose fast forms (macros reading object layouts) are not part of the
// limited API. The stable-ABI build (Py_LIMITED_API, one wheel for CPython 3.12 and later) uses
// the function forms; the version-specific build keeps the direct reads. Both give the same
// results and the same errors for every input the callers pass.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace pyqelm::capi {

// Size of a tuple known to be a tuple (argument tuples, keyword-name tuples).
inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#ifdef Py_LIMITED_API
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

// Borrowed item `i` of a tuple, 0 <= i < tuple_size(tuple).
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(tuple, i);
#else
    return PyTuple_GET_ITEM(tuple, i);
#endif
}

// The items of a tuple as a contiguous array of borrowed references. The limited API gives no
// pointer into the tuple, so that build copies the pointers (only class construction, which
// takes its arguments as a tuple, comes here).
class TupleItems {
public:
    explicit TupleItems(PyObject* tuple) : size_(tuple_size(tuple)) {
#ifdef Py_LIMITED_API
        items_.reserve(static_cast<std::size_t>(size_));
        for (Py_ssize_t i = 0; i < size_; ++i) items_.push_back(tuple_item(tuple, i));
#else
        data_ = PySequence_Fast_ITEMS(tuple);
#endif
    }
    PyObject* const* data() const noexcept {
#ifdef Py_LIMITED_API
        return items_.data();
#else
        return data_;
#endif
    }
    Py_ssize_t size() const noexcept { return size_; }

private:
    Py_ssize_t size_;
#ifdef Py_LIMITED_API
    std::vector<PyObject*> items_;
#else
    PyObject* const* data_;
#endif
};

// The value of an exact or derived float (PyFloat_Check is true), which cannot fail.
inline double float_value(PyObject* value) noexcept {
#ifdef Py_LIMITED_API
    return PyFloat_AsDouble(value);
#else
    return PyFloat_AS_DOUBLE(value);
#endif
}

// A new instance from the type's allocator (the type's tp_alloc slot), without running
// __new__ or __init__.
inline PyObject* alloc_instance(PyTypeObject* type) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

// callable(arg); a new reference or nullptr with an exception set.
inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
#ifdef Py_LIMITED_API
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
#else
    return PyObject_CallOneArg(callable, arg);
#endif
}

}  // namespace pyqelm::capi
