// Module initialisation: one module object per process, shared by every import in the main
// interpreter, with the classes Protocol, Channel and Coil.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "objects.hpp"
#include "once.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

// The C-API version the module was written against, as the module definition declares it to
// the interpreter (which only warns on a mismatch).
constexpr int MODULE_API_VERSION = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "pyqelm", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; the module's objects cannot be shared with
// another one.
std::atomic<std::int64_t> owning_interpreter{-1};

OnceCell<PyObject> module_cell;

// Appends `name` to the module's __all__ (created if missing) and sets the attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    Ref module(PyModule_Create2(&module_definition, MODULE_API_VERSION));
    if (!module) return nullptr;
    if (!add_class(module.get(), "Protocol", protocol_type()) ||
        !add_class(module.get(), "Channel", channel_type()) ||
        !add_class(module.get(), "Coil", coil_type())) {
        return nullptr;
    }
    return module.release();  // the cache keeps this reference for the process
}

}  // namespace
}  // namespace pyqelm

PyMODINIT_FUNC PyInit_pyqelm(void) {
    using namespace pyqelm;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "pyqelm does not yet support subinterpreters: it can be imported only "
                        "in the interpreter that imported it first");
        return nullptr;
    }
    PyObject* module = module_cell.get_or_create(create_module);
    return Py_XNewRef(module);
}
