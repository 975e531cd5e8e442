// Reading and validating sample lists: the block reader (continuation bits select a precomputed
// shuffle) and the vector scans that validate a list 64 bytes at a time.
#include "sample_lists.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#ifdef PROTOCOLS_SAMPLE_BLOCKS
#include <immintrin.h>
#endif

#include "protocols/cpu.hpp"

namespace protocols::sample_lists {
namespace {

// Samples in blocks of up to eight, for the millions of samples of an arbitrary signal: the
// continuation bits of 12 input bytes select a precomputed way to gather the bytes of each
// sample into a 16-bit lane, so the loop carries no per-sample dependency from one length to
// the next position. A block is taken only when every sample in it is well formed (at most
// three bytes, shortest form, at most 16 bits); anything else is left to the per-sample
// reader, which also names the error. x86-64 with SSSE3 only; elsewhere, or on a processor
// without it, the per-sample reader does all the work.
#ifdef PROTOCOLS_SAMPLE_BLOCKS

struct SampleBlock {
    std::uint8_t count = 0;              // samples in the block; 0 when the first one is not plain
    std::uint16_t ends2 = 0;             // positions of the last bytes of two-byte samples
    std::uint16_t ends3 = 0;             // ... and of three-byte samples
    alignas(16) std::uint8_t pair[16];   // lane j: first byte | second byte << 8
    alignas(16) std::uint8_t third[16];  // lane j: third byte
};

constexpr unsigned block_window = 12;     // bytes whose continuation bits index the table
constexpr std::uint8_t zero_lane = 0x80;  // a shuffle index that yields 0

// The bytes each block takes, apart from the rest: the next block's position depends on it,
// so it sits in a table small enough to stay in the first-level cache.
struct SampleBlockTables {
    std::vector<SampleBlock> blocks;
    std::vector<std::uint8_t> consumed;
};

const SampleBlockTables& sample_block_tables() {
    static const SampleBlockTables tables = [] {
        std::vector<SampleBlock> blocks(std::size_t{1} << block_window);
        std::vector<std::uint8_t> consumed(blocks.size());
        for (unsigned mask = 0; mask < blocks.size(); ++mask) {
            SampleBlock& b = blocks[mask];
            std::fill(std::begin(b.pair), std::end(b.pair), zero_lane);
            std::fill(std::begin(b.third), std::end(b.third), zero_lane);
            unsigned pos = 0;
            while (b.count < 8) {
                unsigned run = 0;  // continuation bytes from pos on
                while (pos + run < block_window && ((mask >> (pos + run)) & 1u)) ++run;
                // The last byte lies beyond the window, or the sample is longer than three
                // bytes (the per-sample reader refuses it).
                if (pos + run == block_window || run > 2) break;
                const unsigned lane = 2u * b.count;
                b.pair[lane] = static_cast<std::uint8_t>(pos);
                if (run >= 1) b.pair[lane + 1] = static_cast<std::uint8_t>(pos + 1);
                if (run == 2) b.third[lane] = static_cast<std::uint8_t>(pos + 2);
                if (run == 1) b.ends2 = static_cast<std::uint16_t>(b.ends2 | 1u << (pos + 1));
                if (run == 2) b.ends3 = static_cast<std::uint16_t>(b.ends3 | 1u << (pos + 2));
                pos += run + 1;
                ++b.count;
            }
            consumed[mask] = static_cast<std::uint8_t>(pos);
        }
        return SampleBlockTables{std::move(blocks), std::move(consumed)};
    }();
    return tables;
}

#endif

// --- Validating sample lists without decoding them ---------------------------------------------
//
// A list of `count` samples from `start` on is accepted by the reader above exactly when its
// count-th final byte (below 0x80) lies within the input and, among the bytes up to there,
//   - no three continuation bytes follow each other (a sample of four bytes or more is either
//     beyond 16 bits or not in its shortest form),
//   - no final byte 00 follows a continuation byte (not the shortest form),
//   - no final byte above 03 follows two continuation bytes (beyond 16 bits),
// where the bytes before `start` count as final bytes. Each rule looks back two bytes at most,
// so the list is checked 64 bytes at a time on bit masks, with no sample-by-sample walk.

struct ByteMasks {
    std::uint64_t continued = 0;  // bytes 80 to FF
    std::uint64_t zero = 0;       // bytes 00
    std::uint64_t above3 = 0;     // bytes 04 to 7F
};

#if defined(__GNUC__) || defined(__clang__)
#define PROTOCOLS_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define PROTOCOLS_ALWAYS_INLINE inline
#endif

// The high bits of the eight bytes of `x` (nothing else set) as eight bits, byte 0 first.
constexpr std::uint64_t high_bits(std::uint64_t x) noexcept {
    return ((x >> 7) * 0x0102040810204080u) >> 56;
}

// Eight bytes at a time in a 64-bit word (byte 0 least significant on any host).
ByteMasks portable_masks(const std::uint8_t* p) noexcept {
    constexpr std::uint64_t high = 0x8080808080808080u;
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Fu;
    ByteMasks m;
    for (unsigned word = 0; word < 8; ++word) {
        std::uint64_t w = 0;
        for (unsigned i = 0; i < 8; ++i) w |= std::uint64_t{p[8 * word + i]} << (8 * i);
        const std::uint64_t low = w & low7;
        const std::uint64_t final_bytes = ~w & high;
        const unsigned shift = 8 * word;
        m.continued |= high_bits(w & high) << shift;
        // A final byte's low seven bits carry into its high bit when 1 or more (+7F), 4 or
        // more (+7C); no carry crosses into the next byte.
        m.zero |= high_bits(~(low + low7) & final_bytes) << shift;
        m.above3 |= high_bits((low + 0x7C7C7C7C7C7C7C7Cu) & final_bytes) << shift;
    }
    return m;
}

// The bytes of a block that break a rule; `previous` holds the continuation bits of the block
// before (0 at the start of the list).
constexpr std::uint64_t broken(const ByteMasks& m, std::uint64_t previous) noexcept {
    const std::uint64_t after_one = (m.continued << 1) | (previous >> 63);
    const std::uint64_t after_two = after_one & ((m.continued << 2) | (previous >> 62));
    return (m.continued & after_two) | (m.zero & after_one) | (m.above3 & after_two);
}

// The end of the list, or not_accepted when it breaks a rule or runs past the input (the
// caller then reads it sample by sample, which names the error).
template <ByteMasks (*Masks)(const std::uint8_t*)>
PROTOCOLS_ALWAYS_INLINE std::size_t scan_samples(const std::uint8_t* in, std::size_t size,
                                                 std::size_t start, std::size_t count) {
    std::size_t pos = start;
    std::size_t need = count;  // final bytes still to come
    std::uint64_t previous = 0;
    std::uint64_t bad = 0;
    // Blocks that cannot hold the last final byte: the rules are checked once at the end.
    while (need > 64 && size - pos >= 64) {
        const ByteMasks m = Masks(in + pos);
        bad |= broken(m, previous);
        need -= static_cast<std::size_t>(std::popcount(~m.continued));
        previous = m.continued;
        pos += 64;
    }
    if (bad != 0) return not_accepted;
    while (need > 0) {
        ByteMasks m;
        std::uint64_t valid = ~std::uint64_t{0};
        if (size - pos >= 64) {
            m = Masks(in + pos);
        } else {
            if (size == pos) return not_accepted;
            // The input's last bytes, padded with continuation bytes, which end no sample.
            std::uint8_t block[64];
            std::memset(block, 0x80, sizeof block);
            std::memcpy(block, in + pos, size - pos);
            m = Masks(block);
            valid = (std::uint64_t{1} << (size - pos)) - 1;
        }
        const std::uint64_t finals = ~m.continued & valid;
        const auto found = static_cast<std::size_t>(std::popcount(finals));
        if (found >= need) {
            std::uint64_t rest = finals;
            for (std::size_t i = 1; i < need; ++i) rest &= rest - 1;
            const auto last = static_cast<unsigned>(std::countr_zero(rest));
            const std::uint64_t upto =
                last == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << last) - 1;
            if ((broken(m, previous) & upto) != 0) return not_accepted;
            return pos + last + 1;
        }
        if (valid != ~std::uint64_t{0} || broken(m, previous) != 0) return not_accepted;
        need -= found;
        previous = m.continued;
        pos += 64;
    }
    return pos;
}

std::size_t scan_portable(const std::uint8_t* in, std::size_t size, std::size_t start,
                          std::size_t count) {
    return scan_samples<portable_masks>(in, size, start, count);
}

#ifdef PROTOCOLS_SAMPLE_BLOCKS
std::uint64_t movemask16(__m128i v) noexcept {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(v));
}

