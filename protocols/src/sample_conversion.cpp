// The conversion of arbitrary-signal samples. Reading 8 bytes and writing 2 per sample, it can
// run at the speed of memory only when the arithmetic is a few instructions per vector, so the
// vector builds test and convert in one pass and leave the search for the sample to refuse to
// a second, scalar pass over the one chunk where the test failed.
#include "protocols/sample_conversion.hpp"

#include <cstring>
#include <stdexcept>

#include "protocols/cpu.hpp"
#include "protocols/failure.hpp"
#include "protocols/numeric.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PROTOCOLS_CONVERSION_VECTORS 1
#include <immintrin.h>
#define CONVERSION_INLINE inline __attribute__((always_inline))
#else
#define CONVERSION_INLINE inline
#endif

namespace protocols {
namespace {

CONVERSION_INLINE double load(const char* data, std::intptr_t stride, std::size_t i) {
    double t;
    std::memcpy(&t, data + static_cast<std::intptr_t>(i) * stride, sizeof t);  // may be unaligned
    return t;
}

CONVERSION_INLINE bool in_range(double t) { return t >= 0.0 && t <= 1.0; }

[[noreturn]] void refuse(double t) {
    if (!(t >= 0.0)) throw Failure("assertion failed: *sample >= 0.0");
    throw Failure("assertion failed: *sample <= 1.0");
}

// Refuses the first sample of `count` that is out of range; the caller knows there is one.
[[noreturn]] void refuse_first(const char* data, std::intptr_t stride, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const double t = load(data, stride, i);
        if (!in_range(t)) refuse(t);
    }
    throw std::logic_error("refuse_first: every sample is in range");
}

// round(t * 32767.0), halves away from zero, for t in [0.0, 1.0]: the rule that every build
// matches. A truncation and an exact fraction instead of a library call, so that the compiler
// vectorises the portable loop; x - trunc(x) is exact for these magnitudes, so the result
// equals round() for every input. The rounding step stays in double: a comparison that yields
// an integer would mix lane widths, which GCC cannot vectorise on baseline x86-64.
CONVERSION_INLINE std::int16_t to_sample(double t) {
    const double x = t * 32767.0;
    const double whole = static_cast<double>(static_cast<std::int32_t>(x));
    const double rounded = whole + (x - whole >= 0.5 ? 1.0 : 0.0);
    return static_cast<std::int16_t>(static_cast<std::int32_t>(rounded));
}

// --- portable -----------------------------------------------------------------------------------

// Whether every sample of a block lies in [0.0, 1.0]. The flag is a double so that the loop
// holds one lane width and vectorises.
CONVERSION_INLINE bool all_in_range(const char* data, std::intptr_t stride, std::size_t count) {
    double outside = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = load(data, stride, i);
        outside = ((t >= 0.0) & (t <= 1.0)) ? outside : 1.0;
    }
    return outside == 0.0;
}

CONVERSION_INLINE void convert_block(const char* data, std::intptr_t stride, std::size_t count,
                                     std::int16_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = to_sample(load(data, stride, i));
}

// Each block is tested first and converted only when all of it is in range, so no NaN or huge
// value ever reaches an integer conversion (that would be undefined in C++). Test and
// conversion stay separate loops: GCC vectorises neither when they are fused. A block of 8 KiB
// is still in L1 when the conversion reads it again.
void convert_portable(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
    constexpr std::size_t block_samples = 1024;
    constexpr auto contiguous = static_cast<std::intptr_t>(sizeof(double));
    for (std::size_t start = 0; start < n; start += block_samples) {
        const std::size_t count = n - start < block_samples ? n - start : block_samples;
        // Indexing from the block's own start keeps the addresses affine for the vectoriser.
        const char* block = data + static_cast<std::intptr_t>(start) * stride;
        const bool ok = stride == contiguous ? all_in_range(block, contiguous, count)
                                             : all_in_range(block, stride, count);
        if (!ok) refuse_first(block, stride, count);
        if (stride == contiguous) {
            convert_block(block, contiguous, count, out + start);
        } else {
            convert_block(block, stride, count, out + start);
        }
    }
}

#ifdef PROTOCOLS_CONVERSION_VECTORS

// The vector builds check this many samples at a time: a chunk that fails is read again by the
// scalar search while it is still in the first-level cache (16 KiB of contiguous doubles).
constexpr std::size_t chunk = 2048;

// The scalar end of a vector chunk: converts what is in range and says whether all was.
CONVERSION_INLINE bool convert_tail(const char* data, std::intptr_t stride, std::size_t count,
                                    std::int16_t* out) {
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = load(data, stride, i);
        if (in_range(t)) {
            out[i] = to_sample(t);
        } else {
            ok = false;
        }
    }
    return ok;
}

