// The protocol file encoder: one generic visitor over the record field declarations, writing
// straight into the caller's buffer, or into pieces handed over as they fill, or only counting.
#include "protocols/encoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include "protocols/cpu.hpp"

// On x86-64, the sample loops have a second build for AVX2, chosen at run time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PROTOCOLS_AVX2_CLONE 1
#define SAMPLES_INLINE inline __attribute__((always_inline))
#include <immintrin.h>
#else
#define SAMPLES_INLINE inline
#endif

namespace protocols {
namespace {

// Makes room for `extra` more bytes. Growth is geometric so that a long run of small appends
// costs amortised constant time per byte; a too-large request is reported as exhausted memory,
// since that is the only failure the callers are prepared for.
void reserve_for_append(ByteBuffer& out, std::size_t extra) {
    const std::size_t size = out.size();
    if (extra <= out.capacity() - size) return;
    const std::size_t limit = out.max_size();
    if (extra > limit - size) throw std::bad_alloc();
    const std::size_t needed = size + extra;
    const std::size_t doubled = out.capacity() > limit / 2 ? limit : 2 * out.capacity();
    out.reserve(std::max({std::size_t{8}, doubled, needed}));
}

void append_bytes(ByteBuffer& out, const std::uint8_t* bytes, std::size_t count) {
    reserve_for_append(out, count);
    out.insert(out.end(), bytes, bytes + count);
}

constexpr std::size_t max_varint_bytes = 10;

// Writes the LEB128 form of `value` to `dst` and returns the number of bytes written.
std::size_t put_varint(std::uint8_t* dst, std::uint64_t value) noexcept {
    std::size_t n = 0;
    while (value >= 0x80) {
        dst[n++] = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    dst[n++] = static_cast<std::uint8_t>(value);
    return n;
}

// Bytes taken by shifting the bit pattern, not by copying memory, so the order is least
// significant first on hosts of either endianness.
std::array<std::uint8_t, 8> f64_bytes(double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::array<std::uint8_t, 8> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return bytes;
}

// Worst case of one sample: a 16-bit zig-zag value needs three 7-bit groups.
constexpr std::size_t max_sample_bytes = 3;
// A run of samples may store this many bytes beyond the end of its codes (whole vector stores).
constexpr std::size_t sample_overrun = 16;
// The room a run of `count` samples needs.
constexpr std::size_t sample_room(std::size_t count) {
    return count * max_sample_bytes + sample_overrun;
}

// The encoding of every 16-bit sample, indexed by its bit pattern: the varint bytes, padded to
// three, then their count. Built once, on the first encoding with samples (256 KiB).
class SampleCodes {
public:
    using Code = std::array<std::uint8_t, 4>;

    SampleCodes() noexcept {
        for (std::size_t bits = 0; bits < codes_.size(); ++bits) {
            const auto sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits));
            Code& code = codes_[bits];
            code = {};
            code[3] = static_cast<std::uint8_t>(put_varint(code.data(), zigzag16(sample)));
        }
    }

