// The methods of Protocol, in the order of the class's method table.
#pragma once

#include <Python.h>

#include <cstdint>

#include "protocols/settings.hpp"

namespace pyqelm {

#define PYQELM_FASTCALL_METHOD(name)                                        \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                   PyObject* kwnames) noexcept

// Configuration and queries.
PYQELM_FASTCALL_METHOD(set_stimulation_intensity);
PYQELM_FASTCALL_METHOD(set_session_duration);
PYQELM_FASTCALL_METHOD(enable_channel);
PYQELM_FASTCALL_METHOD(set_amplitude_source);
PYQELM_FASTCALL_METHOD(set_modulation_source);
PyObject* get_num_samples(PyObject* self, PyObject* unused) noexcept;
PyObject* get_sampling_rate(PyObject* self, PyObject* unused) noexcept;

// Signals.
PYQELM_FASTCALL_METHOD(add_constant_signal);
PYQELM_FASTCALL_METHOD(add_sine_signal);
PYQELM_FASTCALL_METHOD(add_ramp_signal);
PYQELM_FASTCALL_METHOD(add_mixed_signal);
PYQELM_FASTCALL_METHOD(add_arbitrary_signal);

// Files.
PYQELM_FASTCALL_METHOD(save);

#undef PYQELM_FASTCALL_METHOD

// The session's sample count, refusing a duration that is not positive.
std::uint64_t checked_num_samples(const protocols::Settings& settings);

}  // namespace pyqelm
