#include "kernel/random.hpp"

#include <bit>

#include "kernel/fork_generation.hpp"
#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

constexpr std::int64_t bytes_per_refill = 256;
constexpr std::uint64_t blocks_per_refill = 4;
constexpr std::uint64_t buffer_words = 64;

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
        ChaChaBlock block = chacha_block(key_, counter_ + b);
        for (std::size_t w = 0; w < block.size(); ++w) buffer_[b * block.size() + w] = block[w];
    }
    counter_ += blocks_per_refill;
}

std::uint64_t RandomGenerator::next_u64() {
    // Every value takes the next two words and a refill holds an even number
    // of them, so the position stays even and a value never straddles two
    // refills.
    static_assert(buffer_words % 2 == 0);
    if (position_ >= buffer_words) {
        refill();
        position_ = 0;
    }
    const std::uint64_t low = buffer_[position_];
    const std::uint64_t high = buffer_[position_ + 1];
    position_ += 2;
    return (high << 32) | low;
}

RandomGenerator& thread_generator() {
    thread_local RandomGenerator generator = [] {
        RandomGenerator fresh = RandomGenerator::from_os();
        fresh.fork_generation_ = fork_generation();
        return fresh;
    }();
    // A generator inherited through fork would repeat the parent's stream.
    const std::uint64_t current = fork_generation();
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
