// The processor check that picks between the baseline and the AVX2 builds of the sample loops,
// in the protocol library's encoder and in the extension's array conversion alike, so that one
// setting switches both.
#pragma once

namespace protocols {

// Whether the AVX2 builds may run: the processor has AVX2 and PYQELM_DISABLE_AVX2 is not set.
// That variable (any value) keeps the baseline loops, so that they can be tested and compared
// on machines that have AVX2. Asked once per process. False where no AVX2 build is made (other
// than x86-64 with GCC or Clang).
bool has_avx2() noexcept;

}  // namespace protocols