    const Code& operator[](std::int16_t sample) const noexcept {
        return codes_[static_cast<std::uint16_t>(sample)];
    }

private:
    std::array<Code, 65536> codes_;
};

const SampleCodes& sample_codes() {
    static const SampleCodes codes;
    return codes;
}

// Writes the codes of `count` samples from `dst` on and returns the end. Millions of samples are
// common, so the loop must not test for room per sample: the caller provides room for the worst
// case, `sample_room(count)`. Every sample stores all four bytes of its code and the pointer
// moves by the true length, so the next sample overwrites the padding. A table lookup instead
// of computing the groups halves the time per sample, and no branch depends on the data.
std::uint8_t* put_samples_table(std::uint8_t* dst, const std::int16_t* samples,
                                std::size_t count) noexcept {
    const SampleCodes& codes = sample_codes();
    for (std::size_t i = 0; i < count; ++i) {
        const SampleCodes::Code& code = codes[samples[i]];
        std::memcpy(dst, code.data(), code.size());
        dst += code[3];
    }
    return dst;
}

#ifdef PROTOCOLS_AVX2_CLONE
// With AVX2, eight samples at a time: each is widened to a 32-bit lane holding its three
// candidate bytes with their continuation bits, and each half of four lanes is packed by one
// byte shuffle chosen by which lanes need a second and a third byte. About three times faster
// than the table, so that the encoding stays well ahead of the disk.
class PackShuffles {
public:
    // Index: bit i set where lane i needs two bytes or more; bit 4 + i where it needs three.
    PackShuffles() noexcept {
        for (unsigned index = 0; index < 256; ++index) {
            std::uint8_t at = 0;
            masks_[index].fill(0x80);
            for (unsigned lane = 0; lane < 4; ++lane) {
                const unsigned length =
                    1 + ((index >> lane) & 1u) + (((index >> lane) & (index >> (4 + lane))) & 1u);
                for (unsigned byte = 0; byte < length; ++byte) {
                    masks_[index][at++] = static_cast<std::uint8_t>(4 * lane + byte);
                }
            }
            lengths_[index] = at;
        }
    }
    const std::uint8_t* mask(unsigned index) const noexcept { return masks_[index].data(); }
    std::size_t length(unsigned index) const noexcept { return lengths_[index]; }

private:
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> masks_;
    std::array<std::uint8_t, 256> lengths_;
};

__attribute__((target("avx2"))) std::uint8_t* put_samples_avx2(std::uint8_t* dst,
                                                               const std::int16_t* samples,
                                                               std::size_t count) noexcept {
    static const PackShuffles shuffles;
    const __m256i low7 = _mm256_set1_epi32(0x7F);
    const __m256i mid7 = _mm256_set1_epi32(0x7F00);
    const __m256i top2 = _mm256_set1_epi32(0x30000);
    const __m256i one_byte_max = _mm256_set1_epi32(0x7F);
    const __m256i two_bytes_max = _mm256_set1_epi32(0x3FFF);
    const __m256i more1 = _mm256_set1_epi32(0x80);
    const __m256i more2 = _mm256_set1_epi32(0x8000);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        const __m128i z16 = _mm_xor_si128(_mm_slli_epi16(s, 1), _mm_srai_epi16(s, 15));
        const __m256i z = _mm256_cvtepu16_epi32(z16);
        const __m256i two = _mm256_cmpgt_epi32(z, one_byte_max);
        const __m256i three = _mm256_cmpgt_epi32(z, two_bytes_max);
        __m256i lanes = _mm256_and_si256(z, low7);
        lanes = _mm256_or_si256(lanes, _mm256_and_si256(_mm256_slli_epi32(z, 1), mid7));
        lanes = _mm256_or_si256(lanes, _mm256_and_si256(_mm256_slli_epi32(z, 2), top2));
        lanes = _mm256_or_si256(lanes, _mm256_and_si256(two, more1));
        lanes = _mm256_or_si256(lanes, _mm256_and_si256(three, more2));
        const auto two_bits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(two)));
        const auto three_bits =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(three)));
        const unsigned first = (two_bits & 0xFu) | ((three_bits & 0xFu) << 4);
        const unsigned second = (two_bits >> 4) | (three_bits & 0xF0u);
        const __m128i packed_first = _mm_shuffle_epi8(
            _mm256_castsi256_si128(lanes),
            _mm_load_si128(reinterpret_cast<const __m128i*>(shuffles.mask(first))));
        const __m128i packed_second = _mm_shuffle_epi8(
            _mm256_extracti128_si256(lanes, 1),
            _mm_load_si128(reinterpret_cast<const __m128i*>(shuffles.mask(second))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), packed_first);
        dst += shuffles.length(first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), packed_second);
        dst += shuffles.length(second);
    }
    return put_samples_table(dst, samples + i, count - i);
}
#endif

