// Reading a protocol file back into a Settings record: the exact mirror image of the encoder,
// and strict, so that whatever it accepts encodes again to the very same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "protocols/settings.hpp"

namespace protocols {

// Why a file was refused.
struct DecodeError {
    std::size_t offset = 0;  // where the item named by `path` begins
    std::string path;        // e.g. "machine_config.coils[0].name"; empty for the file as a whole
    std::string message;

    // "offset 151: signals[0]: signal kind 7 is not one of 0..4"
    std::string to_string() const;

    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

using DecodeResult = std::variant<Settings, DecodeError>;

// Decodes a complete file. Refuses truncated data, trailing bytes, booleans other than 00/01,
// unknown signal kinds, names that are not UTF-8, varints that are over-long, beyond 64 bits or
// not in their shortest form, samples beyond 16 bits, and element counts the remaining bytes
// cannot hold (so no allocation is ever sized by an unchecked count). Throws nothing but
// std::bad_alloc.
DecodeResult decode_settings(std::span<const std::uint8_t> bytes);

// The same decoder with the samples of arbitrary signals read one at a time, never in vector
// blocks: the reference that the block reader is tested against. Same results, slower.
DecodeResult decode_settings_per_sample(std::span<const std::uint8_t> bytes);

}  // namespace protocols
