// The ChaCha block function against known answers, the generator's buffer
// handling (word order, periodic re-key) and the independence of generators
// across creations, threads and fork.
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "weighted_choice.hpp"
#include "kernel/random/chacha.hpp"
#include "kernel/random/random.hpp"

namespace {

using allotra::ChaChaBlock;
using allotra::ChaChaKey;
using allotra::RandomGenerator;

// The block as the 64 bytes it stands for, little-endian words, in hex.
std::string block_hex(const ChaChaBlock& block) {
    std::string out;
    char digits[3];
    for (std::uint32_t word : block) {
        for (int byte = 0; byte < 4; ++byte) {
            std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>((word >> (8 * byte)) & 0xFF));
            out += digits;
        }
    }
    return out;
}

std::uint64_t join(std::uint32_t low, std::uint32_t high) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

const ChaChaKey zero_key{};

ChaChaKey counting_key() {
    ChaChaKey key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

}  // namespace

TEST(random_chacha12_known_answers) {
    CHECK_EQ(block_hex(allotra::chacha_block(zero_key, 0)),
             std::string("9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
                         "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"));
    CHECK_EQ(block_hex(allotra::chacha_block(zero_key, 1)),
             std::string("0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
                         "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"));
    CHECK_EQ(block_hex(allotra::chacha_block(counting_key(), 0)),
             std::string("f231f9ffd17ac65e4405f325d7e940aa4913601fc2be46bce9c3cac3d91a1a36"
                         "5940b308c2857c9f29d6e2548528d49a612b1b0ae6765d16e585aefb46368879"));
}

TEST(random_chacha_counter_high_word) {
    // The counter's high half lives in word 13: it must change the output.
    ChaChaBlock low = allotra::chacha_block(zero_key, 1);
    ChaChaBlock high = allotra::chacha_block(zero_key, std::uint64_t{1} << 32);
    ChaChaBlock plain = allotra::chacha_block(zero_key, 0);
    CHECK(high != low);
    CHECK(high != plain);
}

TEST(random_generator_known_values) {
    RandomGenerator generator = RandomGenerator::from_key(zero_key);
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 33; ++i) values.push_back(generator.next_u64());
    CHECK_EQ(values[0], 0x53f955076a9af49bull);
    CHECK_EQ(values[1], 0xd583265f12ce1f81ull);
    CHECK_EQ(values[2], 0x1474e049bbc32904ull);
    CHECK_EQ(values[31], 0xdf2572cb9d5ed392ull);
    CHECK_EQ(values[32], 0x9a413c4bdf2cb7f4ull);
    CHECK_EQ(allotra::unit_from_bits(values[0]), 0.3280232565981398);

    // The whole first refill is blocks 0-3 in order, word pairs low-first.
    for (int i = 0; i < 32; ++i) {
        ChaChaBlock block = allotra::chacha_block(zero_key, static_cast<std::uint64_t>(i / 8));
        int word = (2 * i) % 16;
        CHECK_EQ(values[i], join(block[word], block[word + 1]));
    }
}

TEST(random_unit_from_bits_range) {
    CHECK_EQ(allotra::unit_from_bits(0), 0.0);
    // The low 12 bits do not take part.
    CHECK_EQ(allotra::unit_from_bits(0xFFF), 0.0);
    CHECK_EQ(allotra::unit_from_bits(~std::uint64_t{0}), 1.0 - std::ldexp(1.0, -52));
    CHECK_EQ(allotra::unit_from_bits(std::uint64_t{1} << 63), 0.5);
    CHECK_EQ(allotra::unit_from_bits(std::uint64_t{1} << 12), std::ldexp(1.0, -52));
}

TEST(random_rekey_after_65536_bytes) {
    RandomGenerator generator = RandomGenerator::from_key(zero_key);
    // 256 refills of 32 values each come from the first key.
    constexpr int values_per_key = 65536 / 8;
    std::uint64_t last = 0;
    for (int i = 0; i < values_per_key; ++i) last = generator.next_u64();
    ChaChaBlock final_block = allotra::chacha_block(zero_key, 4 * 256 - 1);
    CHECK_EQ(last, join(final_block[14], final_block[15]));

    // The next refill takes a new key and restarts the counter, so it matches
    // neither the zero key's continuation nor its beginning.
    std::vector<std::uint64_t> fresh;
    for (int i = 0; i < 32; ++i) fresh.push_back(generator.next_u64());
    int same_as_continuation = 0, same_as_start = 0;
    for (int i = 0; i < 32; ++i) {
        ChaChaBlock continuation = allotra::chacha_block(zero_key, 4 * 256 + static_cast<std::uint64_t>(i / 8));
        ChaChaBlock start = allotra::chacha_block(zero_key, static_cast<std::uint64_t>(i / 8));
        int word = (2 * i) % 16;
        same_as_continuation += fresh[i] == join(continuation[word], continuation[word + 1]);
        same_as_start += fresh[i] == join(start[word], start[word + 1]);
    }
    CHECK_EQ(same_as_continuation, 0);
    CHECK_EQ(same_as_start, 0);
}

