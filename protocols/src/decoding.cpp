// The strict protocol file decoder: one generic visitor over the record field declarations,
// mirroring the encoder type by type.
#include "protocols/decoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "protocols/cpu.hpp"
#include "protocols/encoding.hpp"
#include "protocols/utf8.hpp"

namespace protocols {
namespace {

// Messages are built by appending pieces; `"literal" + std::string` chains trip a false
// overlap warning in some compilers at high optimisation.
std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

std::string bytes_text(std::size_t n) {
    return concat({std::to_string(n), n == 1 ? " byte" : " bytes"});
}

constexpr std::size_t max_varint_bytes = 10;

std::size_t min_encoded_size_of_signal();

// The fewest bytes one value of type T can occupy in a file. Sequence counts are checked
// against it, which bounds every allocation by a small multiple of the input size.
template <class T>
std::size_t min_encoded_size() {
    if constexpr (std::is_same_v<T, double>) {
        return 8;
    } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
        return 16;
    } else if constexpr (std::is_same_v<T, Signal>) {
        return min_encoded_size_of_signal();
    } else if constexpr (Record<T>) {
        // Walks a default record only for its field types; computed once per record type.
        static const std::size_t size = [] {
            T record{};
            std::size_t sum = 0;
            for_each_field(record, [&sum](std::string_view, auto& field) {
                sum += min_encoded_size<std::remove_cvref_t<decltype(field)>>();
            });
            return sum;
        }();
        return size;
    } else {
        return 1;  // one-byte scalars, and the count of an empty sequence or text
    }
}

template <std::size_t... I>
std::size_t min_payload_size(std::index_sequence<I...>) {
    return std::min({min_encoded_size<std::variant_alternative_t<I, Signal>>()...});
}

std::size_t min_encoded_size_of_signal() {
    return 1 + min_payload_size(std::make_index_sequence<std::variant_size_v<Signal>>{});
}

// Samples in blocks of up to eight, for the millions of samples of an arbitrary signal: the
// continuation bits of 12 input bytes select a precomputed way to gather the bytes of each
// sample into a 16-bit lane, so the loop carries no per-sample dependency from one length to
// the next position. A block is taken only when every sample in it is well formed (at most
// three bytes, shortest form, at most 16 bits); anything else is left to the per-sample
// reader, which also names the error. x86-64 with SSSE3 only; elsewhere, or on a processor
// without it, the per-sample reader does all the work.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PROTOCOLS_SAMPLE_BLOCKS 1

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

// Decodes whole blocks from `in` into `out` while at least 16 bytes and 8 samples are left;
// returns the samples decoded and adds the bytes taken to `pos`.
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

constexpr std::size_t not_accepted = static_cast<std::size_t>(-1);

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

using SampleScanner = std::size_t (*)(const std::uint8_t*, std::size_t, std::size_t, std::size_t);

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

template <std::size_t... I>
void emplace_kind(Signal& signal, std::size_t kind, std::index_sequence<I...>) {
    ((kind == I ? static_cast<void>(signal.emplace<I>()) : static_cast<void>(0)), ...);
}

// The one visitor. After the first error every further call returns at once, so the field
// walk runs out without touching the input again; the error names the innermost item.
class Decoder {
public:
    Decoder(std::span<const std::uint8_t> in, bool sample_blocks) noexcept
        : in_(in), sample_blocks_(sample_blocks), size_(in.size()) {}

    // Reads `in` as the first bytes of a file of `size` bytes (unknown_file_size when it is not
    // known): what runs past their end is not refused but counted in needed(), and the record
    // itself is not kept (lists are walked through one element), so that the check costs no
    // memory in proportion to its input. Every other refusal is the one the whole file gets.
    void check_prefix_of(std::size_t size) noexcept {
        size_ = size;
        prefix_ = true;
        scanner_ = sample_scanner(SampleScan::best);
    }
    bool ran_out() const noexcept { return ran_out_; }
    std::size_t needed() const noexcept { return needed_; }
    std::size_t required_end() const noexcept { return required_end_; }

    // Validates the sample lists with `scanner` and records where they lie in `runs`, instead
    // of decoding them (a list the scan does not accept is decoded at once, which names the
    // error if there is one).
    void defer_samples(std::vector<SampleRun>* runs, SampleScanner scanner) noexcept {
        deferred_ = runs;
        scanner_ = scanner;
    }

