// Reading a protocol file back into a Settings record: the exact mirror image of the encoder,
// and strict, so that whatever it accepts encodes again to the very same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

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

// Decoding in two steps, for a reader that holds the whole file anyway and may never look at
// the millions of samples of a long arbitrary signal: the first step decodes everything else
// and only validates the sample lists (a vector scan, several times faster than decoding
// them), leaving them empty; the second fills them from the same bytes when they are needed.
// The first step accepts and refuses exactly what decode_settings does, with the same error.

// Where the samples of one sample list lie in the input.
struct SampleRun {
    std::size_t list = 0;    // which sample list of the record, counted in field order from 0
    std::size_t offset = 0;  // where its first sample begins
    std::size_t count = 0;   // how many samples it holds
};

// Shorter lists are decoded at once: deferring them saves nothing, and a record of where each
// lies could outweigh them.
inline constexpr std::size_t min_deferred_samples = 64;

struct DeferredSettings {
    Settings settings;            // with the sample lists named by `runs` left empty
    std::vector<SampleRun> runs;  // in field order
};

using DeferredResult = std::variant<DeferredSettings, DecodeError>;

// How the sample lists are validated: `best` picks the widest vector scan that the processor
// has; the others are for comparing them. A vector scan the processor lacks falls back on
// `vector128` on x86-64 (which always has it) and on `portable` elsewhere.
enum class SampleScan { best, portable, vector128, vector256, vector512 };

DeferredResult decode_settings_deferred(std::span<const std::uint8_t> bytes,
                                        SampleScan scan = SampleScan::best);

// The scan on its own: where the list of `count` samples that begins at `start` ends, when the
// decoder would accept every sample of it; nullopt when it would refuse one or the bytes end
// first.
std::optional<std::size_t> sample_list_end(std::span<const std::uint8_t> bytes, std::size_t start,
                                           std::size_t count, SampleScan scan = SampleScan::best);

// Told, as decoding proceeds, that the input bytes from `begin` to `end` have been decoded and
// are not read again (the caller may release them; see release_pages).
using InputDone = std::function<void(std::size_t begin, std::size_t end)>;

// Fills the sample lists of `settings` that `runs` names from `bytes`, the input that
// decode_settings_deferred validated. Throws std::bad_alloc (before reading any sample, so
// before `done` is first called), or std::invalid_argument when the bytes or runs are not the
// ones validated.
void decode_deferred_samples(Settings& settings, std::span<const std::uint8_t> bytes,
                             const std::vector<SampleRun>& runs, const InputDone& done = {});

}  // namespace protocols
