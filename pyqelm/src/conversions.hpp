// Conversions of Python arguments to the values the methods work with. Each throws
// PyErrorAlreadySet on failure, with a TypeError already rewrapped under the parameter's name
// ("argument 'duration': ...") and any other exception left unchanged.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "access.hpp"

namespace pyqelm {

double to_f64(PyObject* value, const char* parameter);
std::uint64_t to_u64(PyObject* value, const char* parameter);
bool to_bool(PyObject* value, const char* parameter);
// A str (or subclass) as UTF-8 text.
std::string to_utf8(PyObject* value, const char* parameter);

// A Coil or Channel argument: its discriminant, read under shared access to the argument
// object, which the caller keeps until the method returns.
struct EnumArgument {
    std::uint8_t discriminant;
    AccessGuard access;
};
EnumArgument to_coil(PyObject* value, const char* parameter);
EnumArgument to_channel(PyObject* value, const char* parameter);

// Optional parameters take their default only when the argument is absent.
inline double to_f64_or(PyObject* value, const char* parameter, double fallback) {
    return value == nullptr ? fallback : to_f64(value, parameter);
}
inline bool to_bool_or(PyObject* value, const char* parameter, bool fallback) {
    return value == nullptr ? fallback : to_bool(value, parameter);
}

}  // namespace pyqelm
