// The one boundary where C++ failures become Python exceptions, and the exception helpers the
// call machinery shares.
//
// Inside a method, a Python exception that is already set travels as PyErrorAlreadySet; a
// refused operation as protocols::Failure (raised as PanicException); exhausted memory as
// std::bad_alloc (raised as MemoryError). No C++ exception crosses into the interpreter.
#pragma once

#include <Python.h>

#include <string>

namespace pyqelm {

// Thrown after a Python exception has been set; carries nothing.
struct PyErrorAlreadySet {};

// Throws PyErrorAlreadySet when `ok` is false (a C-API call failed and set an exception).
inline void check(bool ok) {
    if (!ok) throw PyErrorAlreadySet{};
}

// The PanicException type, created on first need (new reference is not returned: the type
// lives for the process). nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type();

// Turns the exception in flight (call from a catch block) into a Python exception and returns
// nullptr, the C-API's error result.
PyObject* translate_current_exception() noexcept;

// The qualified name of `type`, or "<failed to extract type name>".
std::string qualname_of(PyTypeObject* type);
// The qualified name of `object`'s type.
inline std::string type_qualname(PyObject* object) { return qualname_of(Py_TYPE(object)); }

// Sets TypeError "'{type of object}' object cannot be cast as '{target}'".
void set_cast_error(PyObject* object, const char* target);

// Takes the exception now set out of the interpreter and returns it as "Type: message" (or
// just the type's name when the message is empty).
std::string take_exception_text();

// If the exception now set is exactly TypeError, replaces it with TypeError
// "argument '{parameter}': {message}" keeping the original's __cause__. Other exceptions are
// left as they are.
void rewrap_argument_error(const char* parameter);

}  // namespace pyqelm
