// The two forms of the exact 128-bit integer: the two-word form against values
// built bit by bit, and, where the compiler has its own 128-bit integer,
// against that on random words. Both forms are compiled here whichever one the
// core uses.
#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <vector>

#include "harness.hpp"
#include "kernel/random/random.hpp"
#include "kernel/wide_int.hpp"

namespace {

using allotra::PortableWideInt;

constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

struct Words {
    std::uint64_t high, low;
};

// mantissa * 2^shift, for a mantissa of 53 bits and a shift of 0 to 74.
Words shifted(std::uint64_t mantissa, int shift) {
    if (shift == 0) return {0, mantissa};
    if (shift < 64) return {mantissa >> (64 - shift), mantissa << shift};
    return {mantissa << (shift - 64), 0};
}

Words negated(Words w) {
    const std::uint64_t low = ~w.low + 1;
    return {~w.high + (low == 0 ? 1 : 0), low};
}

template <typename Wide>
Wide wide_of(Words w) {
    return Wide::from_words(static_cast<std::int64_t>(w.high), w.low);
}

// Below, at and above the midpoint between mantissa * 2^shift and the next
// double, with both parities of the mantissa, and their negatives: the value
// rounds to nearest, ties to the even mantissa.
template <typename Wide>
void check_rounding_near_midpoints() {
    // All of 53 bits, so that the bits below them are exactly what rounding drops.
    const std::uint64_t top = std::uint64_t{1} << 52;
    const std::uint64_t mantissas[] = {top, top + 1, 2 * top - 1, top | 0xb2f3a4c5d6e7, top | 0xb2f3a4c5d6e8};
    for (std::uint64_t mantissa : mantissas) {
        for (int shift = 1; shift <= 74; ++shift) {
            const Words base = shifted(mantissa, shift);
            const Words half = shifted(1, shift - 1);
            const double down = std::ldexp(static_cast<double>(mantissa), shift);
            const double up = std::ldexp(static_cast<double>(mantissa + 1), shift);
            struct Case {
                Words words;
                double expected;
            };
            std::vector<Case> cases{
                {base, down},
                {{base.high | half.high, base.low | half.low}, (mantissa & 1) != 0 ? up : down},
            };
            if (shift > 1) {  // there are bits below the midpoint
                cases.push_back({{base.high | half.high, base.low | half.low | 1}, up});
                const Words just_below = half.low != 0  // half - 1
                                             ? Words{0, half.low - 1}
                                             : Words{half.high - 1, ~std::uint64_t{0}};
                cases.push_back({{base.high | just_below.high, base.low | just_below.low}, down});
            }
            for (const Case& c : cases) {
                CHECK_EQ(to_double(wide_of<Wide>(c.words)), c.expected);
                CHECK_EQ(to_double(wide_of<Wide>(negated(c.words))), -c.expected);
            }
        }
    }
    CHECK_EQ(to_double(Wide::from_words(int64_min, 0)), -std::ldexp(1.0, 127));
    CHECK_EQ(to_double(Wide::from_words(int64_max, ~std::uint64_t{0})), std::ldexp(1.0, 127));
    CHECK_EQ(to_double(Wide(int64_min)), -std::ldexp(1.0, 63));
    CHECK_EQ(to_double(Wide(int64_max)), std::ldexp(1.0, 63));
    CHECK_EQ(to_double(Wide(-1)), -1.0);
    CHECK_EQ(to_double(Wide(0)), 0.0);
}

// Carries and borrows across the word boundary, and comparisons that only the
// high word or only the low word decides.
template <typename Wide>
void check_word_boundary() {
    const std::uint64_t all = ~std::uint64_t{0};
    Wide w = Wide::from_words(0, all);
    w += 1;
    CHECK(w == Wide::from_words(1, 0));
    w += -1;
    CHECK(w == Wide::from_words(0, all));
    CHECK(Wide(-1) == Wide::from_words(-1, all));
    CHECK(Wide(-1) + 1 == Wide(0));
    CHECK(Wide(int64_min) + int64_min == Wide::from_words(-1, 0));
    CHECK(Wide(int64_max) + int64_max == Wide::from_words(0, all - 1));
    CHECK(Wide::from_words(-1, 0) + int64_min == Wide::from_words(-2, std::uint64_t{1} << 63));
    Wide carried = Wide::from_words(0, all);
    carried += Wide::from_words(0, 1);
    CHECK(carried == Wide::from_words(1, 0));
    carried -= Wide::from_words(0, 1);
    CHECK(carried == Wide::from_words(0, all));
    carried -= Wide::from_words(1, 0);
    CHECK(carried == Wide(-1));
    carried += Wide::from_words(-1, 1);
    CHECK(carried == Wide::from_words(-1, 0));

    CHECK(Wide::from_words(0, all) > int64_max);
    CHECK(Wide::from_words(-1, 0) < int64_min);
    CHECK(Wide::from_words(-1, all) < 0);
    CHECK(Wide::from_words(1, 0) > Wide::from_words(0, all));
    CHECK(Wide::from_words(-1, all) > Wide::from_words(-1, 0));
    CHECK(Wide::from_words(int64_min, 0) < Wide::from_words(int64_max, all));
    CHECK(Wide(5) <= 5);
    CHECK(!(Wide(5) <= 4));
}

template <typename Wide>
void check_against_int64(allotra::RandomGenerator& generator) {
    for (int round = 0; round < 10000; ++round) {
        const std::int64_t a = static_cast<std::int64_t>(generator.next_u64()) >> (generator.next_u64() % 64);
        const std::int64_t b = static_cast<std::int64_t>(generator.next_u64()) >> (generator.next_u64() % 64);
        CHECK((Wide(a) <=> b) == (a <=> b));
        CHECK((Wide(a) == b) == (a == b));
        CHECK_EQ(to_double(Wide(a)), static_cast<double>(a));
    }
}

}  // namespace