PROTOCOLS_ALWAYS_INLINE ByteMasks vector128_masks(const std::uint8_t* p) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i three = _mm_set1_epi8(3);
    ByteMasks m;
    for (std::size_t i = 0; i < 4; ++i) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        // Bytes 80 and above are negative, so the signed comparison leaves them out.
        m.continued |= movemask16(b) << (16 * i);
        m.zero |= movemask16(_mm_cmpeq_epi8(b, zero)) << (16 * i);
        m.above3 |= movemask16(_mm_cmpgt_epi8(b, three)) << (16 * i);
    }
    return m;
}

__attribute__((target("avx2"))) inline std::uint64_t movemask32(__m256i v) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
}

__attribute__((target("avx2"))) inline ByteMasks vector256_masks(const std::uint8_t* p) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i three = _mm256_set1_epi8(3);
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    ByteMasks m;
    m.continued = movemask32(low) | movemask32(high) << 32;
    m.zero = movemask32(_mm256_cmpeq_epi8(low, zero)) | movemask32(_mm256_cmpeq_epi8(high, zero))
                                                            << 32;
    m.above3 = movemask32(_mm256_cmpgt_epi8(low, three)) |
               movemask32(_mm256_cmpgt_epi8(high, three)) << 32;
    return m;
}

__attribute__((target("avx512bw"))) inline ByteMasks vector512_masks(
    const std::uint8_t* p) noexcept {
    const __m512i b = _mm512_loadu_si512(p);
    ByteMasks m;
    m.continued = _mm512_movepi8_mask(b);
    m.zero = _mm512_cmpeq_epi8_mask(b, _mm512_setzero_si512());
    m.above3 = _mm512_cmpgt_epi8_mask(b, _mm512_set1_epi8(3));
    return m;
}