// Whether the vector builds write around the caches. An output this large comes fresh from
// allocate_large and is not read again soon; stored the ordinary way, each of its cache lines
// would first be read from memory (or from the page just zeroed by the kernel) and later
// written back, and would push the input out of the cache. Streamed, it is written once.
// Needs a 32-byte aligned output: every step then stores to an aligned address (a chunk
// starts at a multiple of 4 KiB, a step at a multiple of 16 or 32 bytes from it).
bool streams(std::size_t n, const std::int16_t* out) {
    return n * sizeof(std::int16_t) >= large_buffer_bytes &&
           reinterpret_cast<std::uintptr_t>(out) % 32 == 0;
}

// --- AVX2: eight samples per step ---------------------------------------------------------------

// Four doubles from `p` on, `stride` bytes apart. A strided view is read with scalar loads:
// a gather is no faster where it is fast and much slower where microcode mitigations apply.
template <bool Contiguous>
__attribute__((target("avx2"))) CONVERSION_INLINE __m256d load4(const char* p,
                                                                std::intptr_t stride) {
    if constexpr (Contiguous) {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    } else {
        return _mm256_setr_pd(load(p, stride, 0), load(p, stride, 1), load(p, stride, 2),
                              load(p, stride, 3));
    }
}

// In-range lanes all ones. An ordered comparison is false for NaN, so NaN is out of range.
__attribute__((target("avx2"))) CONVERSION_INLINE __m256d in_range4(__m256d t) {
    return _mm256_and_pd(_mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_GE_OQ),
                         _mm256_cmp_pd(t, _mm256_set1_pd(1.0), _CMP_LE_OQ));
}

// to_sample on four lanes, step for step: truncate, add one where the exact fraction is at
// least a half. Out-of-range lanes give some value without trapping; it is never kept.
__attribute__((target("avx2"))) CONVERSION_INLINE __m128i to_samples4(__m256d t) {
    const __m256d x = _mm256_mul_pd(t, _mm256_set1_pd(32767.0));
    const __m256d whole = _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(x, whole), _mm256_set1_pd(0.5), _CMP_GE_OQ);
    return _mm256_cvttpd_epi32(_mm256_add_pd(whole, _mm256_and_pd(up, _mm256_set1_pd(1.0))));
}

template <bool Contiguous, bool Stream>
__attribute__((target("avx2"))) CONVERSION_INLINE void convert_avx2_body(
    const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t count = n - start < chunk ? n - start : chunk;
        const char* block = data + static_cast<std::intptr_t>(start) * stride;
        std::int16_t* dst = out + start;
        __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            const char* p = block + static_cast<std::intptr_t>(i) * stride;
            const __m256d a = load4<Contiguous>(p, stride);
            const __m256d b = load4<Contiguous>(p + 4 * stride, stride);
            ok = _mm256_and_pd(ok, _mm256_and_pd(in_range4(a), in_range4(b)));
            // Values in [0, 32767]: the signed saturation of the pack never applies to them.
            const __m128i packed = _mm_packs_epi32(to_samples4(a), to_samples4(b));
            if constexpr (Stream) {
                _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), packed);
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), packed);
            }
        }
        const bool tail_ok = convert_tail(block + static_cast<std::intptr_t>(i) * stride, stride,
                                          count - i, dst + i);
        if (_mm256_movemask_pd(ok) != 0xF || !tail_ok) refuse_first(block, stride, count);
    }
}

__attribute__((target("avx2"))) void convert_avx2(const char* data, std::intptr_t stride,
                                                  std::size_t n, std::int16_t* out) {
    const bool contiguous = stride == static_cast<std::intptr_t>(sizeof(double));
    if (streams(n, out)) {
        if (contiguous) {
            convert_avx2_body<true, true>(data, stride, n, out);
        } else {
            convert_avx2_body<false, true>(data, stride, n, out);
        }
        _mm_sfence();  // the streamed stores ordered before anything the caller does next
    } else if (contiguous) {
        convert_avx2_body<true, false>(data, stride, n, out);
    } else {
        convert_avx2_body<false, false>(data, stride, n, out);
    }
}

// --- AVX-512: sixteen samples per step ----------------------------------------------------------

template <bool Contiguous>
__attribute__((target("avx2,avx512f"))) CONVERSION_INLINE __m512d load8(const char* p,
                                                                        std::intptr_t stride) {
    if constexpr (Contiguous) {
        return _mm512_loadu_pd(p);
    } else {
        return _mm512_setr_pd(load(p, stride, 0), load(p, stride, 1), load(p, stride, 2),
                              load(p, stride, 3), load(p, stride, 4), load(p, stride, 5),
                              load(p, stride, 6), load(p, stride, 7));
    }
}

