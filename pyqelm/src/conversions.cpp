// Argument conversions: float, unsigned 64-bit integer, bool (NumPy's bools recognised without
// importing NumPy), str and the two enumerations.
#include "conversions.hpp"

#include <cstring>
#include <utility>

#include "capi.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

[[noreturn]] void fail(const char* parameter) {
    rewrap_argument_error(parameter);
    throw PyErrorAlreadySet{};
}

[[noreturn]] void fail_cast(PyObject* value, const char* target, const char* parameter) {
    set_cast_error(value, target);
    fail(parameter);
}

// True if `attribute` of `type` is a str equal to one of `a` or `b` (b may be nullptr).
bool type_attribute_is(PyObject* type, const char* attribute, const char* a, const char* b) {
    Ref text(PyObject_GetAttrString(type, attribute));
    if (!text || !PyUnicode_Check(text.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(text.get(), a) == 0 ||
           (b != nullptr && PyUnicode_CompareWithASCIIString(text.get(), b) == 0);
}

// numpy.bool_ (1.x) and numpy.bool (2.x), told by name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    return type_attribute_is(type, "__module__", "numpy", nullptr) &&
           type_attribute_is(type, "__name__", "bool_", "bool");
}

template <class Result>
Result to_enum(PyObject* value, PyTypeObject* type, const char* target, const char* parameter) {
    if (type == nullptr) throw PyErrorAlreadySet{};
    if (Py_TYPE(value) != type) fail_cast(value, target, parameter);
    auto* object = reinterpret_cast<EnumObject*>(value);
    AccessGuard access(object->borrow_flag, Access::Shared);
    return Result{object->discriminant, std::move(access)};
}

}  // namespace

double to_f64(PyObject* value, const char* parameter) {
    if (PyFloat_Check(value)) return capi::float_value(value);
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) fail(parameter);
    return result;
}

std::uint64_t to_u64(PyObject* value, const char* parameter) {
    Ref index;
    if (!PyLong_Check(value)) {
        index = Ref(PyNumber_Index(value));
        if (!index) fail(parameter);
        value = index.get();
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(value);
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail(parameter);
    return static_cast<std::uint64_t>(result);
}

bool to_bool(PyObject* value, const char* parameter) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    if (!is_numpy_bool(value)) fail_cast(value, "bool", parameter);
    auto slot = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(value), Py_nb_bool));
    if (slot == nullptr) {
        PyErr_Clear();
        Ref type_text(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(value))));
        if (!type_text) fail(parameter);
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     type_text.get());
        fail(parameter);
    }
    const int truth = slot(value);
    if (truth < 0) fail(parameter);
    return truth != 0;
}

std::string to_utf8(PyObject* value, const char* parameter) {
    if (!PyUnicode_Check(value)) fail_cast(value, "str", parameter);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) fail(parameter);
    return std::string(utf8, static_cast<std::size_t>(size));
}

CoilArgument to_coil(PyObject* value, const char* parameter) {
    return to_enum<CoilArgument>(value, coil_type(), "Coil", parameter);
}

ChannelArgument to_channel(PyObject* value, const char* parameter) {
    return to_enum<ChannelArgument>(value, channel_type(), "Channel", parameter);
}

}  // namespace pyqelm
