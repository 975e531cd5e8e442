// The Protocol class: construction, destruction, the text form and the method table.
#include <algorithm>
#include <array>
#include <iterator>
#include <new>
#include <utility>

#include "binding.hpp"
#include "call.hpp"
#include "errors.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "once.hpp"
#include "protocols/settings.hpp"
#include "protocols/text.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

constexpr ArgumentSpec NEW{PROTOCOL_CLASS_NAME, "__new__", {}, 0, 0};

OnceCell<PyTypeObject> protocol_cell;

PyObject* protocol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        bind_tuple(NEW, args, kwargs);
        // Fresh defaults for every protocol (the environment is read again), with no signals:
        // the first signal a caller adds gets position 0.
        protocols::Settings settings = protocols::Settings::make_default();
        settings.signals.clear();

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = reinterpret_cast<ProtocolObject*>(self);
        new (&object->record) protocols::Protocol{std::move(settings)};
        new (&object->borrow_flag) BorrowFlag(0);
        return self;
    } catch (...) {
        return translate_current_exception();
    }
}

void protocol_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<ProtocolObject*>(self);
    object->record.~Protocol();
    object->borrow_flag.~BorrowFlag();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* protocol_str(PyObject* self) noexcept {
    try {
        auto* object = reinterpret_cast<ProtocolObject*>(self);
        AccessGuard access(object->borrow_flag, Access::Shared);
        const std::string text = protocols::to_text(object->record);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    } catch (...) {
        return translate_current_exception();
    }
}

// The class's method table, in the order the class's attributes are created.
constexpr const MethodEntry* METHOD_TABLE[] = {
    &set_stimulation_intensity,
    &set_session_duration,
    &enable_channel,
    &set_amplitude_source,
    &set_modulation_source,
    &add_constant_signal,
    &add_sine_signal,
    &add_ramp_signal,
    &add_mixed_signal,
    &add_arbitrary_signal,
    &get_num_samples,
    &get_sampling_rate,
    &save,
};

// The PyMethodDef entries, filled once by the class's creation (which runs under its one-time
// guard); the class keeps pointing at them for the life of the process.
std::array<PyMethodDef, std::size(METHOD_TABLE) + 1> protocol_methods{};

PyMethodDef method_def(const MethodEntry& entry) {
    if (entry.fastcall != nullptr) {
        return {entry.name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry.fastcall)),
                METH_FASTCALL | METH_KEYWORDS, entry.doc};
    }
    return {entry.name, entry.noargs, METH_NOARGS, entry.doc};
}

PyTypeObject* create_protocol_type() {
    static char doc[] = "Protocol()\n--\n\n";
    std::transform(std::begin(METHOD_TABLE), std::end(METHOD_TABLE), protocol_methods.begin(),
                   [](const MethodEntry* entry) { return method_def(*entry); });
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(protocol_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(protocol_dealloc)},
        {Py_tp_str, reinterpret_cast<void*>(protocol_str)},
        {Py_tp_methods, protocol_methods.data()},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.Protocol", static_cast<int>(sizeof(ProtocolObject)), 0,
                     Py_TPFLAGS_DEFAULT, slots};
    Ref type(PyType_FromSpec(&spec));
    // The documentation carries only the text signature. Some interpreters expose the empty
    // remainder as "" and others as None; callers get None everywhere.
    if (!type || PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* protocol_type() { return protocol_cell.get_or_create(create_protocol_type); }

}  // namespace pyqelm