std::size_t scan_vector128(const std::uint8_t* in, std::size_t size, std::size_t start,
                           std::size_t count) {
    return scan_samples<vector128_masks>(in, size, start, count);
}

__attribute__((target("avx2"))) std::size_t scan_vector256(const std::uint8_t* in, std::size_t size,
                                                           std::size_t start, std::size_t count) {
    return scan_samples<vector256_masks>(in, size, start, count);
}

__attribute__((target("avx512bw"))) std::size_t scan_vector512(const std::uint8_t* in,
                                                               std::size_t size, std::size_t start,
                                                               std::size_t count) {
    return scan_samples<vector512_masks>(in, size, start, count);
}

#endif

}  // namespace

#ifdef PROTOCOLS_SAMPLE_BLOCKS
__attribute__((target("ssse3"))) std::size_t read_sample_blocks(const std::uint8_t* in,
                                                                std::size_t size, std::size_t& pos,
                                                                std::int16_t* out,
                                                                std::size_t count) {
    const SampleBlock* table = sample_block_tables().blocks.data();
    const std::uint8_t* consumed = sample_block_tables().consumed.data();
    const __m128i low7 = _mm_set1_epi16(0x007F);
    const __m128i middle7 = _mm_set1_epi16(0x3F80);
    const __m128i one = _mm_set1_epi16(1);
    const __m128i three = _mm_set1_epi8(3);
    const __m128i zero = _mm_setzero_si128();
    std::size_t done = 0;
    while (size - pos >= 16 && count - done >= 8) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
        const auto continued = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        const unsigned window = continued & ((1u << block_window) - 1);
        const SampleBlock& b = table[window];
        // Shortest form: a last byte after a continuation byte is never 00; a third byte is
        // 01 to 03 (16 bits). Final bytes are below 0x80, so the signed comparison holds.
        const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
        const auto above3 = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(bytes, three)));
        if (b.count == 0 || ((b.ends2 & zeros) | (b.ends3 & (zeros | above3))) != 0) break;
        const __m128i pair =
            _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i*>(b.pair)));
        const __m128i third =
            _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i*>(b.third)));
        const __m128i z =
            _mm_or_si128(_mm_or_si128(_mm_and_si128(pair, low7),
                                      _mm_and_si128(_mm_srli_epi16(pair, 1), middle7)),
                         _mm_slli_epi16(third, 14));
        // Zig-zag back: (z >> 1) ^ -(z & 1).
        const __m128i sample =
            _mm_xor_si128(_mm_srli_epi16(z, 1), _mm_sub_epi16(zero, _mm_and_si128(z, one)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), sample);
        done += b.count;
        pos += consumed[window];
    }
    return done;
}
#endif

bool use_sample_blocks() {
#ifdef PROTOCOLS_SAMPLE_BLOCKS
    return has_ssse3();
#else
    return false;
#endif
}

SampleScanner sample_scanner(SampleScan scan) {
#ifdef PROTOCOLS_SAMPLE_BLOCKS
    if ((scan == SampleScan::best || scan == SampleScan::vector512) && has_avx512bw()) {
        return scan_vector512;
    }
    if ((scan == SampleScan::best || scan == SampleScan::vector256) && has_avx2()) {
        return scan_vector256;
    }
    if (scan != SampleScan::portable) return scan_vector128;  // SSE2 is part of x86-64
#else
    (void)scan;
#endif
    return scan_portable;
}

}  // namespace protocols::sample_lists

namespace protocols {

std::optional<std::size_t> sample_list_end(std::span<const std::uint8_t> bytes, std::size_t start,
                                           std::size_t count, SampleScan scan) {
    if (start > bytes.size()) return std::nullopt;
    if (count == 0) return start;
    const std::size_t end =
        sample_lists::sample_scanner(scan)(bytes.data(), bytes.size(), start, count);
    if (end == sample_lists::not_accepted) return std::nullopt;
    return end;
}

}  // namespace protocols
