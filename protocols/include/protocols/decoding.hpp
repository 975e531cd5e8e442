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

// --- Reading a file in pieces -----------------------------------------------------------------
//
// A reader that takes a file in pieces asks after each one how far they go towards a record, so
// that it reads no further than the record can reach: a file of any size pyqelm writes is read
// whole, while /dev/zero, a pipe of garbage or a huge sparse file is refused after the few
// bytes that show what it is.

inline constexpr std::size_t unknown_file_size = static_cast<std::size_t>(-1);

struct PrefixStatus {
    enum class State { incomplete, complete, refused };
    State state = State::incomplete;
    std::size_t end = 0;           // complete: where the record ends
    std::size_t needed = 0;        // incomplete: the fewest bytes more that can complete it
    std::size_t required_end = 0;  // a file shorter than this is refused at a count read so far
    DecodeError error;             // refused
};

// How far `bytes`, the first bytes of a file of `file_size` bytes (unknown_file_size for a
// stream), go towards a record. Keeps nothing of the record and allocates nothing in proportion
// to the input. With a known size every refusal is the one decode_settings gives for the whole
// file: the counts are checked against that size, and a record ending before it has the rest
// left over; when `bytes` is the whole file, it is complete exactly when decode_settings accepts
// the file. Throws std::invalid_argument when `bytes` is longer than `file_size`.
PrefixStatus check_prefix(std::span<const std::uint8_t> bytes,
                          std::size_t file_size = unknown_file_size);

using ByteVector = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

// Reads up to `room` bytes into `into`; 0 at the end of the input. May throw.
using ReadSome = std::function<std::size_t(std::uint8_t* into, std::size_t room)>;
// check_prefix, or a caller's wrapper around it (to run it without a lock, say).
using CheckPrefix =
    std::function<PrefixStatus(std::span<const std::uint8_t> bytes, std::size_t file_size)>;

// Reads a file of `file_size` bytes (unknown_file_size for a stream) into `bytes` through
// `read`, piece by piece, until the pieces hold a complete record (nullopt) or are refused (the
// error). Memory follows what the record needs: at most one piece (64 MiB, or as much as was
// read before) more than the bytes that can still be a record, and a regular file is read into
// room taken once for its size. Past a complete record one more byte is read: a file with more
// is refused then ("1 byte left over", or the rest of a file of known size), and a stream is
// read no further. A refusal is the one decode_settings gives for the whole input, except that
// bytes left over after the record in a stream are counted only as far as they were read.
std::optional<DecodeError> read_record(ByteVector& bytes, std::size_t file_size,
                                       const ReadSome& read, const CheckPrefix& check = {});

}  // namespace protocols
