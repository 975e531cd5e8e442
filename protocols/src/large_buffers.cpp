// Large buffers for long sample lists: aligned to huge pages and, on Linux, advised to use
// them. The advice is only a hint; without transparent huge pages the buffer is plain memory.
#include <cstddef>
#include <new>

#include "protocols/numeric.hpp"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace protocols {
namespace {
constexpr std::size_t huge_page = std::size_t{2} << 20;
}

void* allocate_large(std::size_t bytes) {
    void* p = ::operator new(bytes, std::align_val_t{huge_page});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only whole huge pages; a failure (no such support) leaves ordinary pages.
    (void)madvise(p, bytes / huge_page * huge_page, MADV_HUGEPAGE);
#endif
    return p;
}

void free_large(void* p) noexcept { ::operator delete(p, std::align_val_t{huge_page}); }

}  // namespace protocols
