// The bulk paths of the random stream against the one-value path: ChaCha
// blocks in both vector forms, fill() against next_u64() across re-keys, and
// replay() against what was read. Keys come from a counter instead of the
// operating system so that two generators can follow the same re-keys.
#include <cstdint>
#include <random>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif

#include "harness.hpp"
#include "kernel/random/chacha.hpp"
#include "kernel/random/random.hpp"
#include "kernel/simd/simd_dispatch.hpp"

namespace {

using allotra::ChaChaKey;
using allotra::RandomGenerator;

std::uint64_t keys_given = 0;

ChaChaKey counted_key() {
    ChaChaKey key{};
    ++keys_given;
    for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(keys_given >> (8 * i));
    key[31] = 0xA5;
    return key;
}

// Sets the counted key source for one scope and restarts its count.
struct CountedKeys {
    CountedKeys() { restart(); allotra::testing::set_key_source(&counted_key); }
    ~CountedKeys() { allotra::testing::set_key_source(nullptr); }
    void restart() { keys_given = 0; }
};

const ChaChaKey first_key = [] { ChaChaKey k{}; k[0] = 7; k[9] = 200; return k; }();

// Runs `body` once with the AVX2 form where the processor has it and once
// with the portable form.
template <typename Body>
void in_both_forms(Body body) {
    for (bool portable : {false, true}) {
        allotra::simd::testing::force_portable(portable);
        body();
    }
    allotra::simd::testing::force_portable(false);
}

void ask_for_portable_form() {
#if defined(_WIN32)
    SetEnvironmentVariableA("ALLOTRA_SIMD", "portable");
#else
    setenv("ALLOTRA_SIMD", "portable", 1);
#endif
}

}  // namespace

TEST(simd_setting_forces_the_portable_form) {
    // A new process: the setting is read once, at the first use.
    CHECK_EQ(kernel_tests::exit_status_in_new_process([] {
                 ask_for_portable_form();
                 return allotra::simd::use_avx2() ? 1 : 0;
             }),
             0);
}

TEST(random_chacha_blocks_forms_agree) {
    const ChaChaKey key = first_key;
    const std::uint64_t counters[] = {0, 3, (std::uint64_t{1} << 32) - 5, ~std::uint64_t{0} - 6, 0x0123456789ABCDEFull};
    for (std::uint64_t counter : counters) {
        for (std::size_t blocks : {1, 4, 7, 8, 9, 16, 21}) {
            std::vector<std::uint32_t> dispatched(16 * blocks), portable(16 * blocks);
            allotra::chacha_blocks(key, counter, blocks, dispatched.data());
            allotra::portable::chacha_blocks(key, counter, blocks, portable.data());
            for (std::size_t b = 0; b < blocks; ++b) {
                const allotra::ChaChaBlock one = allotra::chacha_block(key, counter + b);
                for (std::size_t w = 0; w < 16; ++w) {
                    CHECK_EQ(dispatched[16 * b + w], one[w]);
                    CHECK_EQ(portable[16 * b + w], one[w]);
                }
            }
        }
    }
}

TEST(random_fill_matches_next_u64_across_rekeys) {
    CountedKeys keys;
    in_both_forms([&] {
        // 8192 values per key: the longer lengths cross several re-keys.
        for (std::size_t before : {0, 1, 5, 31}) {
            for (std::size_t length : {0, 1, 2, 31, 32, 33, 95, 8192, 8193, 3 * 8192 + 45}) {
                std::vector<std::uint64_t> filled(length), expected(length);
                keys.restart();
                RandomGenerator bulk = RandomGenerator::from_key(first_key);
                for (std::size_t i = 0; i < before; ++i) bulk.next_u64();
                bulk.fill(filled);
                const std::uint64_t bulk_after = bulk.next_u64();

                keys.restart();
                RandomGenerator single = RandomGenerator::from_key(first_key);
                for (std::size_t i = 0; i < before; ++i) single.next_u64();
                for (std::uint64_t& v : expected) v = single.next_u64();
                CHECK(filled == expected);
                CHECK_EQ(bulk_after, single.next_u64());
            }
        }
    });
}

TEST(random_replay_gives_what_was_read) {
    CountedKeys keys;
    std::mt19937_64 pick(12345);
    in_both_forms([&] {
        // Recordings start mid-buffer, at a buffer's end and right before a re-key.
        for (std::size_t before : {3, 32, 8192 - 32, 8192 - 1}) {
            RandomGenerator generator = RandomGenerator::from_key(first_key);
            for (std::size_t i = 0; i < before; ++i) generator.next_u64();
            allotra::StreamRecord record;
            generator.start_recording(record);
            std::vector<std::uint64_t> read;
            while (read.size() < 4 * 8192) {
                // Reads of both kinds, in pieces of varied length.
                std::vector<std::uint64_t> piece(pick() % 3000);
                if (pick() % 2 == 0) {
                    generator.fill(piece);
                } else {
                    for (std::uint64_t& v : piece) v = generator.next_u64();
                }
                read.insert(read.end(), piece.begin(), piece.end());
            }
            generator.stop_recording();
            generator.next_u64();  // not part of the record
            CHECK(record.keys.size() >= 4);

            std::vector<std::uint64_t> again(read.size());
            allotra::replay(record, 0, again);
            CHECK(again == read);
            for (int trial = 0; trial < 300; ++trial) {
                const std::uint64_t first = pick() % read.size();
                std::vector<std::uint64_t> run(std::min<std::uint64_t>(pick() % 40, read.size() - first));
                allotra::replay(record, first, run);
                for (std::size_t i = 0; i < run.size(); ++i) CHECK_EQ(run[i], read[first + i]);
            }
        }
    });
}