    // Reads `count` samples validated before, from `offset` on, into `out`.
    bool read_validated_samples(std::size_t offset, std::int16_t* out, std::size_t count) {
        if (offset > in_.size()) return false;
        pos_ = offset;
        return read_sample_values(out, count);
    }

    template <class T>
    void operator()(std::string_view name, T& field) {
        if (error_) return;
        if (depth_ == path_.size()) {
            // Record nesting is fixed by the declarations and far shallower than this.
            fail(pos_, "records nested too deeply");
            return;
        }
        path_[depth_++] = Segment{name, 0, false};
        read(field);
        --depth_;
    }

    template <class T>
    void read(T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            read_bool(value);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            read_varint(value);
        } else if constexpr (std::is_same_v<T, double>) {
            read_f64(value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            read_text(value);
        } else if constexpr (std::is_same_v<T, SampleVector>) {
            read_samples(value);
        } else if constexpr (IsVector<T>::value) {
            const std::size_t least = min_encoded_size<typename T::value_type>();
            std::size_t count = 0;
            if (!read_count(count, least, "element")) return;
            if (prefix_) {
                // One element stands in for all: nothing is kept.
                value.resize(count == 0 ? 0 : 1);
                for (std::size_t i = 0; i < count && !error_; ++i) {
                    set_index(i);
                    const std::size_t after = saturating_product(count - 1 - i, least);
                    owed_ = saturating_sum(owed_, after);
                    read(value[0]);
                    owed_ -= after;
                }
                return;
            }
            value.resize(count);
            for (std::size_t i = 0; i < count && !error_; ++i) {
                set_index(i);
                read(value[i]);
            }
        } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
            for (std::size_t i = 0; i < value.size() && !error_; ++i) {
                set_index(i);
                read_bool(value[i]);
            }
        } else if constexpr (std::is_same_v<T, Signal>) {
            read_signal(value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else {
            static_assert(sizeof(T) == 0, "a record field of a type the file format lacks");
        }
    }

    std::size_t position() const noexcept { return pos_; }
    std::optional<DecodeError>& error() noexcept { return error_; }

    // Marks the input as refused; returns false so that readers can `return fail(...)`.
    bool fail(std::size_t offset, std::string message) {
        if (!error_) error_ = DecodeError{offset, path_text(), std::move(message)};
        return false;
    }

private:
    struct Segment {
        std::string_view name;
        std::size_t index;
        bool indexed;
    };

    std::size_t left() const noexcept { return in_.size() - pos_; }
    // What the file holds from here on: the input, or the whole file when only its first bytes
    // are at hand.
    std::size_t file_left() const noexcept { return size_ - pos_; }
    // The input ends before the file does: running out of it is no refusal.
    bool more_to_come() const noexcept { return prefix_ && in_.size() < size_; }

    static std::size_t saturating_sum(std::size_t a, std::size_t b) noexcept {
        return a > static_cast<std::size_t>(-1) - b ? static_cast<std::size_t>(-1) : a + b;
    }
    static std::size_t saturating_product(std::size_t a, std::size_t b) noexcept {
        return b != 0 && a > static_cast<std::size_t>(-1) / b ? static_cast<std::size_t>(-1)
                                                              : a * b;
    }

    // Stops the walk: `missing` more bytes are needed here, besides what the lists around still
    // owe. Returns false, like fail().
    bool run_out(std::size_t missing) {
        ran_out_ = true;
        needed_ = saturating_sum(missing, owed_);
        return fail(pos_, "the input ends here");
    }

    void set_index(std::size_t i) noexcept {
        if (depth_ > 0) path_[depth_ - 1] = Segment{path_[depth_ - 1].name, i, true};
    }

    std::string path_text() const {
        std::string text;
        for (std::size_t i = 0; i < depth_; ++i) {
            if (i > 0) text += '.';
            text += path_[i].name;
            if (path_[i].indexed) {
                text += '[';
                text += std::to_string(path_[i].index);
                text += ']';
            }
        }
        return text;
    }

    bool truncated(std::size_t start, std::size_t needed) {
        if (more_to_come()) return run_out(needed - left());
        return fail(start, concat({"truncated: needs ", bytes_text(needed), ", ",
                                   std::to_string(left()), " left"}));
    }

    bool read_bool(bool& value) {
        if (left() < 1) return truncated(pos_, 1);
        const std::uint8_t byte = in_[pos_];
        if (byte > 1) {
            static constexpr char digits[] = "0123456789ABCDEF";
            const char hex[2] = {digits[byte >> 4], digits[byte & 15]};
            return fail(pos_, concat({"boolean byte ", std::string_view(hex, 2),
                                      " is neither 00 nor 01"}));
        }
        value = byte == 1;
        ++pos_;
        return true;
    }

    bool read_varint(std::uint64_t& value) {
        const std::size_t start = pos_;
        if (left() >= 1 && in_[pos_] < 0x80) {  // the common one-byte case
            value = in_[pos_++];
            return true;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0;; ++i) {
            if (pos_ == in_.size()) {
                if (more_to_come()) return run_out(1);
                return fail(start, i == 0 ? "truncated: needs a varint, 0 bytes left"
                                          : "truncated: the data ends inside a varint");
            }
            const std::uint8_t byte = in_[pos_++];
            if (i == max_varint_bytes - 1) {
                if (byte & 0x80) return fail(start, "varint longer than 10 bytes");
                if (byte > 1) return fail(start, "varint exceeds 64 bits");
            }
            v |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) {
                // A zero final group means a shorter form existed; the encoder never writes
                // one, and refusing it keeps decode-then-encode byte-identical.
                if (byte == 0) return fail(start, "varint is not in its shortest form");
                value = v;
                return true;
            }
        }
    }

