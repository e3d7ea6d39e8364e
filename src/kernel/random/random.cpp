// The per-thread generators: keyed from the operating system, re-keyed after
// each 64 KiB, rebuilt after fork; the seeded streams; recording and replay.
#include "kernel/random/random.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <memory>
#include <string>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/platform/fork_generation.hpp"
#include "kernel/platform/platform.hpp"
#include "kernel/random/seeds.hpp"

namespace allotra {

namespace {

constexpr std::int64_t bytes_per_refill = 256;
constexpr std::uint64_t blocks_per_refill = 4;
constexpr std::uint64_t buffer_words = 64;
constexpr std::uint64_t values_per_block = chacha_block_words / 2;
constexpr std::uint64_t values_per_refill = buffer_words / 2;
constexpr std::uint64_t refills_per_key = RandomGenerator::reseed_threshold / bytes_per_refill;

std::atomic<ChaChaKey (*)()> key_source{nullptr};

ChaChaKey key_from_os() {
    ChaChaKey key;
    platform::secure_random_bytes(key.data(), key.size());
    return key;
}

ChaChaKey fresh_key() {
    ChaChaKey (*source)() = key_source.load(std::memory_order_relaxed);
    return source != nullptr ? source() : key_from_os();
}

std::uint64_t join(std::uint32_t low, std::uint32_t high) {
    return (std::uint64_t{high} << 32) | low;
}

// Values [first, first + count) of the keystream of `key` that starts at
// block `counter`, value v being words 2v (low half) and 2v + 1 (high half).
// Whole blocks are written straight into `out`.
void keystream_values(const ChaChaKey& key, std::uint64_t counter, std::uint64_t first, std::uint64_t* out,
                      std::uint64_t count) {
    auto from_one_block = [&](std::uint64_t values) {
        const ChaChaBlock block = chacha_block(key, counter + first / values_per_block);
        for (std::uint64_t v = first % values_per_block; values > 0; ++v, --values) {
            *out++ = join(block[2 * v], block[2 * v + 1]);
            ++first;
            --count;
        }
    };
    if (first % values_per_block != 0 && count > 0) {
        from_one_block(std::min(count, values_per_block - first % values_per_block));
    }
    const std::uint64_t whole = count / values_per_block;
    if (whole > 0) {
        // Two little-endian words side by side are the value's bytes.
        chacha_blocks(key, counter + first / values_per_block, static_cast<std::size_t>(whole),
                      reinterpret_cast<std::uint32_t*>(out));
        if constexpr (std::endian::native != std::endian::little) {
            for (std::uint64_t v = 0; v < whole * values_per_block; ++v) out[v] = (out[v] << 32) | (out[v] >> 32);
        }
        out += whole * values_per_block;
        first += whole * values_per_block;
        count -= whole * values_per_block;
    }
    if (count > 0) from_one_block(count);
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

RandomGenerator RandomGenerator::seeded(const ChaChaKey& key) {
    RandomGenerator generator;
    generator.seeded_ = true;
    generator.rekey(key);
    return generator;
}

ChaChaKey RandomGenerator::next_key() const {
    return seeded_ ? following_key(key_) : fresh_key();
}

void RandomGenerator::rekey(const ChaChaKey& key) {
    key_ = key;
    counter_ = 0;
}

void RandomGenerator::reseed() {
    // The buffered output is dropped, which a record cannot describe.
    recording_ = nullptr;
    rekey(next_key());
    position_ = buffer_words;
    bytes_until_reseed_ = reseed_threshold;
}

std::uint64_t RandomGenerator::refills_before_rekey() {
    if (bytes_until_reseed_ <= 0) {
        rekey(next_key());
        if (recording_ != nullptr) recording_->keys.push_back(key_);
        bytes_until_reseed_ = reseed_threshold;
    }
    return static_cast<std::uint64_t>((bytes_until_reseed_ + bytes_per_refill - 1) / bytes_per_refill);
}

void RandomGenerator::refill() {
    refills_before_rekey();
    bytes_until_reseed_ -= bytes_per_refill;
    chacha_blocks(key_, counter_, blocks_per_refill, buffer_.data());
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

void RandomGenerator::fill(std::span<std::uint64_t> out) {
    std::size_t done = 0;
    for (; done < out.size() && position_ < buffer_words; ++done, position_ += 2) {
        out[done] = join(buffer_[position_], buffer_[position_ + 1]);
    }
    // Whole refills go straight into `out`, as many at once as the key allows;
    // the buffer stays empty.
    while (out.size() - done >= values_per_refill) {
        const std::uint64_t refills =
            std::min<std::uint64_t>(refills_before_rekey(), (out.size() - done) / values_per_refill);
        keystream_values(key_, counter_, 0, out.data() + done, refills * values_per_refill);
        counter_ += refills * blocks_per_refill;
        bytes_until_reseed_ -= static_cast<std::int64_t>(refills) * bytes_per_refill;
        done += static_cast<std::size_t>(refills * values_per_refill);
    }
    for (; done < out.size(); ++done) out[done] = next_u64();
}

void RandomGenerator::start_recording(StreamRecord& record) {
    record.key = key_;
    record.counter = counter_;
    record.bytes_until_reseed = bytes_until_reseed_;
    record.position = position_;
    record.keys.clear();
    recording_ = &record;
}

void replay(const StreamRecord& record, std::uint64_t first, std::span<std::uint64_t> out) {
    // Value v counts from the start of the buffer held at start_recording(),
    // which the key of that time filled from block counter - 4 on. That key
    // goes on for the refills it still had left; each later key gives
    // refills_per_key refills from block 0.
    const std::uint64_t left_with_first_key =
        record.bytes_until_reseed > 0
            ? static_cast<std::uint64_t>((record.bytes_until_reseed + bytes_per_refill - 1) / bytes_per_refill)
            : 0;
    const std::uint64_t first_key_values = (1 + left_with_first_key) * values_per_refill;
    constexpr std::uint64_t values_per_key = refills_per_key * values_per_refill;

    std::uint64_t v = record.position / 2 + first;
    std::uint64_t* to = out.data();
    std::uint64_t count = out.size();
    while (count > 0) {
        const ChaChaKey* key = &record.key;
        std::uint64_t counter = record.counter - blocks_per_refill;
        std::uint64_t offset = v;
        std::uint64_t available = first_key_values - v;
        if (v >= first_key_values) {
            const std::uint64_t later = (v - first_key_values) / values_per_key;
            if (later >= record.keys.size()) fail("replay of a value that was never read");
            key = &record.keys[static_cast<std::size_t>(later)];
            counter = 0;
            offset = (v - first_key_values) % values_per_key;
            available = values_per_key - offset;
        }
        const std::uint64_t now = std::min(count, available);
        keystream_values(*key, counter, offset, to, now);
        to += now;
        v += now;
        count -= now;
    }
}

namespace testing {
void set_key_source(ChaChaKey (*source)()) { key_source.store(source, std::memory_order_relaxed); }
}  // namespace testing

RandomGenerator& thread_generator() {
    const auto keyed_for_this_process = [] {
        RandomGenerator fresh = RandomGenerator::from_os();
        fresh.fork_generation_ = fork_generation();
        return fresh;
    };
    thread_local RandomGenerator generator = keyed_for_this_process();
    // Generators for constructions nested in one that draws (rare: a signal
    // handler that solves); kept for the thread's life like the first.
    thread_local std::vector<std::unique_ptr<RandomGenerator>> nested;
    RandomGenerator* chosen = &generator;
    for (std::size_t depth = 0; chosen->in_use_; ++depth) {
        if (depth == nested.size()) nested.push_back(std::make_unique<RandomGenerator>(keyed_for_this_process()));
        chosen = nested[depth].get();
    }
    // A generator inherited through fork would repeat the parent's stream.
    const std::uint64_t current = fork_generation();
    if (chosen->fork_generation_ != current) {
        chosen->reseed();
        chosen->fork_generation_ = current;
    }
    return *chosen;
}

}  // namespace allotra
