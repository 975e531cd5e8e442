// The protocol file encoding: one Settings record, fields in declared order, no header.
//
// Primitive kinds: booleans as one byte 00/01; unsigned integers as LEB128 varints; 64-bit
// floats as their eight bytes, least significant first; samples zig-zag mapped to 16 bits, then
// as varints; sequences and text as a varint element count followed by the elements; the fixed
// array of 16 monitor flags without a count; a signal as its variant index (varint) followed by
// its parameter record.
#pragma once

#include <cstdint>
#include <vector>

#include "protocols/settings.hpp"

namespace protocols {

using ByteBuffer = std::vector<std::uint8_t>;

// Appends the complete file contents for `settings` to `out`. Never fails short of running out
// of memory (std::bad_alloc), and then leaves `out` as it was given.
void encode_settings(const Settings& settings, ByteBuffer& out);

// The primitive encodings, exposed for tests and for the decoder's mirror image.
void append_varint(ByteBuffer& out, std::uint64_t value);
void append_sample(ByteBuffer& out, std::int16_t sample);
void append_f64(ByteBuffer& out, double value);

constexpr std::uint16_t zigzag16(std::int16_t s) noexcept {
    return static_cast<std::uint16_t>((static_cast<std::uint16_t>(s) << 1) ^
                                      static_cast<std::uint16_t>(s >> 15));
}
constexpr std::int16_t unzigzag16(std::uint16_t z) noexcept {
    return static_cast<std::int16_t>((z >> 1) ^ static_cast<std::uint16_t>(-(z & 1)));
}

}  // namespace protocols
