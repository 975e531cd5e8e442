// The protocol file encoding: one Settings record, fields in declared order, no header.
//
// Primitive kinds: booleans as one byte 00/01; unsigned integers as LEB128 varints; 64-bit
// floats as their eight bytes, least significant first; samples zig-zag mapped to 16 bits, then
// as varints; sequences and text as a varint element count followed by the elements; the fixed
// array of 16 monitor flags without a count; a signal as its variant index (varint) followed by
// its parameter record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocols/settings.hpp"

namespace protocols {

using ByteBuffer = std::vector<std::uint8_t>;

// Appends the complete file contents for `settings` to `out`. Never fails short of running out
// of memory (std::bad_alloc), and then leaves `out` as it was given.
void encode_settings(const Settings& settings, ByteBuffer& out);

// Receives an encoding piece by piece, in order.
class ChunkSink {
public:
    // Takes the next piece, which is valid during the call only; false stops the encoding.
    virtual bool take(std::span<const std::uint8_t> piece) = 0;

protected:
    ~ChunkSink() = default;
};

// The same bytes as the buffered form, handed to `out` in pieces of exactly `piece_size` bytes
// (the last one may be shorter), each as soon as it is complete, so that a writer can pass on the
// first pieces while the rest is still being encoded. Uses one buffer of about `piece_size` bytes,
// allocated before the first piece (std::bad_alloc); otherwise throws only what `take` throws.
// `piece_size` must be at least 1 (std::invalid_argument). Returns false if `take` refused a piece;
// nothing follows it.
bool encode_settings(const Settings& settings, std::size_t piece_size, ChunkSink& out);

// The exact number of bytes either form produces for `settings`, counted without producing them
// (a small fraction of the encoding's time for samples).
std::uint64_t encoded_size(const Settings& settings);

// The primitive encodings, exposed for tests and for the decoder's mirror image.
void append_varint(ByteBuffer& out, std::uint64_t value);
void append_sample(ByteBuffer& out, std::int16_t sample);
void append_f64(ByteBuffer& out, double value);

// Which build writes (and counts) the codes of a run of samples: `best` takes the widest that
// the processor has; the others exist so that each can be compared with the table on the same
// samples. One the processor lacks falls back on `table` (packing_available tells beforehand).
enum class SamplePacking { best, table, avx2, avx512 };
bool packing_available(SamplePacking packing) noexcept;
// The codes of `samples`, appended to `out` exactly as the encodings above write them, and
// their length, each by `packing`.
void append_samples(ByteBuffer& out, std::span<const std::int16_t> samples,
                    SamplePacking packing = SamplePacking::best);
std::uint64_t sample_bytes(std::span<const std::int16_t> samples,
                           SamplePacking packing = SamplePacking::best);

constexpr std::uint16_t zigzag16(std::int16_t s) noexcept {
    return static_cast<std::uint16_t>((static_cast<std::uint16_t>(s) << 1) ^
                                      static_cast<std::uint16_t>(s >> 15));
}
constexpr std::int16_t unzigzag16(std::uint16_t z) noexcept {
    return static_cast<std::int16_t>((z >> 1) ^ static_cast<std::uint16_t>(-(z & 1)));
}

}  // namespace protocols
