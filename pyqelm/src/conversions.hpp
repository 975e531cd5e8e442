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
// object, which the caller keeps until the method returns. One type per enumeration, so that a
// method's parameter type names the conversion it needs.
template <class Tag>
struct EnumArgument {
    std::uint8_t discriminant;
    AccessGuard access;
};
using CoilArgument = EnumArgument<struct CoilTag>;
using ChannelArgument = EnumArgument<struct ChannelTag>;
CoilArgument to_coil(PyObject* value, const char* parameter);
ChannelArgument to_channel(PyObject* value, const char* parameter);

// An argument the method converts itself (an array), with its parameter's name for the
// messages of that conversion.
struct ObjectArgument {
    PyObject* object;
    const char* parameter;
};

}  // namespace pyqelm
