// Exact signed 128-bit integers for sums of 64-bit amounts: the budget test of
// the constructions, the total of b_ij and the amounts of the relaxation's
// bound. Up to 2^63 terms of magnitude at
// most 2^63 cannot overflow 128 bits, so these sums never wrap.
//
// `WideInt` is the compiler's own 128-bit integer where there is one (GCC,
// Clang) and the two-word form elsewhere (MSVC has none). Building with
// ALLOTRA_PORTABLE_WIDE_INT defined selects the two-word form everywhere, so
// that it can be tested on every platform. The two forms offer exactly the same
// operations, and code that uses `WideInt` can use no other: what compiles
// with one compiles with the other.
#pragma once

#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>

namespace allotra {

// Two's complement in two 64-bit words. All arithmetic is on unsigned words,
// which wrap, so no operation is undefined.
class PortableWideInt {
public:
    constexpr PortableWideInt(std::int64_t value = 0) noexcept
        : high_(value < 0 ? ~std::uint64_t{0} : 0), low_(static_cast<std::uint64_t>(value)) {}

    // The value high * 2^64 + low.
    static constexpr PortableWideInt from_words(std::int64_t high, std::uint64_t low) noexcept {
        PortableWideInt wide;
        wide.high_ = static_cast<std::uint64_t>(high);
        wide.low_ = low;
        return wide;
    }
    constexpr std::int64_t high() const noexcept { return static_cast<std::int64_t>(high_); }
    constexpr std::uint64_t low() const noexcept { return low_; }

    constexpr PortableWideInt& operator+=(std::int64_t addend) noexcept {
        const std::uint64_t addend_low = static_cast<std::uint64_t>(addend);
        const std::uint64_t sum = low_ + addend_low;
        const std::uint64_t carry = sum < addend_low ? 1 : 0;
        high_ += (addend < 0 ? ~std::uint64_t{0} : 0) + carry;
        low_ = sum;
        return *this;
    }
    friend constexpr PortableWideInt operator+(PortableWideInt wide, std::int64_t addend) noexcept {
        return wide += addend;
    }
    constexpr PortableWideInt& operator+=(const PortableWideInt& addend) noexcept {
        const std::uint64_t sum = low_ + addend.low_;
        high_ += addend.high_ + (sum < addend.low_ ? 1 : 0);
        low_ = sum;
        return *this;
    }
    constexpr PortableWideInt& operator-=(const PortableWideInt& subtrahend) noexcept {
        const std::uint64_t borrow = low_ < subtrahend.low_ ? 1 : 0;
        low_ -= subtrahend.low_;
        high_ -= subtrahend.high_ + borrow;
        return *this;
    }

    friend constexpr bool operator==(const PortableWideInt&, const PortableWideInt&) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(const PortableWideInt& a, const PortableWideInt& b) noexcept {
        if (a.high_ != b.high_) return a.high() <=> b.high();
        return a.low_ <=> b.low_;
    }

    // Rounded to nearest, ties to even, as a conversion of the native type
    // does. The rounding is done on the integer bits, so it does not depend on
    // how the compiler converts 64-bit integers.
    friend double to_double(const PortableWideInt& wide) noexcept {
        const bool negative = wide.high() < 0;
        std::uint64_t high = wide.high_;
        std::uint64_t low = wide.low_;
        if (negative) {  // the magnitude; -2^127 gives 2^127, still exact as unsigned words
            low = ~low + 1;
            high = ~high + (low == 0 ? 1 : 0);
        }
        const int bits = high != 0 ? 128 - std::countl_zero(high) : 64 - std::countl_zero(low);
        double magnitude = 0.0;
        if (bits <= 53) {
            magnitude = static_cast<double>(low);  // exact
        } else {
            // Keep the top 53 bits; the bit below them and any bit further
            // down decide the rounding.
            const int shift = bits - 53;
            std::uint64_t mantissa = shift >= 64 ? high >> (shift - 64) : (low >> shift) | (high << (64 - shift));
            const int round_at = shift - 1;
            const bool round_bit =
                ((round_at >= 64 ? high >> (round_at - 64) : low >> round_at) & 1) != 0;
            const bool sticky = round_at >= 64
                                    ? low != 0 || (high & ((std::uint64_t{1} << (round_at - 64)) - 1)) != 0
                                    : (low & ((std::uint64_t{1} << round_at) - 1)) != 0;
            if (round_bit && (sticky || (mantissa & 1) != 0)) ++mantissa;  // may reach 2^53: still exact
            magnitude = std::ldexp(static_cast<double>(mantissa), shift);
        }
        return negative ? -magnitude : magnitude;
    }

private:
    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

#if defined(__SIZEOF_INT128__)
#define ALLOTRA_HAS_NATIVE_WIDE_INT 1

// __extension__ keeps -Wpedantic quiet about the non-standard type.
__extension__ typedef __int128 native_int128;
__extension__ typedef unsigned __int128 native_uint128;

// The compiler's 128-bit integer behind the same operations as the two-word
// form.
class NativeWideInt {
public:
    constexpr NativeWideInt(std::int64_t value = 0) noexcept : value_(value) {}

    static constexpr NativeWideInt from_words(std::int64_t high, std::uint64_t low) noexcept {
        NativeWideInt wide;
        wide.value_ = static_cast<native_int128>((static_cast<native_uint128>(high) << 64) | low);
        return wide;
    }
    constexpr std::int64_t high() const noexcept { return static_cast<std::int64_t>(value_ >> 64); }
    constexpr std::uint64_t low() const noexcept { return static_cast<std::uint64_t>(value_); }

    constexpr NativeWideInt& operator+=(std::int64_t addend) noexcept {
        value_ += addend;
        return *this;
    }
    friend constexpr NativeWideInt operator+(NativeWideInt wide, std::int64_t addend) noexcept {
        return wide += addend;
    }
    constexpr NativeWideInt& operator+=(const NativeWideInt& addend) noexcept {
        value_ += addend.value_;
        return *this;
    }
    constexpr NativeWideInt& operator-=(const NativeWideInt& subtrahend) noexcept {
        value_ -= subtrahend.value_;
        return *this;
    }

    friend constexpr bool operator==(const NativeWideInt&, const NativeWideInt&) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(const NativeWideInt& a, const NativeWideInt& b) noexcept {
        return a.value_ < b.value_ ? std::strong_ordering::less
               : a.value_ > b.value_ ? std::strong_ordering::greater
                                     : std::strong_ordering::equal;
    }

    friend double to_double(const NativeWideInt& wide) noexcept { return static_cast<double>(wide.value_); }

private:
    native_int128 value_ = 0;
};
#endif

#if defined(ALLOTRA_HAS_NATIVE_WIDE_INT) && !defined(ALLOTRA_PORTABLE_WIDE_INT)
using WideInt = NativeWideInt;
#else
using WideInt = PortableWideInt;
#endif

// a + b, for sums made in pieces (never past 128 bits, as above).
constexpr WideInt wide_sum(WideInt a, WideInt b) noexcept {
    const std::uint64_t low = a.low() + b.low();
    const std::uint64_t carry = low < a.low() ? 1 : 0;
    return WideInt::from_words(
        static_cast<std::int64_t>(static_cast<std::uint64_t>(a.high()) + static_cast<std::uint64_t>(b.high()) + carry),
        low);
}

}  // namespace allotra