    bool read_f64(double& value) {
        if (left() < 8) return truncated(pos_, 8);
        // Assembled by shifts, so least significant first on hosts of either endianness.
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            bits |= static_cast<std::uint64_t>(in_[pos_ + i]) << (8 * i);
        }
        pos_ += 8;
        value = std::bit_cast<double>(bits);
        return true;
    }

    // A sequence or text length, refused unless the bytes left can hold that many elements of
    // at least `min_element` bytes each.
    bool read_count(std::size_t& count, std::size_t min_element, std::string_view noun) {
        const std::size_t start = pos_;
        std::uint64_t n = 0;
        if (!read_varint(n)) return false;
        if (n > file_left() / min_element) {
            return fail(start, concat({noun, " count ", std::to_string(n), " exceeds the ",
                                       bytes_text(file_left()), " left",
                                       min_element > 1 ? " (each element takes at least " : "",
                                       min_element > 1 ? bytes_text(min_element) : "",
                                       min_element > 1 ? ")" : ""}));
        }
        count = static_cast<std::size_t>(n);
        // A file that ends before this many elements is refused here, whatever follows.
        required_end_ =
            std::max(required_end_, saturating_sum(pos_, saturating_product(count, min_element)));
        return true;
    }

    bool read_text(std::string& value) {
        const std::size_t start = pos_;
        std::size_t count = 0;
        if (!read_count(count, 1, "byte")) return false;
        if (count > left()) return run_out(count - left());
        const std::string_view text(reinterpret_cast<const char*>(in_.data() + pos_), count);
        if (!utf8::is_valid(text)) return fail(start, "text is not valid UTF-8");
        value.assign(text);
        pos_ += count;
        return true;
    }

    // The fast path for the millions of samples of an arbitrary signal: takes a shortest-form
    // varint of at most 16 bits when three bytes are at hand, with no per-byte bounds checks.
    // Anything else is left to the general reader, which also names the error.
    bool read_well_formed_sample(std::int16_t& sample) noexcept {
        if (left() < 3) return false;
        const std::uint8_t* p = in_.data() + pos_;
        std::uint32_t z = 0;
        std::size_t length = 0;
        if (p[0] < 0x80) {
            z = p[0];
            length = 1;
        } else if (p[1] >= 0x01 && p[1] < 0x80) {
            z = (p[0] & 0x7Fu) | (std::uint32_t{p[1]} << 7);
            length = 2;
        } else if (p[1] >= 0x80 && p[2] >= 0x01 && p[2] <= 0x03) {
            z = (p[0] & 0x7Fu) | ((p[1] & 0x7Fu) << 7) | (std::uint32_t{p[2]} << 14);
            length = 3;
        } else {
            return false;
        }
        sample = unzigzag16(static_cast<std::uint16_t>(z));
        pos_ += length;
        return true;
    }

