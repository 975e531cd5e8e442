// The read-only Python views of a decoded protocol file. A ProtocolFile owns the decoded
// record; every other view (a channel, a source selection, a signal, the machine description,
// a coil, an LC setting) points into it and keeps the ProtocolFile alive. Attributes are the
// record's fields, in declared order, under their declared names, so a view is one more visitor
// over the field declarations and cannot drift from the file format or the text form.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "common.hpp"
#include "protocols/decoding.hpp"
#include "protocols/numeric.hpp"
#include "protocols/settings.hpp"
#include "protocols/signal_list.hpp"

namespace qelmfile {

// A file's bytes as load reads them: large ones in memory advised to use huge pages.
using FileBytes = std::vector<std::uint8_t, protocols::DefaultInitAllocator<std::uint8_t>>;

// What a ProtocolFile owns: the decoded protocol and, when its sample lists were only validated
// (load), the file's bytes to decode them from on first need. Until then the lists are empty;
// once decoded, the bytes are freed. `pending` is read and written with the interpreter lock
// held; the decoding runs without it, under the one-time guard.
//
// A file that load read keeps its signals in its bytes (`indexed`): `protocol.settings.signals`
// stays empty, `index` says where each signal lies, and a signal is decoded when it is asked
// for, so that memory follows the file's bytes, not the number of signals. The signals whose
// sample lists were only validated (`runs`, by position) are kept decoded in `run_signals`,
// their samples filled on first need; the bytes of those lists are then given back, the rest
// of the bytes kept. `whole` is the record with all its signals, built for the operations that
// need one (==, diff, to_protocol) and kept from then on.
struct FileState {
    protocols::Protocol protocol;
    FileBytes bytes;
    std::vector<protocols::SampleRun> runs;
    bool indexed = false;
    protocols::SignalIndex index;
    std::vector<protocols::Signal> run_signals;
    std::unique_ptr<protocols::Settings> whole;
    bool pending = false;
    bool failed = false;  // the decoding broke off after giving bytes back: never retried
    // Set by the decoding thread once every list is filled, before it takes the interpreter
    // lock back: a child forked in between finds the samples complete and only finishes up.
    std::atomic<bool> decoded{false};
    OnceCell<protocols::Protocol> samples_decoded;
};

struct RecordObject {
    PyObject_HEAD
    PyObject* owner;           // the ProtocolFile holding the record; nullptr in one
    const void* record;        // the record shown (for a signal: its Signal variant)
    FileState* file;           // ProtocolFile only: what it owns
    protocols::Signal* owned;  // a signal decoded for this view alone, which owns it
};

// The records that have a view type of their own. A signal's view type is that of its payload
// record, named after the signal's kind ("Sine"), with the payload's fields and `kind`.
using ViewRecords = std::tuple<protocols::Settings, protocols::MachineConfig, protocols::Coil,
                               protocols::LCSetting, protocols::ChannelSettings,
                               protocols::SignalSourceSelection, protocols::ConstantSignalParams,
                               protocols::SineSignalParams, protocols::RampSignalParams,
                               protocols::MixedSignalParams, protocols::ArbitrarySignalParams>;
inline constexpr std::size_t view_count = std::tuple_size_v<ViewRecords>;
inline constexpr std::size_t first_signal_view = 6;

template <class R, std::size_t I = 0>
constexpr std::size_t view_index() {
    static_assert(I < view_count, "a record without a view type");
    if constexpr (std::is_same_v<R, std::tuple_element_t<I, ViewRecords>>) {
        return I;
    } else {
        return view_index<R, I + 1>();
    }
}

template <class R>
inline constexpr bool is_signal_payload = view_index<R>() >= first_signal_view;

// Creates the view types; false with an exception set on failure. Called once, by the module.
bool create_view_types(PyObject* module);
PyTypeObject* view_type(std::size_t index);
inline PyTypeObject* protocol_file_type() { return view_type(0); }

// A new ProtocolFile that takes over `settings`.
PyObject* new_protocol_file(protocols::Settings&& settings);
// ... or the settings whose sample lists `deferred` left to decode from `bytes`.
PyObject* new_protocol_file(protocols::DeferredSettings&& deferred, FileBytes&& bytes);
// ... or the settings whose signals stay in `bytes`, as `indexed` says.
PyObject* new_protocol_file(protocols::IndexedSettings&& indexed, FileBytes&& bytes);
// The settings of a ProtocolFile, or nullptr (no exception set) for any other object. Their
// sample lists may still be waiting to be decoded: see require_samples.
const protocols::Settings* settings_of(PyObject* object);
// Decodes the sample lists of the ProtocolFile `file` if that has not happened yet; throws
// PyErrorAlreadySet when it fails (MemoryError). Every use of a sample list comes after it.
void require_samples(PyObject* file);

// The record of a ProtocolFile with all its signals, samples included (built from the file's
// bytes the first time it is needed for a file that keeps its signals there).
const protocols::Settings& whole_settings(PyObject* file);
// The signals of a ProtocolFile, read where they are kept; valid while the file lives. The
// samples must have been required before they are read.
std::unique_ptr<protocols::SignalList> signal_list(PyObject* file);
// The sequence that `signals` of a ProtocolFile returns: read-only, with len(), indexing (by
// position or slice, the latter giving a tuple), iteration and == with another such sequence or
// a tuple, like the tuple it stands for; a signal's view is made when it is asked for.
bool create_signal_sequence_type();
PyObject* new_signal_sequence(PyObject* file);
// A new view of the signal at `position` (< the file's signal count) of the ProtocolFile `file`.
PyObject* signal_view(PyObject* file, std::size_t position);
std::size_t signal_count(PyObject* file);

// Makes fork() wait for sample decodings running without the interpreter lock, so that a child
// never inherits one half done. Called once, by the module.
void register_fork_guard();

PyObject* new_view(std::size_t index, PyObject* owner, const void* record);

// The samples of an arbitrary signal as a read-only int16 NumPy array over the decoded memory,
// and as float64 values code / 32767 (a new array).
// The value a sample code stands for: pyqelm stores round(value * 32767), and for every code
// from 0 to 32767, code / 32767 multiplied back lies within one rounding step of the code.
constexpr double sample_value(std::int16_t code) noexcept { return code / 32767.0; }

PyObject* samples_array(const protocols::SampleVector& samples, PyObject* owner);
PyObject* sample_values_array(const protocols::SampleVector& samples);
bool create_sample_buffer_type();

// A field's value as a Python object: scalars as bool, int, float, str; records as views;
// lists as tuples; samples as the array above. `owner` is the ProtocolFile of `value`.
template <class T>
PyObject* to_python(const T& value, PyObject* owner) {
    if constexpr (std::is_same_v<T, bool>) {
        return PyBool_FromLong(value ? 1 : 0);
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return PyLong_FromUnsignedLongLong(value);
    } else if constexpr (std::is_same_v<T, double>) {
        return PyFloat_FromDouble(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return new_text(value);
    } else if constexpr (std::is_same_v<T, protocols::SampleVector>) {
        return samples_array(value, owner);
    } else if constexpr (protocols::IsVector<T>::value || std::is_same_v<T, std::array<bool, 16>>) {
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(value.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < value.size(); ++i) {
            PyObject* item = to_python(value[i], owner);
            if (item == nullptr) return nullptr;
            // Steals the item; cannot fail for a fresh tuple and an index in range.
            if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
        }
        return tuple.release();
    } else if constexpr (std::is_same_v<T, protocols::Signal>) {
        return std::visit(
            [&](const auto& params) {
                using P = std::remove_cvref_t<decltype(params)>;
                return new_view(view_index<P>(), owner, &value);
            },
            value);
    } else {
        return new_view(view_index<T>(), owner, &value);
    }
}

}  // namespace qelmfile
