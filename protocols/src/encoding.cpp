// The protocol file encoder: one generic visitor over the record field declarations, writing
// straight into the caller's buffer.
#include "protocols/encoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <variant>

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

// Worst case of one sample: a 16-bit zig-zag value needs three 7-bit groups.
constexpr std::size_t max_sample_bytes = 3;

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

void append_samples(ByteBuffer& out, const SampleVector& samples) {
    append_varint(out, samples.size());
    if (samples.empty()) return;
    static const SampleCodes codes;
    // Millions of samples are common, so the loop must not test for room per sample: size the
    // buffer for the worst case once, write through a pointer, then give back what was unused.
    // Every sample stores all four bytes of its code and the pointer moves by the true length,
    // so the next sample overwrites the padding; the one byte beyond the worst case takes the
    // last sample's count. A table lookup instead of computing the groups halves the time per
    // sample, and no branch depends on the data.
    if (samples.size() > (out.max_size() - 1) / max_sample_bytes) throw std::bad_alloc();
    const std::size_t start = out.size();
    const std::size_t worst = samples.size() * max_sample_bytes + 1;
    reserve_for_append(out, worst);
    out.resize(start + worst);  // within capacity: cannot throw
    std::uint8_t* p = out.data() + start;
    for (const std::int16_t s : samples) {
        const SampleCodes::Code& code = codes[s];
        std::memcpy(p, code.data(), code.size());
        p += code[3];
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

// The one visitor: which bytes a field becomes depends only on its C++ type.
class Encoder {
public:
    explicit Encoder(ByteBuffer& out) noexcept : out_(out) {}

    template <class T>
    void operator()(std::string_view /*name*/, const T& field) {
        write(field);
    }

    template <class T>
    void write(const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            const std::uint8_t byte = value ? 1 : 0;
            append_bytes(out_, &byte, 1);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            append_varint(out_, value);
        } else if constexpr (std::is_same_v<T, double>) {
            append_f64(out_, value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            append_varint(out_, value.size());
            append_bytes(out_, reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
        } else if constexpr (std::is_same_v<T, SampleVector>) {
            append_samples(out_, value);
        } else if constexpr (IsVector<T>::value) {
            append_varint(out_, value.size());
            for (const auto& element : value) write(element);
        } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
            std::array<std::uint8_t, 16> bytes;
            std::transform(value.begin(), value.end(), bytes.begin(),
                           [](bool flag) { return static_cast<std::uint8_t>(flag ? 1 : 0); });
            append_bytes(out_, bytes.data(), bytes.size());
        } else if constexpr (std::is_same_v<T, Signal>) {
            append_varint(out_, value.index());
            std::visit([this](const auto& params) { this->write(params); }, value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else {
            static_assert(sizeof(T) == 0, "a record field of a type the file format lacks");
        }
    }

private:
    ByteBuffer& out_;
};

}  // namespace

void append_varint(ByteBuffer& out, std::uint64_t value) {
    std::array<std::uint8_t, max_varint_bytes> scratch;
    append_bytes(out, scratch.data(), put_varint(scratch.data(), value));
}

void append_sample(ByteBuffer& out, std::int16_t sample) { append_varint(out, zigzag16(sample)); }

void append_f64(ByteBuffer& out, double value) {
    // Bytes taken by shifting the bit pattern, not by copying memory, so the order is least
    // significant first on hosts of either endianness.
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::array<std::uint8_t, 8> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    append_bytes(out, bytes.data(), bytes.size());
}

void encode_settings(const Settings& settings, ByteBuffer& out) {
    // Growth only ever appends, so cutting back to the original length restores what the
    // caller gave us if memory runs out part-way.
    const std::size_t original_size = out.size();
    try {
        Encoder encoder(out);
        encoder.write(settings);
    } catch (const std::bad_alloc&) {
        out.resize(original_size);
        throw;
    }
}

}  // namespace protocols
