// The run-time processor checks behind the vector builds of the sample loops.
#include "protocols/cpu.hpp"

namespace protocols {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
namespace {

enum class Feature { avx2, ssse3, avx512f, avx512bw, avx512vbmi2 };

// __builtin_cpu_supports takes a literal only: one case per feature.
bool cpu_supports(Feature feature) noexcept {
    __builtin_cpu_init();
    switch (feature) {
        case Feature::avx2: return __builtin_cpu_supports("avx2") != 0;
        case Feature::ssse3: return __builtin_cpu_supports("ssse3") != 0;
        case Feature::avx512f: return __builtin_cpu_supports("avx512f") != 0;
        case Feature::avx512bw: return __builtin_cpu_supports("avx512bw") != 0;
        case Feature::avx512vbmi2: return __builtin_cpu_supports("avx512vbmi2") != 0;
    }
    return false;
}

}  // namespace

bool has_avx2() noexcept {
    static const bool available = cpu_supports(Feature::avx2);
    return available;
}

bool has_ssse3() noexcept {
    static const bool available = cpu_supports(Feature::ssse3);
    return available;
}

bool has_avx512f() noexcept {
    static const bool available = cpu_supports(Feature::avx512f);
    return available;
}

bool has_avx512bw() noexcept {
    static const bool available = cpu_supports(Feature::avx512bw);
    return available;
}

bool has_avx512vbmi2() noexcept {
    static const bool available = cpu_supports(Feature::avx512bw) &&
                                  cpu_supports(Feature::avx512vbmi2) &&
                                  __builtin_cpu_supports("popcnt") != 0;
    return available;
}
#else
bool has_avx2() noexcept { return false; }
bool has_ssse3() noexcept { return false; }
bool has_avx512f() noexcept { return false; }
bool has_avx512bw() noexcept { return false; }
bool has_avx512vbmi2() noexcept { return false; }
#endif

}  // namespace protocols
