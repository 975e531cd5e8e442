// Arbitrary-signal samples from NumPy arrays: the lazily loaded NumPy interface, the array
// test, and one pass that checks and converts together.
#define PY_ARRAY_UNIQUE_SYMBOL pyqelm_ARRAY_API
#include "arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <string>

#include "errors.hpp"
#include "methods.hpp"
#include "once.hpp"
#include "protocols/failure.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

OnceCell<void*> numpy_api;

// Loads NumPy's C interface once; a failure caches nothing and is retried on the next call.
void ensure_numpy_loaded() {
    void** table = numpy_api.get_or_create([]() -> void** {
        if (_import_array() < 0) return nullptr;
        return PyArray_API;
    });
    if (table != nullptr) return;
    throw protocols::Failure("Failed to access NumPy array API capsule: " +
                             take_exception_text());
}

bool is_float64_vector(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (float64 == nullptr) throw PyErrorAlreadySet{};
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
    Py_DECREF(float64);
    return equivalent;
}

[[noreturn]] void fail_sample(double t) {
    if (!(t >= 0.0)) throw protocols::Failure("assertion failed: *sample >= 0.0");
    throw protocols::Failure("assertion failed: *sample <= 1.0");
}

// round(t * 32767.0), halves away from zero, for t in [0.0, 1.0]. Written with a truncation
// and an exact fraction instead of a library call so that the loop vectorises; x - trunc(x) is
// exact for these magnitudes, so the result equals round() for every input.
inline std::int16_t to_sample(double t) {
    const double x = t * 32767.0;
    const auto whole = static_cast<std::int32_t>(x);
    const double fraction = x - static_cast<double>(whole);
    return static_cast<std::int16_t>(whole + (fraction >= 0.5 ? 1 : 0));
}

inline double load(const char* data, std::intptr_t stride, std::size_t i) {
    double t;
    std::memcpy(&t, data + static_cast<std::intptr_t>(i) * stride, sizeof t);  // may be unaligned
    return t;
}

}  // namespace

void convert_samples(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
    // Blocks keep the range test and the conversion in one vectorisable loop; an out-of-range
    // sample is replaced by 0.0 before its conversion (converting NaN to an integer is
    // undefined) and the block is then searched for the first offender.
    constexpr std::size_t BLOCK = 4096;
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t end = n - start < BLOCK ? n : start + BLOCK;
        bool all_in_range = true;
        if (stride == static_cast<std::intptr_t>(sizeof(double))) {
            for (std::size_t i = start; i < end; ++i) {
                const double t = load(data, sizeof(double), i);
                const bool ok = t >= 0.0 && t <= 1.0;
                all_in_range &= ok;
                out[i] = to_sample(ok ? t : 0.0);
            }
        } else {
            for (std::size_t i = start; i < end; ++i) {
                const double t = load(data, stride, i);
                const bool ok = t >= 0.0 && t <= 1.0;
                all_in_range &= ok;
                out[i] = to_sample(ok ? t : 0.0);
            }
        }
        if (!all_in_range) {
            for (std::size_t i = start; i < end; ++i) {
                const double t = load(data, stride, i);
                if (!(t >= 0.0 && t <= 1.0)) fail_sample(t);
            }
        }
    }
}

protocols::SampleVector samples_from_array(PyObject* samples, const char* parameter,
                                           const protocols::Settings& settings) {
    ensure_numpy_loaded();
    if (!is_float64_vector(samples)) {
        const std::string array_name = qualname_of(&PyArray_Type);
        set_cast_error(samples, array_name.c_str());
        rewrap_argument_error(parameter);
        throw PyErrorAlreadySet{};
    }
    auto* array = reinterpret_cast<PyArrayObject*>(samples);
    const auto n = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    const std::uint64_t expected = checked_num_samples(settings);
    PROTOCOLS_ENSURE(n == expected, "samples.len() == self.get_num_samples()");

    protocols::SampleVector converted(static_cast<std::size_t>(n));
    convert_samples(PyArray_BYTES(array), PyArray_STRIDE(array, 0), converted.size(),
                    converted.data());
    return converted;
}

}  // namespace pyqelm
