// Binding Python call arguments to a callable's parameters, with the messages callers see.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace pyqelm {

inline constexpr std::size_t MAX_PARAMETERS = 4;

struct ArgumentSpec {
    const char* class_name;
    const char* callable;  // method name, or "__new__" for the constructor
    std::array<const char*, MAX_PARAMETERS> parameters;
    std::size_t count;     // number of parameters
    std::size_t required;  // number of leading parameters without a default
};

// The bound arguments: borrowed references, nullptr where an optional argument is absent.
using BoundArguments = std::array<PyObject*, MAX_PARAMETERS>;

// Binds a vectorcall-style call. Throws PyErrorAlreadySet with a TypeError set on failure.
BoundArguments bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// Binds a call given as an argument tuple and keyword dictionary (the constructor).
BoundArguments bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs);

}  // namespace pyqelm
