// Arbitrary-signal samples from NumPy arrays: the lazily loaded NumPy interface, the array
// test, and the range test and conversion of the samples.
#define PY_ARRAY_UNIQUE_SYMBOL pyqelm_ARRAY_API
#include "arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <string>

#include "errors.hpp"
#include "methods.hpp"
#include "once.hpp"
#include "protocols/cpu.hpp"
#include "protocols/failure.hpp"
#include "pyref.hpp"

// On x86-64 the conversion is compiled twice, for the baseline instruction set and for AVX2,
// and the second is chosen at run time where the processor has it: the loops are bound by
// arithmetic, and AVX2 converts four samples per instruction instead of two.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PYQELM_AVX2_CLONE 1
#define PYQELM_INLINE_ALWAYS inline __attribute__((always_inline))
#else
#define PYQELM_INLINE_ALWAYS inline
#endif

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

[[noreturn]] void fail_sample(double t) {
    if (!(t >= 0.0)) throw protocols::Failure("assertion failed: *sample >= 0.0");
    throw protocols::Failure("assertion failed: *sample <= 1.0");
}

// round(t * 32767.0), halves away from zero, for t in [0.0, 1.0]. Written with a truncation
// and an exact fraction instead of a library call so that the loop vectorises; x - trunc(x) is
// exact for these magnitudes, so the result equals round() for every input. The rounding step
// stays in double: a comparison that yields an integer would mix lane widths, which GCC cannot
// vectorise on baseline x86-64.
PYQELM_INLINE_ALWAYS std::int16_t to_sample(double t) {
    const double x = t * 32767.0;
    const double whole = static_cast<double>(static_cast<std::int32_t>(x));
    const double rounded = whole + (x - whole >= 0.5 ? 1.0 : 0.0);
    return static_cast<std::int16_t>(static_cast<std::int32_t>(rounded));
}

PYQELM_INLINE_ALWAYS double load(const char* data, std::intptr_t stride, std::size_t i) {
    double t;
    std::memcpy(&t, data + static_cast<std::intptr_t>(i) * stride, sizeof t);  // may be unaligned
    return t;
}

// Whether every sample of a block lies in [0.0, 1.0]. The flag is a double so that the loop
// holds one lane width and vectorises.
PYQELM_INLINE_ALWAYS bool all_in_range(const char* data, std::intptr_t stride, std::size_t count) {
    double outside = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = load(data, stride, i);
        outside = ((t >= 0.0) & (t <= 1.0)) ? outside : 1.0;
    }
    return outside == 0.0;
}

PYQELM_INLINE_ALWAYS void convert_block(const char* data, std::intptr_t stride, std::size_t count,
                                        std::int16_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = to_sample(load(data, stride, i));
}

// The whole conversion; inlined into each entry point below, so that each is compiled and
// vectorised for its own instruction set from this one source.
PYQELM_INLINE_ALWAYS void convert_all(const char* data, std::intptr_t stride, std::size_t n,
                                      std::int16_t* out) {
    // Each block is tested first and converted only when all of it is in range, so no NaN or
    // huge value ever reaches an integer conversion (that would be undefined). Test and
    // conversion stay separate loops: GCC vectorises neither when they are fused. A block of
    // 8 KiB is still in L1 when the conversion reads it again.
    constexpr std::size_t BLOCK = 1024;
    constexpr auto contiguous = static_cast<std::intptr_t>(sizeof(double));
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t count = n - start < BLOCK ? n - start : BLOCK;
        // Indexing from the block's own start keeps the addresses affine for the vectoriser.
        const char* block = data + static_cast<std::intptr_t>(start) * stride;
        const bool in_range = stride == contiguous ? all_in_range(block, contiguous, count)
                                                   : all_in_range(block, stride, count);
        if (!in_range) {
            for (std::size_t i = 0; i < count; ++i) {
                const double t = load(block, stride, i);
                if (!(t >= 0.0 && t <= 1.0)) fail_sample(t);
            }
        }
        if (stride == contiguous) {
            convert_block(block, contiguous, count, out + start);
        } else {
            convert_block(block, stride, count, out + start);
        }
    }
}

void convert_baseline(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
    convert_all(data, stride, n, out);
}

#ifdef PYQELM_AVX2_CLONE
// The same operations in wider registers, and no contraction into fused multiply-adds (AVX2
// does not imply FMA, and -ffp-contract=off forbids it anyway): the samples are identical.
__attribute__((target("avx2"))) void convert_avx2(const char* data, std::intptr_t stride,
                                                  std::size_t n, std::int16_t* out) {
    convert_all(data, stride, n, out);
}
#endif

}  // namespace

void convert_samples(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
#ifdef PYQELM_AVX2_CLONE
    if (protocols::has_avx2()) {
        convert_avx2(data, stride, n, out);
        return;
    }
#endif
    convert_baseline(data, stride, n, out);
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