    bool read_samples(SampleVector& samples) {
        const std::size_t list = lists_++;
        std::size_t count = 0;
        if (!read_count(count, 1, "element")) return false;
        if (prefix_) return check_sample_values(count);
        if (deferred_ != nullptr && count >= min_deferred_samples) {
            const std::size_t end = scanner_(in_.data(), in_.size(), pos_, count);
            if (end != not_accepted) {
                deferred_->push_back(SampleRun{list, pos_, count});
                pos_ = end;
                return true;
            }
        }
        samples.resize(count);
        return read_sample_values(samples.data(), count);
    }

    // The prefix check's way through a sample list, keeping no sample: the vector scan over as
    // many samples as surely lie within the input (each takes at most three bytes), again and
    // again on what is left, then sample by sample, to name the error or count what is missing.
    // Only the list the input ends in takes more than one scan, and those scans shrink.
    bool check_sample_values(std::size_t count) {
        std::size_t done = 0;
        for (;;) {
            const std::size_t within = std::min(count - done, left() / 3);
            if (within == 0) break;
            const std::size_t end = scanner_(in_.data(), in_.size(), pos_, within);
            if (end == not_accepted) break;
            pos_ = end;
            done += within;
        }
        for (std::size_t i = done; i < count; ++i) {
            std::int16_t sample = 0;
            if (read_well_formed_sample(sample)) continue;
            set_index(i);
            const std::size_t start = pos_;
            const std::size_t after = count - 1 - i;
            owed_ = saturating_sum(owed_, after);
            std::uint64_t z = 0;
            const bool read = read_varint(z);
            owed_ -= after;
            if (!read) return false;
            if (z > 0xFFFF) {
                return fail(start,
                            concat({"zig-zag value ", std::to_string(z), " exceeds 16 bits"}));
            }
        }
        return true;
    }

    bool read_sample_values(std::int16_t* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
#ifdef PROTOCOLS_SAMPLE_BLOCKS
            if (sample_blocks_ && count - i >= 8) {
                i += read_sample_blocks(in_.data(), in_.size(), pos_, samples + i, count - i);
                if (i == count) break;
            }
#endif
            if (read_well_formed_sample(samples[i])) continue;
            set_index(i);
            const std::size_t start = pos_;
            std::uint64_t z = 0;
            if (!read_varint(z)) return false;
            if (z > 0xFFFF) {
                return fail(start,
                            concat({"zig-zag value ", std::to_string(z), " exceeds 16 bits"}));
            }
            samples[i] = unzigzag16(static_cast<std::uint16_t>(z));
        }
        return true;
    }

    bool read_signal(Signal& signal) {
        const std::size_t start = pos_;
        std::uint64_t kind = 0;
        if (!read_varint(kind)) return false;
        if (kind >= std::variant_size_v<Signal>) {
            return fail(start, concat({"signal kind ", std::to_string(kind), " is not one of 0..",
                                       std::to_string(std::variant_size_v<Signal> - 1)}));
        }
        emplace_kind(signal, static_cast<std::size_t>(kind),
                     std::make_index_sequence<std::variant_size_v<Signal>>{});
        std::visit([this](auto& params) { read(params); }, signal);
        return !error_;
    }

    std::span<const std::uint8_t> in_;
    [[maybe_unused]] bool sample_blocks_;
    std::size_t size_;     // of the whole file
    bool prefix_ = false;  // see check_prefix_of
    bool ran_out_ = false;
    std::size_t needed_ = 0;
    std::size_t owed_ = 0;  // the fewest bytes the lists being read still need after this item
    std::size_t required_end_ = 0;
    std::vector<SampleRun>* deferred_ = nullptr;
    SampleScanner scanner_ = nullptr;
    std::size_t lists_ = 0;  // sample lists met so far
    std::size_t pos_ = 0;
    std::array<Segment, 8> path_{};
    std::size_t depth_ = 0;
    std::optional<DecodeError> error_;
};

}  // namespace

