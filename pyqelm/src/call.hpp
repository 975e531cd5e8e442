// The method-call skeleton every Protocol method runs: bind the arguments, check the receiver,
// take the method's access, convert the arguments in parameter order (inside the body), do the
// work, and release the access on every exit. Each method body is then only its own checks and
// its change.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "access.hpp"
#include "binding.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "objects.hpp"

namespace pyqelm {

// The bound arguments of one call, converted on request under their parameter names.
class Arguments {
public:
    Arguments(const ArgumentSpec& spec, const BoundArguments& bound) : spec_(spec), bound_(bound) {}

    PyObject* raw(std::size_t i) const { return bound_[i]; }
    const char* name(std::size_t i) const { return spec_.parameters[i]; }

    double f64(std::size_t i) const { return to_f64(bound_[i], name(i)); }
    double f64_or(std::size_t i, double fallback) const {
        return to_f64_or(bound_[i], name(i), fallback);
    }
    std::uint64_t u64(std::size_t i) const { return to_u64(bound_[i], name(i)); }
    bool bool_or(std::size_t i, bool fallback) const {
        return to_bool_or(bound_[i], name(i), fallback);
    }
    std::string utf8(std::size_t i) const { return to_utf8(bound_[i], name(i)); }
    EnumArgument coil(std::size_t i) const { return to_coil(bound_[i], name(i)); }
    EnumArgument channel(std::size_t i) const { return to_channel(bound_[i], name(i)); }

private:
    const ArgumentSpec& spec_;
    const BoundArguments& bound_;
};

// The receiver as a Protocol, or the cast error naming 'Protocol'.
inline ProtocolObject& receiver(PyObject* self) {
    PyTypeObject* type = protocol_type();
    if (type == nullptr) throw PyErrorAlreadySet{};
    if (!PyObject_TypeCheck(self, type)) {
        set_cast_error(self, "Protocol");
        throw PyErrorAlreadySet{};
    }
    return *reinterpret_cast<ProtocolObject*>(self);
}

// A METH_FASTCALL | METH_KEYWORDS method. `body(ProtocolObject&, const Arguments&)` returns a
// new reference; it reports failures by throwing.
template <class Body>
PyObject* call_method(PyObject* self, const ArgumentSpec& spec, Access access,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body&& body) noexcept {
    try {
        const BoundArguments bound = bind_fastcall(spec, args, nargs, kwnames);
        ProtocolObject& protocol = receiver(self);
        AccessGuard guard(protocol.borrow_flag, access);
        return body(protocol, Arguments(spec, bound));
    } catch (...) {
        return translate_current_exception();
    }
}

// A METH_NOARGS method (the interpreter has already refused any argument).
template <class Body>
PyObject* call_noargs(PyObject* self, Access access, Body&& body) noexcept {
    try {
        ProtocolObject& protocol = receiver(self);
        AccessGuard guard(protocol.borrow_flag, access);
        return body(protocol);
    } catch (...) {
        return translate_current_exception();
    }
}

// Python ints for the methods' results.
inline PyObject* new_u64(std::uint64_t value) {
    PyObject* result = PyLong_FromUnsignedLongLong(value);
    check(result != nullptr);
    return result;
}

}  // namespace pyqelm