TEST(random_reseed_discards_buffered_output) {
    RandomGenerator generator = RandomGenerator::from_key(zero_key);
    generator.next_u64();
    generator.reseed();
    std::uint64_t after = generator.next_u64();
    ChaChaBlock zero_block = allotra::chacha_block(zero_key, 0);
    ChaChaBlock zero_next = allotra::chacha_block(zero_key, 4);
    CHECK(after != join(zero_block[2], zero_block[3]));  // buffered continuation
    CHECK(after != join(zero_block[0], zero_block[1]));  // old key from counter 0
    CHECK(after != join(zero_next[0], zero_next[1]));    // old key's next refill
}

TEST(random_generators_from_os_differ) {
    RandomGenerator a = RandomGenerator::from_os();
    RandomGenerator b = RandomGenerator::from_os();
    int equal = 0;
    for (int i = 0; i < 8; ++i) equal += a.next_u64() == b.next_u64();
    CHECK_EQ(equal, 0);
}

TEST(random_bits_are_balanced) {
    // Each of the 64 bits is set with probability 1/2; a bound of 6.5 standard
    // deviations makes a false alarm (all bits together) rarer than 1e-8.
    RandomGenerator generator = RandomGenerator::from_os();
    constexpr int draws = 200000;  // crosses two dozen re-keys
    std::vector<int> ones(64, 0);
    for (int i = 0; i < draws; ++i) {
        std::uint64_t v = generator.next_u64();
        for (int bit = 0; bit < 64; ++bit) ones[bit] += static_cast<int>((v >> bit) & 1);
    }
    const double sigma = std::sqrt(draws * 0.25);
    for (int bit = 0; bit < 64; ++bit) {
        double deviation = std::fabs(ones[bit] - draws * 0.5);
        if (deviation > 6.5 * sigma) {
            ::kernel_tests::record_failure(__FILE__, __LINE__,
                                           "bit " + std::to_string(bit) + " set " + std::to_string(ones[bit]) +
                                               " times in " + std::to_string(draws));
        }
    }
}

TEST(random_thread_generator_is_per_thread) {
    RandomGenerator* here = &allotra::thread_generator();
    CHECK(here == &allotra::thread_generator());

    RandomGenerator* there = nullptr;
    std::uint64_t there_values[4] = {};
    std::thread other([&] {
        there = &allotra::thread_generator();
        for (std::uint64_t& v : there_values) v = allotra::thread_generator().next_u64();
    });
    other.join();
    CHECK(there != here);
    int equal = 0;
    for (std::uint64_t v : there_values) equal += v == here->next_u64();
    CHECK_EQ(equal, 0);
}

// Fork itself is under test: POSIX only.
#if !defined(_WIN32)
TEST(random_forked_child_takes_a_new_key) {
    constexpr int count = 4;
    allotra::thread_generator().next_u64();  // in use before the fork

    int fds[2];
    REQUIRE(pipe(fds) == 0);
    std::fflush(stdout);
    pid_t child = fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        close(fds[0]);
        std::uint64_t values[count];
        for (std::uint64_t& v : values) v = allotra::thread_generator().next_u64();
        ssize_t written = write(fds[1], values, sizeof values);
        _exit(written == static_cast<ssize_t>(sizeof values) ? 0 : 1);
    }
    close(fds[1]);
    std::uint64_t parent_values[count];
    for (std::uint64_t& v : parent_values) v = allotra::thread_generator().next_u64();

    std::uint64_t child_values[count] = {};
    std::size_t received = 0;
    auto* bytes = reinterpret_cast<char*>(child_values);
    while (received < sizeof child_values) {
        ssize_t got = read(fds[0], bytes + received, sizeof child_values - received);
        if (got <= 0) break;
        received += static_cast<std::size_t>(got);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    REQUIRE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    REQUIRE(received == sizeof child_values);

    int equal = 0;
    for (int i = 0; i < count; ++i) equal += child_values[i] == parent_values[i];
    CHECK_EQ(equal, 0);
}
#endif

TEST(random_a_construction_nested_in_another_draws_from_another_generator) {
    // A signal handler's solve runs inside a construction's stop check on the
    // same thread; sharing the generator would shift the values the outer
    // construction reads again by index.
    allotra::RandomGenerator& outer = allotra::thread_generator();
    {
        allotra::GeneratorInUse drawing(outer);
        allotra::RandomGenerator& inner = allotra::thread_generator();
        CHECK(&inner != &outer);
        {
            allotra::GeneratorInUse also_drawing(inner);
            allotra::RandomGenerator& innermost = allotra::thread_generator();
            CHECK(&innermost != &inner && &innermost != &outer);
        }
        CHECK(&allotra::thread_generator() == &inner);
    }
    CHECK(&allotra::thread_generator() == &outer);
}
