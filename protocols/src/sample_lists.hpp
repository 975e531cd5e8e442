// The samples of arbitrary signals, most of a large file's bytes: read eight at a time, and
// validated by a vector scan without being decoded. Internal to the decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocols/decoding.hpp"

// x86-64 with SSSE3 reads samples in blocks; elsewhere the per-sample reader does all the work.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PROTOCOLS_SAMPLE_BLOCKS 1
#endif

namespace protocols::sample_lists {

#ifdef PROTOCOLS_SAMPLE_BLOCKS
// Decodes whole blocks from `in` into `out` while at least 16 bytes and 8 samples are left;
// returns the samples decoded and adds the bytes taken to `pos`. Needs SSSE3.
__attribute__((target("ssse3"))) std::size_t read_sample_blocks(const std::uint8_t* in,
                                                                std::size_t size, std::size_t& pos,
                                                                std::int16_t* out,
                                                                std::size_t count);
#endif

// True when read_sample_blocks can run on this processor.
bool use_sample_blocks();

// A scan's answer for a list it does not accept (a broken rule, or the input ends first).
inline constexpr std::size_t not_accepted = static_cast<std::size_t>(-1);

// Where the list of `count` samples that begins at `start` ends, or not_accepted.
using SampleScanner = std::size_t (*)(const std::uint8_t* in, std::size_t size, std::size_t start,
                                      std::size_t count);

SampleScanner sample_scanner(SampleScan scan);

}  // namespace protocols::sample_lists
