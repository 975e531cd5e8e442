// Numeric helpers shared by the library and the extension: the exact rounding and the
// saturating conversions that the protocol computations rely on.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

namespace protocols {

// double -> uint64 without undefined behaviour: NaN and negatives give 0, values of 2^64 and
// above give 2^64 - 1, anything else its integer part.
constexpr std::uint64_t saturating_u64(double v) noexcept {
    if (!(v > 0.0)) return 0;  // NaN, zero, negatives
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// Halves away from zero, like the C library's round(); kept as one name so that no fast path
// slips to rint()/nearbyint(), which round halves to even.
inline double round_half_away(double v) noexcept { return std::round(v); }

// Buffers from this size on are aligned to 2 MiB and, where the system backs memory with huge
// pages only on request (Linux), asked for them: the millions of samples of a long arbitrary
// signal are written once right after allocation, and faulting them in one 4 KiB page at a
// time costs about as much as converting or decoding them.
inline constexpr std::size_t large_buffer_bytes = std::size_t{4} << 20;
void* allocate_large(std::size_t bytes);  // throws std::bad_alloc
void free_large(void* p) noexcept;
// Gives the whole pages within [p, p + bytes) back to the system where it can take them (Linux);
// they read as zeros afterwards. For memory about to be freed whose contents are used up.
void release_pages(void* p, std::size_t bytes) noexcept;

// An allocator that leaves trivially constructible elements uninitialised on resize, so that a
// buffer which is about to be overwritten in full is not zero-filled first.
template <class T, class Base = std::allocator<T>>
struct DefaultInitAllocator : Base {
    using Base::Base;
    template <class U>
    struct rebind {
        using other =
            DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<Base>::construct(static_cast<Base&>(*this), p,
                                               std::forward<Args>(args)...);
    }

    // Large buffers come from allocate_large (see below); the size decides, the same way on
    // both calls.
    using value_type = typename std::allocator_traits<Base>::value_type;
    value_type* allocate(std::size_t n) {
        if (n >= large_buffer_bytes / sizeof(value_type)) {
            return static_cast<value_type*>(allocate_large(n * sizeof(value_type)));
        }
        return Base::allocate(n);
    }
    void deallocate(value_type* p, std::size_t n) noexcept {
        if (n >= large_buffer_bytes / sizeof(value_type)) {
            free_large(p);
        } else {
            Base::deallocate(p, n);
        }
    }
};

}  // namespace protocols
