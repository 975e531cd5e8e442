// What every file of the reader module shares: the owning reference and the one-time guard
// (from pycommon/, shared with pyqelm), the way a Python error travels through C++ code, and
// the one boundary that turns C++ failures into Python exceptions.
//
// The module is written against the stable ABI as well as the full API: no macros that reach
// into object layouts (PyTuple_GET_ITEM and the like), heap types from specs only.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "once.hpp"
#include "pyref.hpp"

namespace qelmfile {

using pyqelm::Ref;

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

// Values created once per process on first use (the module object), and once per file (its
// samples, decoded on first need).
using pyqelm::OnceCell;

}  // namespace qelmfile
