// The portable form of the split by odds, and the choice of the AVX2 form
// where it runs.
#include "kernel/simd/odds_split.hpp"

#include "kernel/simd/simd_dispatch.hpp"
#if defined(ALLOTRA_AVX2_KERNELS)
#include "kernel/simd/avx2_kernels.hpp"
#endif

namespace allotra {

namespace portable {
void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const PlaceOdds& odds,
                   std::uint64_t* drawn, std::uint64_t* undecided) {
    for (std::size_t word = 0; word * 64 < n; ++word) {
        std::uint64_t surely = 0, open = 0;
        const std::size_t end = n - word * 64 < 64 ? n - word * 64 : 64;
        for (std::size_t j = 0; j < end; ++j) {
            const std::size_t k = word * 64 + j;
            const unsigned byte = static_cast<unsigned>(random[k / 8] >> (k % 8 * 8)) & 0xFFu;
            const unsigned place = fine[k] >> 2;
            const bool below = byte < odds.below[place];
            surely |= std::uint64_t{below} << j;
            open |= std::uint64_t{!below && byte <= odds.last[place]} << j;
        }
        drawn[word] = surely;
        undecided[word] = open;
    }
}
}  // namespace portable

void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const PlaceOdds& odds,
                   std::uint64_t* drawn, std::uint64_t* undecided) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::split_by_odds(random, fine, n, odds.below, odds.last, drawn, undecided);
        return;
    }
#endif
    portable::split_by_odds(random, fine, n, odds, drawn, undecided);
}

}  // namespace allotra
