// The per-thread random stream: ChaCha with 12 rounds, keyed from the
// operating system and re-keyed after every 64 KiB of output; and the seeded
// streams of a repeatable run, whose keys all follow from a seed.
//
// This header is the face of the random source's room, kernel/random/: the
// ChaCha block function, the per-thread and the seeded streams, the seeds and
// keys of a run, and the exponentials made from random bits, each kernel with
// its AVX2 form beside its portable one. The room may include the kernel's
// records at its root, kernel/simd/ (the choice of form, the AVX2 units'
// declarations) and kernel/platform/; nothing of the pool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/random/chacha.hpp"

namespace allotra {

// Everything needed to produce again any value read from a generator since
// start_recording(): where the generator stood then (key, block counter,
// bytes until its next re-key, buffer position) and every key it took during
// the recording, a few per megabyte of output. Nothing is kept per value.
struct StreamRecord {
    ChaChaKey key{};
    std::uint64_t counter = 0;
    std::int64_t bytes_until_reseed = 0;
    std::uint64_t position = 0;
    std::vector<ChaChaKey> keys;
};

class RandomGenerator {
public:
    static constexpr std::int64_t reseed_threshold = 65536;

    // A generator keyed from the operating system.
    static RandomGenerator from_os();
    // A generator with a given first key (for known-answer checks); later
    // re-keys still come from the operating system (or the tests' source).
    static RandomGenerator from_key(const ChaChaKey& key);
    // A seeded stream: `key` is its own (see seeds.hpp), and every later key
    // follows from the one before (following_key), never from the operating
    // system, so the stream is the same on any machine and thread.
    static RandomGenerator seeded(const ChaChaKey& key);

    std::uint64_t next_u64();

    // Writes the values that out.size() calls of next_u64() would return, in
    // that order, and leaves the generator where those calls would have left
    // it (re-keys included). Whole runs of blocks go straight into `out`.
    void fill(std::span<std::uint64_t> out);

    // From now on every value read (by next_u64 or fill) can be produced
    // again by replay(record, ...); `record` must outlive the recording. A
    // recording ends at stop_recording(), at the next start_recording() and at
    // reseed().
    void start_recording(StreamRecord& record);
    void stop_recording() noexcept { recording_ = nullptr; }

    // Discards the key and buffered output and takes a fresh key from the
    // operating system (a seeded stream: its next key). Ends a recording: the
    // dropped output breaks the sequence that a record describes.
    void reseed();

private:
    RandomGenerator() = default;
    void rekey(const ChaChaKey& key);
    ChaChaKey next_key() const;
    // Takes the next key when the output since the last one has reached the
    // threshold; says how many refills the current key still gives.
    std::uint64_t refills_before_rekey();
    void refill();

    std::array<std::uint32_t, 64> buffer_{};
    ChaChaKey key_{};
    std::uint64_t counter_ = 0;
    std::int64_t bytes_until_reseed_ = reseed_threshold;
    std::uint64_t position_ = 64;
    std::uint64_t fork_generation_ = 0;
    bool seeded_ = false;
    bool in_use_ = false;
    StreamRecord* recording_ = nullptr;

    friend RandomGenerator& thread_generator();
    friend class GeneratorInUse;
};

// Marks a generator as drawn from by a construction while it lives. A
// construction started meanwhile on the same thread (by a signal handler that
// solves, run from the first one's stop check) then gets another generator
// from thread_generator(): reading this one would shift the values that the
// first construction reads again by their index.
class GeneratorInUse {
public:
    explicit GeneratorInUse(RandomGenerator& generator) noexcept
        : generator_(generator), was_in_use_(generator.in_use_) {
        generator.in_use_ = true;
    }
    ~GeneratorInUse() { generator_.in_use_ = was_in_use_; }
    GeneratorInUse(const GeneratorInUse&) = delete;
    GeneratorInUse& operator=(const GeneratorInUse&) = delete;

private:
    RandomGenerator& generator_;
    const bool was_in_use_;
};

// The values with indices [first, first + out.size()) among those read from a
// generator since start_recording(record) (index 0 is the first value read
// after it); they must all have been read. Consumes nothing and never asks the
// operating system: one value costs one block, long runs go as fast as fill().
void replay(const StreamRecord& record, std::uint64_t first, std::span<std::uint64_t> out);

namespace testing {
// Replaces the operating system as the source of every key taken from now on
// (nullptr restores it), so that tests can follow a generator across its
// re-keys. Production never sets it.
void set_key_source(ChaChaKey (*source)());
}  // namespace testing

// The calling thread's generator, created and keyed on first use. In a process
// created by fork, it takes a fresh key before its first use in the child so
// that parent and child never share a stream. While a construction on this
// thread draws from it (GeneratorInUse), another of the thread's generators,
// created as needed, is returned instead.
RandomGenerator& thread_generator();

}  // namespace allotra
