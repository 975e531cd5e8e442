// Arbitrary-signal samples from NumPy arrays: the lazily loaded NumPy interface and the array
// test; the samples are converted by the protocol library.
#define PY_ARRAY_UNIQUE_SYMBOL pyqelm_ARRAY_API
#include "arrays.hpp"

#include <numpy/arrayobject.h>

#include <string>

#include "errors.hpp"
#include "methods.hpp"
#include "once.hpp"
#include "protocols/failure.hpp"
#include "protocols/sample_conversion.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

OnceCell<void*> numpy_api;

// Loads NumPy's C interface once; a failure caches nothing and is retried on the next call.
// NumPy itself is imported first, with no guard of ours held: two threads that meet inside the
// import (one loading, one called back from the other's import or audit hook) then meet only
// at the import system's own locks, which tell a deadlock apart and let one of them through.
void ensure_numpy_loaded() {
    if (numpy_api.peek() != nullptr) return;
    // Set while this thread loads NumPy, the import included.
    static thread_local bool loading = false;
    if (loading) {
        // Python code run by the import itself (an import or audit hook, a finalizer, a
        // garbage-collection callback) called us again before the table exists.
        throw protocols::Failure(
            "Failed to access NumPy array API capsule: NumPy is still being loaded on this "
            "thread; add_arbitrary_signal cannot be called from code that runs during the "
            "NumPy import (an import or audit hook, a finalizer or a garbage-collection "
            "callback)");
    }
    struct Loading {
        Loading() noexcept { loading = true; }
        ~Loading() { loading = false; }
        Loading(const Loading&) = delete;
        Loading& operator=(const Loading&) = delete;
    } mark;
    void** table = nullptr;
    if (Ref numpy{PyImport_ImportModule("numpy")}) {
        table = numpy_api.get_or_create([]() -> void** {
            if (_import_array() < 0) return nullptr;
            return PyArray_API;
        });
    }
    if (table != nullptr) return;
    throw protocols::Failure("Failed to access NumPy array API capsule: " + take_exception_text());
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

}  // namespace

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
    protocols::convert_samples(PyArray_BYTES(array), PyArray_STRIDE(array, 0), converted.size(),
                               converted.data());
    return converted;
}

}  // namespace pyqelm