#ifdef PROTOCOLS_AVX2_CLONE
// With AVX-512 and its byte compression, sixteen samples at a time: the lanes are built as in
// the AVX2 build, and one compression keeps the bytes each sample needs, in order, without a
// table. A step writes 64 bytes of which at most 48 are codes: within the room of a run, since
// sixteen more samples follow, each with room for three bytes, plus the overrun of sixteen.
__attribute__((target("avx2,avx512f,avx512bw,avx512vbmi2,popcnt"))) std::uint8_t*
put_samples_avx512(std::uint8_t* dst, const std::int16_t* samples, std::size_t count) noexcept {
    const __m512i low7 = _mm512_set1_epi32(0x7F);
    const __m512i mid7 = _mm512_set1_epi32(0x7F00);
    const __m512i top2 = _mm512_set1_epi32(0x30000);
    const __m512i one_byte_max = _mm512_set1_epi32(0x7F);
    const __m512i two_bytes_max = _mm512_set1_epi32(0x3FFF);
    const __m512i more1 = _mm512_set1_epi32(0x80);
    const __m512i more2 = _mm512_set1_epi32(0x8000);
    const __m512i keep1 = _mm512_set1_epi32(0x01);
    const __m512i keep2 = _mm512_set1_epi32(0x0101);
    const __m512i keep3 = _mm512_set1_epi32(0x010101);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i));
        const __m256i z16 = _mm256_xor_si256(_mm256_slli_epi16(s, 1), _mm256_srai_epi16(s, 15));
        // The masked forms with a zero source: the plain ones leave GCC 12 reporting their
        // undefined source as maybe uninitialised.
        const __m512i z = _mm512_maskz_cvtepu16_epi32(0xFFFF, z16);
        const __mmask16 two = _mm512_cmpgt_epu32_mask(z, one_byte_max);
        const __mmask16 three = _mm512_cmpgt_epu32_mask(z, two_bytes_max);
        __m512i lanes = _mm512_and_si512(z, low7);
        lanes =
            _mm512_or_si512(lanes, _mm512_and_si512(_mm512_maskz_slli_epi32(0xFFFF, z, 1), mid7));
        lanes =
            _mm512_or_si512(lanes, _mm512_and_si512(_mm512_maskz_slli_epi32(0xFFFF, z, 2), top2));
        lanes = _mm512_mask_or_epi32(lanes, two, lanes, more1);
        lanes = _mm512_mask_or_epi32(lanes, three, lanes, more2);
        // One bit per byte to keep: the first of every lane, the second and third where needed.
        __m512i keep = _mm512_mask_mov_epi32(keep1, two, keep2);
        keep = _mm512_mask_mov_epi32(keep, three, keep3);
        const __mmask64 kept = _mm512_test_epi8_mask(keep, keep);
        _mm512_storeu_si512(dst, _mm512_maskz_compress_epi8(kept, lanes));
        dst += _mm_popcnt_u64(kept);
    }
    return put_samples_avx2(dst, samples + i, count - i);
}
#endif

std::uint8_t* put_samples(std::uint8_t* dst, const std::int16_t* samples, std::size_t count,
                          SamplePacking packing = SamplePacking::best) noexcept {
#ifdef PROTOCOLS_AVX2_CLONE
    const bool best = packing == SamplePacking::best;
    if ((best || packing == SamplePacking::avx512) && has_avx512vbmi2()) {
        return put_samples_avx512(dst, samples, count);
    }
    if ((best || packing == SamplePacking::avx2) && has_avx2()) {
        return put_samples_avx2(dst, samples, count);
    }
#else
    (void)packing;
#endif
    return put_samples_table(dst, samples, count);
}

// One byte per sample, one more from a zig-zag value of 128 on, another from 16384 on: two
// comparisons per sample that the compiler turns into vector code, ten times faster than
// producing the codes. Counted in blocks whose sum fits 16 bits, so that the vector code keeps
// eight (sixteen with AVX2) samples per register.
SAMPLES_INLINE std::uint64_t count_sample_bytes_body(const std::int16_t* samples,
                                                     std::size_t count) noexcept {
    std::uint64_t total = count;
    constexpr std::size_t block = 32767;
    for (std::size_t start = 0; start < count; start += block) {
        const std::size_t end = std::min(count, start + block);
        std::uint16_t longer = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint16_t z = zigzag16(samples[i]);
            longer = static_cast<std::uint16_t>(longer + (z >= 0x80) + (z >= 0x4000));
        }
        total += longer;
    }
    return total;
}

#ifdef PROTOCOLS_AVX2_CLONE
__attribute__((target("avx2"))) std::uint64_t count_sample_bytes_avx2(const std::int16_t* samples,
                                                                      std::size_t count) noexcept {
    return count_sample_bytes_body(samples, count);
}

