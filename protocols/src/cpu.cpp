// The run-time processor check behind the AVX2 builds of the sample loops.
#include "protocols/cpu.hpp"

#include <cstdlib>

namespace protocols {

bool has_avx2() noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool available = [] {
        if (std::getenv("PYQELM_DISABLE_AVX2") != nullptr) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available;
#else
    return false;
#endif
}

}  // namespace protocols
