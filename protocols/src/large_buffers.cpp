// Large buffers for long sample lists: aligned to huge pages and, on Linux, advised to use
// them. The advice is only a hint; without transparent huge pages the buffer is plain memory.
#include <cstddef>
#include <cstdint>
#include <new>

#include "protocols/numeric.hpp"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
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

void release_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
    static const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    // From the first page boundary at or after p to the last one at or before p + bytes, as
    // offsets from p, so that the pointer is derived from p.
    const std::uintptr_t head = (page - address % page) % page;
    const std::uintptr_t tail = (address + bytes) % page;
    if (head + tail >= bytes) return;
    // A failure (no such advice) keeps the pages, which is only less thrifty.
    (void)madvise(static_cast<char*>(p) + head, bytes - head - tail, MADV_DONTNEED);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace protocols