std::string DecodeError::to_string() const {
    return concat({"offset ", std::to_string(offset), ": ", path, path.empty() ? "" : ": ",
                   message});
}

namespace {

bool use_sample_blocks() {
#ifdef PROTOCOLS_SAMPLE_BLOCKS
    return has_ssse3();
#else
    return false;
#endif
}

// The whole record through `decoder`; the error if it is refused.
std::optional<DecodeError> decode_into(Decoder& decoder, Settings& settings, std::size_t size) {
    decoder.read(settings);
    if (decoder.error().has_value()) return std::move(decoder.error());
    const std::size_t end = decoder.position();
    if (end != size) {
        return DecodeError{
            end, "", concat({bytes_text(size - end), " left over after the settings record"})};
    }
    return std::nullopt;
}

DecodeResult decode(std::span<const std::uint8_t> bytes, bool sample_blocks) {
    Decoder decoder(bytes, sample_blocks);
    Settings settings;
    if (std::optional<DecodeError> failed = decode_into(decoder, settings, bytes.size())) {
        return std::move(*failed);
    }
    return settings;
}

// Visits the sample lists of a record in field order, the order the decoder meets them in.
template <class Visit>
class SampleLists {
public:
    explicit SampleLists(Visit& visit) : visit_(visit) {}

    template <class T>
    void operator()(std::string_view, T& field) {
        walk(field);
    }

