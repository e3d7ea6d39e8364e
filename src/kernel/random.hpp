// The per-thread random stream: ChaCha with 12 rounds, keyed from the
// operating system and re-keyed after every 64 KiB of output.
#pragma once

#include <array>
#include <cstdint>

#include "kernel/chacha.hpp"

namespace allotra {

class RandomGenerator {
public:
    static constexpr std::int64_t reseed_threshold = 65536;

    // A generator keyed from the operating system.
    static RandomGenerator from_os();
    // A generator with a given first key (for known-answer checks); later
    // re-keys still come from the operating system.
    static RandomGenerator from_key(const ChaChaKey& key);

    std::uint64_t next_u64();

    // Sets `value` to what the call of next_u64() after `ahead` others will
    // return, when that value is already buffered, and says whether it was.
    // Consumes nothing: a construction can look at the draws of its next
    // steps (to fetch what they will read) while every step still takes
    // exactly one value.
    bool peek_u64(std::uint64_t ahead, std::uint64_t& value) const noexcept {
        const std::uint64_t at = position_ + 2 * ahead;
        if (ahead >= buffer_.size() / 2 || at + 1 >= buffer_.size()) return false;
        value = (std::uint64_t{buffer_[at + 1]} << 32) | buffer_[at];
        return true;
    }

    // Discards the key and buffered output and takes a fresh key from the
    // operating system.
    void reseed();

private:
    RandomGenerator() = default;
    void rekey(const ChaChaKey& key);
    void refill();

    std::array<std::uint32_t, 64> buffer_{};
    ChaChaKey key_{};
    std::uint64_t counter_ = 0;
    std::int64_t bytes_until_reseed_ = reseed_threshold;
    std::uint64_t position_ = 64;
    std::uint64_t fork_generation_ = 0;

    friend RandomGenerator& thread_generator();
};

// The calling thread's generator, created and keyed on first use. In a process
// created by fork, it takes a fresh key before its first use in the child so
// that parent and child never share a stream.
RandomGenerator& thread_generator();

// A uniform number in [0, 1 - 2^-52]: the top 52 bits of one 64-bit value as
// the fraction of a double in [1, 2), minus 1.
double unit_from_bits(std::uint64_t v);

}  // namespace allotra
