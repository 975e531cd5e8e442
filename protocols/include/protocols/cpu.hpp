// The processor checks that pick between the baseline and the vector builds of the sample
// loops: the encoder's packing, the extension's array conversion and the decoder's sample
// blocks and scan. One place, so that one setting switches them all.
#pragma once

namespace protocols {

// Whether the AVX2 builds may run: the processor has AVX2 and PYQELM_DISABLE_AVX2 is not set.
// That variable (any value) keeps the baseline loops, so that they can be tested and compared
// on machines that have AVX2. Asked once per process. False where no AVX2 build is made (other
// than x86-64 with GCC or Clang).
bool has_avx2() noexcept;

// Whether the processor has SSSE3 (the decoder's sample blocks) and AVX-512BW (its widest
// scan). Asked once per process; false where no such build is made.
bool has_ssse3() noexcept;
bool has_avx512bw() noexcept;

}  // namespace protocols