__attribute__((target("avx512f,avx512bw"))) std::uint64_t count_sample_bytes_avx512(
    const std::int16_t* samples, std::size_t count) noexcept {
    return count_sample_bytes_body(samples, count);
}
#endif

std::uint64_t count_sample_bytes(const std::int16_t* samples, std::size_t count,
                                 SamplePacking packing = SamplePacking::best) noexcept {
#ifdef PROTOCOLS_AVX2_CLONE
    const bool best = packing == SamplePacking::best;
    if ((best || packing == SamplePacking::avx512) && has_avx512vbmi2()) {
        return count_sample_bytes_avx512(samples, count);
    }
    if ((best || packing == SamplePacking::avx2) && has_avx2()) {
        return count_sample_bytes_avx2(samples, count);
    }
#else
    (void)packing;
#endif
    return count_sample_bytes_body(samples, count);
}

// Appends to a growing buffer.
class BufferSink {
public:
    explicit BufferSink(ByteBuffer& out) noexcept : out_(out) {}

    void bytes(const std::uint8_t* data, std::size_t count) { append_bytes(out_, data, count); }

    // Sized for the worst case once, written through a pointer, then cut to what was used.
    void samples(const std::int16_t* samples, std::size_t count) {
        if (count > (out_.max_size() - sample_overrun) / max_sample_bytes) throw std::bad_alloc();
        const std::size_t start = out_.size();
        const std::size_t worst = sample_room(count);
        reserve_for_append(out_, worst);
        out_.resize(start + worst);  // within capacity: cannot throw
        std::uint8_t* end = put_samples(out_.data() + start, samples, count);
        out_.resize(static_cast<std::size_t>(end - out_.data()));
    }

private:
    ByteBuffer& out_;
};

// Only counts.
class SizeSink {
public:
    void bytes(const std::uint8_t* /*data*/, std::size_t count) noexcept { size_ += count; }

    void samples(const std::int16_t* samples, std::size_t count) noexcept {
        size_ += count_sample_bytes(samples, count);
    }

    std::uint64_t size() const noexcept { return size_; }

private:
    std::uint64_t size_ = 0;
};

// Collects the bytes in a buffer of one piece plus a little slack and hands over every complete
// piece at once. Allocates only its buffer, before the first byte.
class PieceSink {
public:
    PieceSink(std::size_t piece_size, ChunkSink& out)
        : piece_(piece_size),
          buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(piece_size + slack)),
          out_(out) {}

    void bytes(const std::uint8_t* data, std::size_t count) {
        while (count > 0 && !stopped_) {
            const std::size_t n = std::min(count, piece_ - used_);
            std::memcpy(buffer_.get() + used_, data, n);
            used_ += n;
            data += n;
            count -= n;
            hand_over_complete();
        }
    }

    // The room left always takes a block of at least five samples at their worst, since fewer
    // than `piece_` bytes are held between calls.
    void samples(const std::int16_t* samples, std::size_t count) {
        while (count > 0 && !stopped_) {
            const std::size_t room = piece_ + slack - used_;
            const std::size_t n = std::min(count, (room - sample_overrun) / max_sample_bytes);
            used_ = static_cast<std::size_t>(put_samples(buffer_.get() + used_, samples, n) -
                                             buffer_.get());
            samples += n;
            count -= n;
            hand_over_complete();
        }
    }

    // Hands over the rest; false when the receiver stopped the encoding.
    bool finish() {
        if (!stopped_ && used_ > 0) stopped_ = !out_.take(std::span(buffer_.get(), used_));
        used_ = 0;
        return !stopped_;
    }

private:
    static constexpr std::size_t slack = sample_room(5);  // a block of five samples at worst

    void hand_over_complete() {
        std::size_t start = 0;
        while (used_ - start >= piece_ && !stopped_) {
            stopped_ = !out_.take(std::span(buffer_.get() + start, piece_));
            start += piece_;
        }
        // Nothing handed over: nothing moves. Not every memmove returns at once when source
        // and destination are the same, and this runs after every field.
        if (stopped_ || start == 0) return;
        std::memmove(buffer_.get(), buffer_.get() + start, used_ - start);
        used_ -= start;
    }

    std::size_t piece_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    ChunkSink& out_;
    std::size_t used_ = 0;
    bool stopped_ = false;
};

