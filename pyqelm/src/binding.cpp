// Argument binding: positional arguments first, then keywords in the order given, then the
// check for missing required parameters. Every message names the callable as
// "Class.method()".
#include "binding.hpp"

#include <string>

#include "capi.hpp"
#include "errors.hpp"

namespace pyqelm {
namespace {

std::string display_name(const ArgumentSpec& spec) {
    return std::string(spec.class_name) + "." + spec.callable + "()";
}

[[noreturn]] void fail_too_many_positional(const ArgumentSpec& spec, Py_ssize_t given) {
    const std::string name = display_name(spec);
    const char* verb = given == 1 ? "was" : "were";
    if (spec.required == spec.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     name.c_str(), spec.count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", name.c_str(),
                     spec.required, spec.count, given, verb);
    }
    throw PyErrorAlreadySet{};
}

// Binds one keyword; `keyword` is a str (the interpreter guarantees it for calls).
void bind_keyword(const ArgumentSpec& spec, BoundArguments& bound, PyObject* keyword,
                  PyObject* value) {
    for (std::size_t i = 0; i < spec.count; ++i) {
        if (PyUnicode_Check(keyword) &&
            PyUnicode_CompareWithASCIIString(keyword, spec.parameters[i]) == 0) {
            if (bound[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'",
                             display_name(spec).c_str(), keyword);
                throw PyErrorAlreadySet{};
            }
            bound[i] = value;
            return;
        }
    }
    if (PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     display_name(spec).c_str(), keyword);
    } else {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     display_name(spec).c_str(), keyword);
    }
    throw PyErrorAlreadySet{};
}

void check_required(const ArgumentSpec& spec, const BoundArguments& bound) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += bound[i] == nullptr ? 1 : 0;
    if (missing == 0) return;

    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string list;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (bound[i] != nullptr) continue;
        ++listed;
        if (listed > 1) {
            if (missing > 2) list += ",";
            list += listed == missing ? " and " : " ";
        }
        list += "'";
        list += spec.parameters[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 display_name(spec).c_str(), missing, missing == 1 ? "argument" : "arguments",
                 list.c_str());
    throw PyErrorAlreadySet{};
}

BoundArguments bind_positional(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 0 || static_cast<std::size_t>(nargs) > spec.count) {
        fail_too_many_positional(spec, nargs);
    }
    BoundArguments bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
    return bound;
}

}  // namespace

BoundArguments bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArguments bound = bind_positional(spec, args, nargs);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = capi::tuple_size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(spec, bound, capi::tuple_item(kwnames, k), args[nargs + k]);
        }
    }
    check_required(spec, bound);
    return bound;
}

BoundArguments bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    const capi::TupleItems items(args);
    BoundArguments bound = bind_positional(spec, items.data(), items.size());
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(spec, bound, key, value);
    }
    check_required(spec, bound);
    return bound;
}

}  // namespace pyqelm
