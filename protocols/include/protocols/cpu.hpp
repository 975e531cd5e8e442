// The processor checks that pick between the baseline and the vector builds of the sample
// loops: the encoder's packing, the sample conversion and the decoder's sample blocks and
// scan. Each is asked once per process and is false where no such build is made (other than
// x86-64 with GCC or Clang). Nothing else decides: the baseline loops are compared with the
// vector ones by calling each build directly (see ConversionPath and SampleScan), never by a
// setting from outside.
#pragma once

namespace protocols {

bool has_avx2() noexcept;
bool has_ssse3() noexcept;     // the decoder's sample blocks
bool has_avx512f() noexcept;   // the sample conversion
bool has_avx512bw() noexcept;  // the decoder's widest scan
// AVX-512BW with its byte compression (VBMI2) and POPCNT: the encoder's widest packing.
bool has_avx512vbmi2() noexcept;

}  // namespace protocols
