// The signals of a ProtocolFile as a sequence that makes each signal's view when it is asked
// for: a file of millions of small signals keeps them in its bytes, and a tuple of their views
// would take some fifty bytes per signal.
#include <Python.h>

#include <cstddef>
#include <memory>
#include <utility>

#include "common.hpp"
#include "views.hpp"

namespace qelmfile {
namespace {

struct SequenceObject {
    PyObject_HEAD
    PyObject* file;  // the ProtocolFile
};

PyTypeObject* sequence_type = nullptr;

PyObject* file_of(PyObject* self) { return reinterpret_cast<SequenceObject*>(self)->file; }

Py_ssize_t sequence_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(signal_count(file_of(self)));
}

PyObject* sequence_item(PyObject* self, Py_ssize_t i) noexcept {
    try {
        if (i < 0 || static_cast<std::size_t>(i) >= signal_count(file_of(self))) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return signal_view(file_of(self), static_cast<std::size_t>(i));
    } catch (...) {
        return translate_current_exception();
    }
}

// The views of all signals, or of a slice of them, as a tuple.
PyObject* views_tuple(PyObject* self, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
    Ref tuple = checked(PyTuple_New(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = sequence_item(self, start + k * step);
        if (item == nullptr) return nullptr;
        if (PyTuple_SetItem(tuple.get(), k, item) < 0) return nullptr;
    }
    return tuple.release();
}

PyObject* sequence_subscript(PyObject* self, PyObject* key) noexcept {
    try {
        const Py_ssize_t length = sequence_length(self);
        if (PySlice_Check(key)) {
            Py_ssize_t start = 0, stop = 0, step = 0;
            check(PySlice_Unpack(key, &start, &stop, &step) == 0);
            const Py_ssize_t count = PySlice_AdjustIndices(length, &start, &stop, step);
            return views_tuple(self, start, step, count);
        }
        if (!PyIndex_Check(key)) {
            Ref name = checked(PyType_GetName(Py_TYPE(key)));
            PyErr_Format(PyExc_TypeError, "tuple indices must be integers or slices, not %U",
                         name.get());
            return nullptr;
        }
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += length;
        return sequence_item(self, i);
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* sequence_repr(PyObject* self) noexcept {
    try {
        Ref tuple = checked(views_tuple(self, 0, 1, sequence_length(self)));
        return PyObject_Repr(tuple.get());
    } catch (...) {
        return translate_current_exception();
    }
}

// == and != with another sequence of signals or a tuple, element by element, as tuples compare.
PyObject* sequence_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) ||
        (Py_TYPE(other) != Py_TYPE(self) && !PyTuple_Check(other))) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    try {
        const Py_ssize_t length = sequence_length(self);
        const Py_ssize_t other_length = PyObject_Length(other);
        if (other_length < 0) return nullptr;
        bool equal = length == other_length;
        for (Py_ssize_t i = 0; equal && i < length; ++i) {
            Ref a = checked(sequence_item(self, i));
            Ref b = checked(PySequence_GetItem(other, i));
            const int same = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
            if (same < 0) return nullptr;
            equal = same == 1;
        }
        return PyBool_FromLong(equal == (op == Py_EQ) ? 1 : 0);
    } catch (...) {
        return translate_current_exception();
    }
}

void sequence_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(file_of(self));
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

}  // namespace

bool create_signal_sequence_type() {
    static char doc[] =
        "The signals of a ProtocolFile, read-only: len(), indexing by position or slice, "
        "iteration and == as with a tuple. Each signal's view is made when it is asked for.";
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_dealloc, reinterpret_cast<void*>(sequence_dealloc)},
        {Py_sq_length, reinterpret_cast<void*>(sequence_length)},
        {Py_sq_item, reinterpret_cast<void*>(sequence_item)},
        {Py_mp_length, reinterpret_cast<void*>(sequence_length)},
        {Py_mp_subscript, reinterpret_cast<void*>(sequence_subscript)},
        {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(sequence_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {0, nullptr},
    };
    PyType_Spec spec{"qelmfile.Signals", static_cast<int>(sizeof(SequenceObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_IMMUTABLETYPE,
                     slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return false;
    sequence_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    return true;
}

PyObject* new_signal_sequence(PyObject* file) {
    PyObject* self = PyType_GenericAlloc(sequence_type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<SequenceObject*>(self)->file = Py_NewRef(file);
    return self;
}

std::size_t signal_count(PyObject* file) {
    const FileState& state = *reinterpret_cast<RecordObject*>(file)->file;
    return state.indexed ? state.index.count : state.protocol.settings.signals.size();
}

PyObject* signal_view(PyObject* file, std::size_t position) {
    FileState& state = *reinterpret_cast<RecordObject*>(file)->file;
    if (!state.indexed) return to_python(state.protocol.settings.signals[position], file);
    const protocols::StoredSignals signals(state.bytes, state.index, &state.runs,
                                           &state.run_signals);
    if (const auto run = signals.run_of(position)) {
        // Kept with the file; its samples are decoded on first need, like the others'.
        return to_python(state.run_signals[*run], file);
    }
    auto owned = std::make_unique<protocols::Signal>(signals.at(position));
    PyObject* view = to_python(*owned, file);
    if (view != nullptr) reinterpret_cast<RecordObject*>(view)->owned = owned.release();
    return view;
}

}  // namespace qelmfile
