// Arbitrary-signal samples from doubles: the range test and the conversion to 16 bits, in one
// pass over the input, built for the baseline instruction set, AVX2 and AVX-512.
#pragma once

#include <cstddef>
#include <cstdint>

namespace protocols {

// Which build of the conversion runs: `best` takes the widest that the processor has. The
// others exist so that every build can be compared with the portable one on the same input;
// one the processor lacks falls back on `portable` (conversion_available tells beforehand).
enum class ConversionPath { best, portable, avx2, avx512 };

// Whether `path` runs as itself on this processor and build (`best` and `portable` always do).
bool conversion_available(ConversionPath path) noexcept;

// Converts `n` doubles, the first at `data` and each further one `stride` bytes after the
// previous (negative for a reversed view; no alignment needed), into `out`: t becomes
// round(t * 32767.0), halves away from zero. Every t must lie in [0.0, 1.0]. The first that
// does not is refused with protocols::Failure, "assertion failed: *sample >= 0.0" when it is
// not at least 0.0 (NaN included) and "assertion failed: *sample <= 1.0" otherwise; `out` then
// holds unspecified values. Every path gives the same samples and the same refusal.
void convert_samples(const char* data, std::intptr_t stride, std::size_t n, std::int16_t* out,
                     ConversionPath path = ConversionPath::best);

}  // namespace protocols