TEST(wide_int_portable_rounds_to_nearest_even) { check_rounding_near_midpoints<PortableWideInt>(); }

TEST(wide_int_portable_word_boundary) { check_word_boundary<PortableWideInt>(); }

TEST(wide_int_portable_agrees_with_int64) {
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    check_against_int64<PortableWideInt>(generator);
}

#if defined(ALLOTRA_HAS_NATIVE_WIDE_INT)
using allotra::NativeWideInt;

TEST(wide_int_native_rounds_to_nearest_even) { check_rounding_near_midpoints<NativeWideInt>(); }

TEST(wide_int_native_word_boundary) { check_word_boundary<NativeWideInt>(); }

TEST(wide_int_forms_agree_on_random_words) {
    // Values of every length up to 127 bits, and sums of many int64 terms:
    // the same words, the same order and the same double from both forms.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    auto random_words = [&generator] {
        const int bits = static_cast<int>(generator.next_u64() % 128);
        std::uint64_t high = generator.next_u64();
        std::uint64_t low = generator.next_u64();
        if (bits < 64) {
            high = (generator.next_u64() & 1) != 0 ? ~std::uint64_t{0} : 0;  // sign only
            low = bits == 0 ? 0 : low >> (64 - bits);
        } else {
            high = bits == 64 ? 0 : high >> (128 - bits);  // a shift by 64 would be undefined
        }
        return Words{high, low};
    };
    for (int round = 0; round < 20000; ++round) {
        const Words x = random_words();
        const Words y = random_words();
        PortableWideInt portable = wide_of<PortableWideInt>(x);
        NativeWideInt native = wide_of<NativeWideInt>(x);
        const PortableWideInt portable_other = wide_of<PortableWideInt>(y);
        const NativeWideInt native_other = wide_of<NativeWideInt>(y);
        CHECK((portable <=> portable_other) == (native <=> native_other));
        CHECK((portable == portable_other) == (native == native_other));
        for (int step = 0; step < 4; ++step) {
            const std::int64_t addend = static_cast<std::int64_t>(generator.next_u64()) >> (generator.next_u64() % 64);
            CHECK((portable <=> addend) == (native <=> addend));
            CHECK((portable + addend <= addend) == (native + addend <= addend));
            portable += addend;
            native += addend;
            CHECK_EQ(portable.high(), native.high());
            CHECK_EQ(portable.low(), native.low());
            CHECK_EQ(to_double(portable), to_double(native));
        }
        // Sums and differences of two wide values, a quarter of the range
        // each so that neither can leave it.
        const Words z = random_words();
        const auto quartered = [](Words w) {
            return Words{static_cast<std::uint64_t>(static_cast<std::int64_t>(w.high) >> 2), w.low};
        };
        PortableWideInt portable_sum = wide_of<PortableWideInt>(quartered(z));
        NativeWideInt native_sum = wide_of<NativeWideInt>(quartered(z));
        portable_sum += wide_of<PortableWideInt>(quartered(y));
        native_sum += wide_of<NativeWideInt>(quartered(y));
        CHECK_EQ(portable_sum.high(), native_sum.high());
        CHECK_EQ(portable_sum.low(), native_sum.low());
        portable_sum -= wide_of<PortableWideInt>(quartered(x));
        native_sum -= wide_of<NativeWideInt>(quartered(x));
        CHECK_EQ(portable_sum.high(), native_sum.high());
        CHECK_EQ(portable_sum.low(), native_sum.low());
    }
}
#endif