// The one visitor: which bytes a field becomes depends only on its C++ type; where they go is up
// to the sink (a buffer, pieces handed over as they fill, or only their count).
template <class Sink>
class Encoder {
public:
    explicit Encoder(Sink& out) noexcept : out_(out) {}

    template <class T>
    void operator()(std::string_view /*name*/, const T& field) {
        write(field);
    }

    template <class T>
    void write(const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            const std::uint8_t byte = value ? 1 : 0;
            out_.bytes(&byte, 1);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            write_varint(value);
        } else if constexpr (std::is_same_v<T, double>) {
            const auto bytes = f64_bytes(value);
            out_.bytes(bytes.data(), bytes.size());
        } else if constexpr (std::is_same_v<T, std::string>) {
            write_varint(value.size());
            out_.bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
        } else if constexpr (std::is_same_v<T, SampleVector>) {
            write_varint(value.size());
            if (!value.empty()) out_.samples(value.data(), value.size());
        } else if constexpr (IsVector<T>::value) {
            write_varint(value.size());
            for (const auto& element : value) write(element);
        } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
            std::array<std::uint8_t, 16> bytes;
            std::transform(value.begin(), value.end(), bytes.begin(),
                           [](bool flag) { return static_cast<std::uint8_t>(flag ? 1 : 0); });
            out_.bytes(bytes.data(), bytes.size());
        } else if constexpr (std::is_same_v<T, Signal>) {
            write_varint(value.index());
            std::visit([this](const auto& params) { this->write(params); }, value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else {
            static_assert(sizeof(T) == 0, "a record field of a type the file format lacks");
        }
    }

private:
    void write_varint(std::uint64_t value) {
        std::array<std::uint8_t, max_varint_bytes> scratch;
        out_.bytes(scratch.data(), put_varint(scratch.data(), value));
    }

    Sink& out_;
};

}  // namespace

void append_varint(ByteBuffer& out, std::uint64_t value) {
    std::array<std::uint8_t, max_varint_bytes> scratch;
    append_bytes(out, scratch.data(), put_varint(scratch.data(), value));
}

void append_sample(ByteBuffer& out, std::int16_t sample) { append_varint(out, zigzag16(sample)); }

bool packing_available(SamplePacking packing) noexcept {
    switch (packing) {
        case SamplePacking::best:
        case SamplePacking::table: return true;
#ifdef PROTOCOLS_AVX2_CLONE
        case SamplePacking::avx2: return has_avx2();
        case SamplePacking::avx512: return has_avx512vbmi2();
#else
        case SamplePacking::avx2:
        case SamplePacking::avx512: return false;
#endif
    }
    return false;
}

void append_samples(ByteBuffer& out, std::span<const std::int16_t> samples, SamplePacking packing) {
    const std::size_t start = out.size();
    out.resize(start + sample_room(samples.size()));
    std::uint8_t* end = put_samples(out.data() + start, samples.data(), samples.size(), packing);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::uint64_t sample_bytes(std::span<const std::int16_t> samples, SamplePacking packing) {
    return count_sample_bytes(samples.data(), samples.size(), packing);
}

void append_f64(ByteBuffer& out, double value) {
    const auto bytes = f64_bytes(value);
    append_bytes(out, bytes.data(), bytes.size());
}

void encode_settings(const Settings& settings, ByteBuffer& out) {
    // Growth only ever appends, so cutting back to the original length restores what the
    // caller gave us if memory runs out part-way.
    const std::size_t original_size = out.size();
    try {
        BufferSink sink(out);
        Encoder<BufferSink>(sink).write(settings);
    } catch (const std::bad_alloc&) {
        out.resize(original_size);
        throw;
    }
}

std::uint64_t encoded_size(const Settings& settings) {
    SizeSink sink;
    Encoder<SizeSink>(sink).write(settings);
    return sink.size();
}

bool encode_settings(const Settings& settings, std::size_t piece_size, ChunkSink& out) {
    if (piece_size == 0) throw std::invalid_argument("encode_settings: piece size 0");
    if (piece_size > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    PieceSink sink(piece_size, out);
    Encoder<PieceSink>(sink).write(settings);
    return sink.finish();
}

}  // namespace protocols
