// The exponentials four at a time: the shared kernel, compiled for AVX2
// alone (see simd/avx2_kernels.hpp), vectorised by the compiler.
#include "kernel/random/exponential_kernel.hpp"
#include "kernel/simd/avx2_kernels.hpp"

namespace allotra::avx2 {

void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n) {
    exponentials_in_groups(bits, out, n);
}

}  // namespace allotra::avx2