    template <class T>
    void walk(T& value) {
        if constexpr (std::is_same_v<T, SampleVector>) {
            visit_(value);
        } else if constexpr (IsVector<T>::value) {
            for (auto& item : value) walk(item);
        } else if constexpr (std::is_same_v<T, Signal>) {
            std::visit([&](auto& params) { walk(params); }, value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        }
    }

private:
    Visit& visit_;
};

}  // namespace

DecodeResult decode_settings(std::span<const std::uint8_t> bytes) {
    return decode(bytes, use_sample_blocks());
}

DeferredResult decode_settings_deferred(std::span<const std::uint8_t> bytes, SampleScan scan) {
    Decoder decoder(bytes, use_sample_blocks());
    DeferredSettings result;
    decoder.defer_samples(&result.runs, sample_scanner(scan));
    if (std::optional<DecodeError> failed = decode_into(decoder, result.settings, bytes.size())) {
        return std::move(*failed);
    }
    return result;
}

void decode_deferred_samples(Settings& settings, std::span<const std::uint8_t> bytes,
                             const std::vector<SampleRun>& runs, const InputDone& done) {
    // The memory of every list first: running out of it leaves the input untouched.
    std::vector<SampleVector*> lists;
    auto collect = [&lists](SampleVector& samples) { lists.push_back(&samples); };
    SampleLists<decltype(collect)> walker(collect);
    walker.walk(settings);
    for (const SampleRun& run : runs) {
        if (run.list >= lists.size())
            throw std::invalid_argument("sample lists not in this record");
        lists[run.list]->resize(run.count);
    }
    // In steps, so that `done` can let go of the input behind as the samples grow.
    constexpr std::size_t step = std::size_t{1} << 18;
    Decoder decoder(bytes, use_sample_blocks());
    for (const SampleRun& run : runs) {
        std::int16_t* out = lists[run.list]->data();
        for (std::size_t first = 0; first < run.count; first += step) {
            const std::size_t n = std::min(step, run.count - first);
            const std::size_t from = first == 0 ? run.offset : decoder.position();
            if (!decoder.read_validated_samples(from, out + first, n)) {
                throw std::invalid_argument("sample list not validated in these bytes");
            }
            if (done) done(run.offset, decoder.position());
        }
    }
}

std::optional<std::size_t> sample_list_end(std::span<const std::uint8_t> bytes, std::size_t start,
                                           std::size_t count, SampleScan scan) {
    if (start > bytes.size()) return std::nullopt;
    if (count == 0) return start;
    const std::size_t end = sample_scanner(scan)(bytes.data(), bytes.size(), start, count);
    if (end == not_accepted) return std::nullopt;
    return end;
}

DecodeResult decode_settings_per_sample(std::span<const std::uint8_t> bytes) {
    return decode(bytes, false);
}

PrefixStatus check_prefix(std::span<const std::uint8_t> bytes, std::size_t file_size) {
    if (file_size < bytes.size()) throw std::invalid_argument("more bytes than the file holds");
    Decoder decoder(bytes, use_sample_blocks());
    decoder.check_prefix_of(file_size);
    Settings scratch;
    decoder.read(scratch);
    PrefixStatus status;
    status.required_end = decoder.required_end();
    if (decoder.ran_out()) {
        status.needed = std::max<std::size_t>(decoder.needed(), 1);
        return status;
    }
    if (std::optional<DecodeError>& refused = decoder.error(); refused.has_value()) {
        status.state = PrefixStatus::State::refused;
        status.error = std::move(*refused);
        return status;
    }
    status.end = decoder.position();
    const std::size_t size = file_size == unknown_file_size ? bytes.size() : file_size;
    if (status.end != size) {
        status.state = PrefixStatus::State::refused;
        status.error = DecodeError{status.end, "",
                                   concat({bytes_text(size - status.end),
                                           " left over after the settings record"})};
        return status;
    }
    status.state = PrefixStatus::State::complete;
    return status;
}

namespace {

// Fills `room` bytes at `into` unless the input ends first; returns how many it got.
std::size_t read_fully(const ReadSome& read, std::uint8_t* into, std::size_t room) {
    std::size_t got = 0;
    while (got < room) {
        const std::size_t n = read(into + got, room - got);
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace

std::optional<DecodeError> read_record(ByteVector& bytes, std::size_t file_size,
                                       const ReadSome& read, const CheckPrefix& check) {
    // The first piece is the smallest record there is, so that an input of one such record and
    // more (/dev/zero) is refused one byte past it. Each later piece is as large as what was
    // read before (every check walks the input from its start again, so their number must stay
    // small: doubling keeps the walks within twice the file), up to a bound on what can be read
    // past the record's end, unless the record is known to need more.
    const std::size_t first_piece = min_encoded_size<Settings>();
    constexpr std::size_t small_piece = std::size_t{1} << 12;
    constexpr std::size_t largest_piece = std::size_t{1} << 26;
    bytes.clear();
    std::size_t total = file_size;  // known once the input has ended
    bool reserved = false;
    for (;;) {
        PrefixStatus status = check ? check(bytes, total) : check_prefix(bytes, total);
        if (status.state == PrefixStatus::State::refused) {
            if (total == unknown_file_size && status.required_end > bytes.size()) {
                // A count before the refusal asks for bytes that may never come: then that
                // count is what a reader of the whole input refuses. The input is counted, not
                // kept.
                std::size_t size = bytes.size();
                std::uint8_t scratch[1 << 14];
                while (size < status.required_end) {
                    const std::size_t n =
                        read(scratch, std::min(sizeof scratch, status.required_end - size));
                    if (n == 0) break;
                    size += n;
                }
                if (size < status.required_end) {
                    PrefixStatus whole = check ? check(bytes, size) : check_prefix(bytes, size);
                    if (whole.state == PrefixStatus::State::refused) return std::move(whole.error);
                }
            }
            return std::move(status.error);
        }
        if (status.state == PrefixStatus::State::complete) {
            std::uint8_t extra = 0;  // one byte more shows whether the input goes on
            if (read(&extra, 1) == 0) return std::nullopt;
            return DecodeError{status.end, "",
                               concat({bytes_text(bytes.size() + 1 - status.end),
                                       " left over after the settings record"})};
        }
        std::size_t want =
            bytes.empty()
                ? first_piece
                : std::max(status.needed, std::clamp(bytes.size(), small_piece, largest_piece));
        if (total != unknown_file_size) {
            want = std::min(want, total - bytes.size());
            if (!reserved && !bytes.empty()) {
                // A file of known size is read into room for exactly that size, taken once its
                // first piece looks like a record: untouched, that room costs no memory.
                reserved = true;
                try {
                    bytes.reserve(total);
                } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): grows instead
                }
            }
        }
        const std::size_t old = bytes.size();
        bytes.resize(old + want);
        const std::size_t got = read_fully(read, bytes.data() + old, want);
        bytes.resize(old + got);
        if (got < want) total = bytes.size();
    }
}

}  // namespace protocols
