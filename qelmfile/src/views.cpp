// The view types: one heap type per record, whose attributes are generated from the record's
// field declarations (one getter per field, told apart by its position in the declaration).
#include "views.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "compare.hpp"
#include "protocols/text.hpp"
#include "rebuild.hpp"

namespace qelmfile {
namespace {

constexpr std::array<const char*, view_count> type_names{
    "qelmfile.ProtocolFile",
    "qelmfile.MachineConfig",
    "qelmfile.Coil",
    "qelmfile.LCSetting",
    "qelmfile.ChannelSettings",
    "qelmfile.SignalSourceSelection",
    "qelmfile.Constant",
    "qelmfile.Sine",
    "qelmfile.Ramp",
    "qelmfile.MixedSignal",
    "qelmfile.Arbitrary",
};

constexpr std::array<const char*, view_count> type_docs{
    "A decoded protocol file: the settings record it holds, read-only.\n\n"
    "Made by qelmfile.load() and qelmfile.loads(). str() is the protocol's text form, the "
    "same as str() of the pyqelm.Protocol that was saved. == compares the records.",
    "The stimulator's hardware description carried by a protocol file.",
    "The hardware description of one coil: its LC settings and limits.",
    "One resonant setting of a coil: capacitance, carrier frequency, clock ticks per sample "
    "and capacitor-bank setting.",
    "The configuration of one output channel.",
    "The choice between an internal signal (by position) and an external signal input.",
    "A signal of constant value.",
    "A sine signal.",
    "A ramp signal.",
    "A signal mixing the two signals at positions a_idx and b_idx.",
    "A signal given sample by sample (16-bit codes, 32767 standing for 1.0).",
};

std::array<PyTypeObject*, view_count> types{};
// The attribute tables must outlive the types, which live until the process ends.
std::array<std::vector<PyGetSetDef>, view_count> getsets;

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }

PyObject* owner_of(PyObject* self) {
    RecordObject* object = as_record(self);
    return object->owner != nullptr ? object->owner : self;
}

template <class R>
const R& record_of(PyObject* self) {
    const void* record = as_record(self)->record;
    if constexpr (is_signal_payload<R>) {
        return std::get<R>(*static_cast<const protocols::Signal*>(record));
    } else {
        return *static_cast<const R*>(record);
    }
}

// The records that hold sample lists, directly or in their signals.
template <class R>
inline constexpr bool holds_samples =
    std::is_same_v<R, protocols::Settings> || std::is_same_v<R, protocols::ArbitrarySignalParams>;

template <class R>
PyObject* get_field(PyObject* self, void* closure) noexcept {
    try {
        const auto wanted = reinterpret_cast<std::uintptr_t>(closure);
        std::uintptr_t i = 0;
        PyObject* result = nullptr;
        for_each_field(record_of<R>(self), [&](std::string_view, const auto& field) {
            if (i++ != wanted) return;
            if constexpr (
                std::is_same_v<std::remove_cvref_t<decltype(field)>, protocols::SampleVector>) {
                require_samples(owner_of(self));
            }
            result = to_python(field, owner_of(self));
        });
        return result;
    } catch (...) {
        return translate_current_exception();
    }
}

template <class R>
PyObject* get_kind(PyObject*, void*) noexcept {
    constexpr std::size_t kind = view_index<R>() - first_signal_view;
    return new_text(protocols::signal_variant_names[kind]);
}

template <class R>
PyObject* record_str(PyObject* self) noexcept {
    try {
        if constexpr (holds_samples<R>) require_samples(owner_of(self));
        std::string text;
        if constexpr (std::is_same_v<R, protocols::Settings>) {
            text = protocols::to_text(as_record(self)->file->protocol);
        } else if constexpr (is_signal_payload<R>) {
            text =
                protocols::to_text(*static_cast<const protocols::Signal*>(as_record(self)->record));
        } else {
            text = protocols::to_text(record_of<R>(self));
        }
        return new_text(text);
    } catch (...) {
        return translate_current_exception();
    }
}

// "Sine(amplitude=1.0, frequency=10.0, phase=0.0, depth=1.0)": each field as repr() of its
// Python value, except samples, which are only counted (no NumPy import for a repr).
template <class R>
PyObject* record_repr(PyObject* self) noexcept {
    try {
        if constexpr (holds_samples<R>) require_samples(owner_of(self));
        Ref parts = checked(PyList_New(0));
        for_each_field(record_of<R>(self), [&](std::string_view name, const auto& field) {
            using F = std::remove_cvref_t<decltype(field)>;
            Ref value;
            if constexpr (std::is_same_v<F, protocols::SampleVector>) {
                value = checked(PyUnicode_FromFormat("<%zu samples>", field.size()));
            } else {
                Ref object = checked(to_python(field, owner_of(self)));
                value = checked(PyObject_Repr(object.get()));
            }
            Ref key = checked(new_text(name));
            Ref part = checked(PyUnicode_FromFormat("%U=%U", key.get(), value.get()));
            check(PyList_Append(parts.get(), part.get()) == 0);
        });
        Ref separator = checked(PyUnicode_FromString(", "));
        Ref fields = checked(PyUnicode_Join(separator.get(), parts.get()));
        const std::string_view full_name = type_names[view_index<R>()];
        Ref type_name = checked(new_text(full_name.substr(9)));
        return PyUnicode_FromFormat("%U(%U)", type_name.get(), fields.get());
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* file_repr(PyObject* self) noexcept {
    const protocols::Settings& s = as_record(self)->file->protocol.settings;
    const std::string duration = protocols::format_float(s.session_duration);
    return PyUnicode_FromFormat("<qelmfile.ProtocolFile: %s s, %zu signal%s>", duration.c_str(),
                                s.signals.size(), s.signals.size() == 1 ? "" : "s");
}

template <class R>
PyObject* record_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    try {
        if constexpr (holds_samples<R>) {
            require_samples(owner_of(self));
            require_samples(owner_of(other));
        }
        const bool equal = records_equal(record_of<R>(self), record_of<R>(other));
        return PyBool_FromLong((equal == (op == Py_EQ)) ? 1 : 0);
    } catch (...) {
        return translate_current_exception();
    }
}

void record_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    RecordObject* object = as_record(self);
    Py_XDECREF(object->owner);
    delete object->file;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* file_to_protocol(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const keywords[] = {"allow_target_machine", nullptr};
    int allow_target_machine = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:to_protocol",
                                    const_cast<char**>(keywords),  // NOLINT
                                    &allow_target_machine) == 0) {
        return nullptr;
    }
    try {
        require_samples(self);
        return to_protocol(as_record(self)->file->protocol.settings, allow_target_machine != 0);
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* arbitrary_sample_values(PyObject* self, PyObject*) noexcept {
    try {
        require_samples(owner_of(self));
        return sample_values_array(record_of<protocols::ArbitrarySignalParams>(self).samples);
    } catch (...) {
        return translate_current_exception();
    }
}

PyMethodDef file_methods[] = {
    {"to_protocol", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_to_protocol)),
     METH_VARARGS | METH_KEYWORDS,
     "to_protocol($self, /, *, allow_target_machine=False)\n--\n\n"
     "A new pyqelm.Protocol built through its public methods, whose save() writes this very "
     "file again, byte for byte. Raises ValueError naming the first field that those methods "
     "cannot reproduce. With allow_target_machine=True, a running_on_target_machine other "
     "than Protocol() sets in this process is no refusal: the rest is rebuilt, and a "
     "UserWarning names the field, whose value the new protocol takes from this process."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef arbitrary_methods[] = {
    {"sample_values", arbitrary_sample_values, METH_NOARGS,
     "sample_values($self)\n--\n\n"
     "The samples as a new float64 array of code / 32767, the values in 0.0..1.0 that "
     "pyqelm.Protocol.add_arbitrary_signal turns back into the same codes."},
    {nullptr, nullptr, 0, nullptr},
};

template <std::size_t I>
bool create_type(PyObject* module) {
    using R = std::tuple_element_t<I, ViewRecords>;
    std::vector<PyGetSetDef>& table = getsets[I];
    if constexpr (is_signal_payload<R>) {
        table.push_back({"kind", get_kind<R>, nullptr,
                         "The signal's kind: \"Constant\", \"Sine\", \"Ramp\", \"MixedSignal\" "
                         "or \"Arbitrary\".",
                         nullptr});
    }
    std::uintptr_t position = 0;
    R probe{};
    for_each_field(probe, [&](std::string_view name, auto&) {
        // The declared names are string literals, so their data is NUL-terminated; the closure
        // carries the field's position, as CPython's getter convention has it.
        table.push_back(
            {name.data(),  // NOLINT(bugprone-suspicious-stringview-data-usage)
             get_field<R>, nullptr, nullptr,
             reinterpret_cast<void*>(position++)});  // NOLINT(performance-no-int-to-ptr)
    });
    table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    std::vector<PyType_Slot> slots{
        {Py_tp_doc, const_cast<char*>(type_docs[I])},
        {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
        {Py_tp_getset, table.data()},
        {Py_tp_str, reinterpret_cast<void*>(record_str<R>)},
        {Py_tp_repr, std::is_same_v<R, protocols::Settings>
                         ? reinterpret_cast<void*>(file_repr)
                         : reinterpret_cast<void*>(record_repr<R>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare<R>)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    };
    if constexpr (std::is_same_v<R, protocols::Settings>) {
        slots.push_back({Py_tp_methods, file_methods});
    } else if constexpr (std::is_same_v<R, protocols::ArbitrarySignalParams>) {
        slots.push_back({Py_tp_methods, arbitrary_methods});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec{type_names[I], static_cast<int>(sizeof(RecordObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_IMMUTABLETYPE,
                     slots.data()};
    Ref type(PyType_FromSpec(&spec));
    if (!type) return false;
    const char* short_name = std::string_view(type_names[I]).substr(9).data();
    if (PyModule_AddObjectRef(module, short_name, type.get()) < 0) return false;
    types[I] = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

template <std::size_t... I>
bool create_all(PyObject* module, std::index_sequence<I...>) {
    return (create_type<I>(module) && ...);
}

}  // namespace

bool create_view_types(PyObject* module) {
    return create_all(module, std::make_index_sequence<view_count>{});
}

PyTypeObject* view_type(std::size_t index) { return types[index]; }

PyObject* new_view(std::size_t index, PyObject* owner, const void* record) {
    PyObject* self = PyType_GenericAlloc(types[index], 0);
    if (self == nullptr) return nullptr;
    RecordObject* object = as_record(self);
    object->owner = Py_NewRef(owner);
    object->record = record;
    object->file = nullptr;
    return self;
}

namespace {

PyObject* new_protocol_file(std::unique_ptr<FileState> file) {
    PyObject* self = PyType_GenericAlloc(types[0], 0);
    if (self == nullptr) return nullptr;
    RecordObject* object = as_record(self);
    object->owner = nullptr;
    object->record = &file->protocol.settings;
    object->file = file.release();
    return self;
}

}  // namespace

PyObject* new_protocol_file(protocols::Settings&& settings) {
    auto file = std::make_unique<FileState>();
    file->protocol.settings = std::move(settings);
    return new_protocol_file(std::move(file));
}

PyObject* new_protocol_file(protocols::DeferredSettings&& deferred, FileBytes&& bytes) {
    auto file = std::make_unique<FileState>();
    file->protocol.settings = std::move(deferred.settings);
    file->runs = std::move(deferred.runs);
    file->pending = !file->runs.empty();
    if (file->pending) file->bytes = std::move(bytes);
    return new_protocol_file(std::move(file));
}

const protocols::Settings* settings_of(PyObject* object) {
    if (types[0] == nullptr || !PyObject_TypeCheck(object, types[0])) return nullptr;
    return &as_record(object)->file->protocol.settings;
}

namespace {

// Sample decodings running without the interpreter lock, and fork() waiting for them to end.
// The decoding gives the file's bytes back as it goes, so a child that inherited one half done
// could neither finish it nor start it again; one that waited finds it complete or not begun.
std::atomic<int> decodings_running{0};
std::atomic<bool> fork_waiting{false};

class DecodingSection {
public:
    DecodingSection() noexcept {
        for (;;) {
            decodings_running.fetch_add(1);
            if (!fork_waiting.load()) return;
            decodings_running.fetch_sub(1);
            while (fork_waiting.load()) std::this_thread::yield();
        }
    }
    ~DecodingSection() { decodings_running.fetch_sub(1); }
    DecodingSection(const DecodingSection&) = delete;
    DecodingSection& operator=(const DecodingSection&) = delete;
};

#ifndef _WIN32
void before_fork() noexcept {
    fork_waiting.store(true);
    while (decodings_running.load() != 0) std::this_thread::yield();
}
void after_fork() noexcept { fork_waiting.store(false); }
#endif

}  // namespace

void register_fork_guard() {
#ifndef _WIN32
    pthread_atfork(before_fork, after_fork, after_fork);
#endif
}

void require_samples(PyObject* file) {
    FileState& state = *as_record(file)->file;
    if (!state.pending) return;
    // Decoded without the interpreter lock (millions of samples take milliseconds); a thread
    // that needs them meanwhile waits at the guard, and the lists are touched by nothing else,
    // since every use of them comes through here. The file's bytes behind the decoding are
    // given back as it goes, so that the file and the samples are never both held in full.
    auto decode = [&state]() -> protocols::Protocol* {
        if (state.failed) {
            PyErr_SetString(PyExc_SystemError, "qelmfile: the validated samples failed to decode");
            return nullptr;
        }
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        // Already done when the decoding thread was left behind by a fork() in the parent.
        if (const DecodingSection section; !state.decoded.load()) {
            try {
                std::size_t released = 0;  // the bytes before are given back already
                protocols::decode_deferred_samples(
                    state.protocol.settings, state.bytes, state.runs,
                    [&](std::size_t begin, std::size_t end) {
                        begin = std::max(begin, released);
                        if (begin < end) {
                            protocols::release_pages(state.bytes.data() + begin, end - begin);
                        }
                        released = end;
                    });
                state.decoded.store(true);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;  // thrown before any byte was given back: can be retried
            } catch (const std::invalid_argument&) {
                state.failed = true;
            }
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (state.failed) {
            PyErr_SetString(PyExc_SystemError, "qelmfile: the validated samples failed to decode");
            return nullptr;
        }
        state.pending = false;
        FileBytes().swap(state.bytes);
        std::vector<protocols::SampleRun>().swap(state.runs);
        return &state.protocol;
    };
    if (state.samples_decoded.get_or_create(decode) == nullptr) throw PyErrorAlreadySet{};
}

}  // namespace qelmfile
