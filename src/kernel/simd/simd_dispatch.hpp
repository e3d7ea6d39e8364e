// Which form of the vectorised kernels (the ChaCha blocks, the exponentials)
// runs: the AVX2 form where the processor has it, or the portable form, which
// gives the same bits everywhere. Setting ALLOTRA_SIMD=portable in the
// environment (read once, at the first call) forces the portable form.
//
// This header is the face of the vectorised kernels' room, kernel/simd/: the
// choice of form, the declarations of every AVX2 unit (avx2_kernels.hpp; the
// random source's units sit in kernel/random/, beside their portable forms),
// the split of scanned members by odds and the work over a bitmap's taken
// cells. The room may include the kernel's records at its root and
// kernel/platform/.
#pragma once

namespace allotra::simd {

bool use_avx2() noexcept;

namespace testing {
// Forces the portable form while `on` holds, so that one test process can
// hold both forms against each other.
void force_portable(bool on) noexcept;
}  // namespace testing

}  // namespace allotra::simd
