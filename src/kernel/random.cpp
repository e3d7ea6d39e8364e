#include "kernel/random.hpp"

#include <atomic>
#include <bit>

#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

constexpr std::int64_t bytes_per_refill = 256;
constexpr std::uint64_t blocks_per_refill = 4;
constexpr std::uint64_t buffer_words = 64;

// Incremented in a forked child, so that every generator inherited from the
// parent notices on its next use that its stream is shared and re-keys.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

ChaChaKey key_from_os() {
    ChaChaKey key;
    platform::secure_random_bytes(key.data(), key.size());
    return key;
}

}  // namespace

RandomGenerator RandomGenerator::from_os() {
    RandomGenerator generator;
    generator.reseed();
    return generator;
}

RandomGenerator RandomGenerator::from_key(const ChaChaKey& key) {
    RandomGenerator generator;
    generator.rekey(key);
    return generator;
}

void RandomGenerator::rekey(const ChaChaKey& key) {
    key_ = key;
    counter_ = 0;
}

void RandomGenerator::reseed() {
    rekey(key_from_os());
    buffer_.fill(0);
    position_ = buffer_words;
    bytes_until_reseed_ = reseed_threshold;
}

void RandomGenerator::refill() {
    if (bytes_until_reseed_ > 0) {
        bytes_until_reseed_ -= bytes_per_refill;
    } else {
        rekey(key_from_os());
        bytes_until_reseed_ = reseed_threshold - bytes_per_refill;
    }
    for (std::uint64_t b = 0; b < blocks_per_refill; ++b) {
        ChaChaBlock block = chacha_block(key_, counter_ + b, 0, 12);
        for (std::size_t w = 0; w < block.size(); ++w) buffer_[b * block.size() + w] = block[w];
    }
    counter_ += blocks_per_refill;
}

std::uint64_t RandomGenerator::next_u64() {
    std::uint64_t low;
    std::uint64_t high;
    if (position_ + 1 < buffer_words) {
        low = buffer_[position_];
        high = buffer_[position_ + 1];
        position_ += 2;
    } else if (position_ + 1 == buffer_words) {
        // The value straddles two refills.
        low = buffer_[buffer_words - 1];
        refill();
        high = buffer_[0];
        position_ = 1;
    } else {
        refill();
        low = buffer_[0];
        high = buffer_[1];
        position_ = 2;
    }
    return (high << 32) | low;
}

RandomGenerator& thread_generator() {
    thread_local RandomGenerator generator = [] {
        // The first generator of the process registers the fork hook; every
        // generator created later already lives under it.
        static const bool hook_registered = (platform::at_fork_child(&on_fork_child), true);
        (void)hook_registered;
        RandomGenerator fresh = RandomGenerator::from_os();
        fresh.fork_generation_ = fork_generation.load(std::memory_order_relaxed);
        return fresh;
    }();
    // Relaxed suffices: the hook runs in the child's only thread before fork()
    // returns there, and nothing else ever changes the value.
    std::uint64_t current = fork_generation.load(std::memory_order_relaxed);
    if (generator.fork_generation_ != current) {
        generator.reseed();
        generator.fork_generation_ = current;
    }
    return generator;
}

double unit_from_bits(std::uint64_t v) {
    return std::bit_cast<double>((v >> 12) | 0x3FF0000000000000ull) - 1.0;
}

}  // namespace allotra
