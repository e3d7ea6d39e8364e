// The exponentials of a batch of random values: the portable form, and the
// choice of the AVX2 form where it runs.
#include "kernel/random/exponential.hpp"

#include "kernel/random/exponential_kernel.hpp"
#include "kernel/simd/simd_dispatch.hpp"
#if defined(ALLOTRA_AVX2_KERNELS)
#include "kernel/simd/avx2_kernels.hpp"
#endif

namespace allotra {

namespace portable {
void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n) {
    exponentials_in_groups(bits, out, n);
}
}  // namespace portable

void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::exponentials_from_bits(bits, out, n);
        return;
    }
#endif
    portable::exponentials_from_bits(bits, out, n);
}

}  // namespace allotra
