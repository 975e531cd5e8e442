// Reading NumPy arrays without a build- or import-time dependency on NumPy: its C interface is
// loaded on the first call that needs it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "protocols/settings.hpp"

namespace pyqelm {

// Converts `samples` (a one-dimensional float64 array, read in place through its stride) into
// 16-bit samples: checks that its length is `expected_length` and every sample lies in
// [0.0, 1.0], and maps t to round(t * 32767.0), halves away from zero. Throws on failure
// (PyErrorAlreadySet with the conversion error for `parameter`, or protocols::Failure); the
// array is never written.
protocols::SampleVector samples_from_array(PyObject* samples, const char* parameter,
                                           const protocols::Settings& settings);

}  // namespace pyqelm