// Bit i set where lane i is in range (an ordered comparison: NaN is not).
__attribute__((target("avx2,avx512f"))) CONVERSION_INLINE __mmask8 in_range8(__m512d t) {
    const __mmask8 above_zero = _mm512_cmp_pd_mask(t, _mm512_setzero_pd(), _CMP_GE_OQ);
    return _mm512_mask_cmp_pd_mask(above_zero, t, _mm512_set1_pd(1.0), _CMP_LE_OQ);
}

// x + 0.5 rounded toward zero, then truncated, is floor(x + 0.5) exactly for x in [0, 32767]:
// the rounded sum lies between that integer (representable, and not above the true sum) and
// the true sum. In the default rounding the sum could round up onto the next integer. So the
// embedded rounding of AVX-512 gives to_sample's result in three instructions.
__attribute__((target("avx2,avx512f"))) CONVERSION_INLINE __m256i to_samples8(__m512d t) {
    const __m512d x = _mm512_mul_pd(t, _mm512_set1_pd(32767.0));
    const __m512d up = _mm512_maskz_add_round_pd(0xFF, x, _mm512_set1_pd(0.5),
                                                 _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm512_maskz_cvttpd_epi32(0xFF, up);
}

template <bool Contiguous, bool Stream>
__attribute__((target("avx2,avx512f"))) CONVERSION_INLINE void convert_avx512_body(
    const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out) {
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t count = n - start < chunk ? n - start : chunk;
        const char* block = data + static_cast<std::intptr_t>(start) * stride;
        std::int16_t* dst = out + start;
        unsigned ok = 0xFFFF;
        std::size_t i = 0;
        for (; i + 16 <= count; i += 16) {
            const char* p = block + static_cast<std::intptr_t>(i) * stride;
            const __m512d a = load8<Contiguous>(p, stride);
            const __m512d b = load8<Contiguous>(p + 8 * stride, stride);
            ok &= static_cast<unsigned>(in_range8(a)) | (static_cast<unsigned>(in_range8(b)) << 8);
            // Values in [0, 32767]: the signed saturation of the pack never applies to them.
            // It packs within 128-bit lanes; the permutation puts the halves in order.
            const __m256i packed = _mm256_packs_epi32(to_samples8(a), to_samples8(b));
            const __m256i ordered = _mm256_permute4x64_epi64(packed, 0xD8);
            if constexpr (Stream) {
                _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), ordered);
            } else {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), ordered);
            }
        }
        const bool tail_ok = convert_tail(block + static_cast<std::intptr_t>(i) * stride, stride,
                                          count - i, dst + i);
        if (ok != 0xFFFF || !tail_ok) refuse_first(block, stride, count);
    }
}

__attribute__((target("avx2,avx512f"))) void convert_avx512(const char* data, std::intptr_t stride,
                                                            std::size_t n, std::int16_t* out) {
    const bool contiguous = stride == static_cast<std::intptr_t>(sizeof(double));
    if (streams(n, out)) {
        if (contiguous) {
            convert_avx512_body<true, true>(data, stride, n, out);
        } else {
            convert_avx512_body<false, true>(data, stride, n, out);
        }
        _mm_sfence();
    } else if (contiguous) {
        convert_avx512_body<true, false>(data, stride, n, out);
    } else {
        convert_avx512_body<false, false>(data, stride, n, out);
    }
}

#endif

}  // namespace

bool conversion_available(ConversionPath path) noexcept {
    switch (path) {
        case ConversionPath::best:
        case ConversionPath::portable: return true;
#ifdef PROTOCOLS_CONVERSION_VECTORS
        case ConversionPath::avx2: return has_avx2();
        case ConversionPath::avx512: return has_avx512f();
#else
        case ConversionPath::avx2:
        case ConversionPath::avx512: return false;
#endif
    }
    return false;
}

void convert_samples(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out,
                     ConversionPath path) {
#ifdef PROTOCOLS_CONVERSION_VECTORS
    const bool best = path == ConversionPath::best;
    if ((best || path == ConversionPath::avx512) && has_avx512f()) {
        convert_avx512(data, stride, n, out);
        return;
    }
    if ((best || path == ConversionPath::avx2) && has_avx2()) {
        convert_avx2(data, stride, n, out);
        return;
    }
#else
    (void)path;
#endif
    convert_portable(data, stride, n, out);
}

}  // namespace protocols
