// Seeded streams: the known answers that every platform must give (the
// Windows build checks them under Wine), the stream's derivation from the
// block function, and record and replay across its deterministic re-keys.
#include <cstdint>
#include <vector>

#include "harness.hpp"
#include "kernel/random/random.hpp"
#include "kernel/random/seeds.hpp"

namespace {

using allotra::ChaChaKey;
using allotra::RandomGenerator;

constexpr std::uint64_t values_per_key = RandomGenerator::reseed_threshold / 8;

// The stream of the probabilistic run with seed 2**64 + 2, construction 5.
ChaChaKey sample_key() {
    const ChaChaKey root = allotra::run_key(allotra::Seed{2, 1}, allotra::SeedDomain::probabilistic);
    return allotra::derived_key(root, 5);
}

// Value v of a stream with first key `key`, straight from the block function.
std::uint64_t from_blocks(ChaChaKey key, std::uint64_t v) {
    for (std::uint64_t k = 0; k < v / values_per_key; ++k) key = allotra::following_key(key);
    const std::uint64_t within = v % values_per_key;
    const allotra::ChaChaBlock block = allotra::chacha_block(key, within / 8);
    return (std::uint64_t{block[2 * (within % 8) + 1]} << 32) | block[2 * (within % 8)];
}

}  // namespace

// Computed independently with a ChaCha12 written from its definition.
TEST(seeded_stream_known_answers) {
    RandomGenerator stream = RandomGenerator::seeded(sample_key());
    std::vector<std::uint64_t> values(values_per_key + 2);
    stream.fill(values);
    CHECK_EQ(values[0], std::uint64_t{0x9d9e57601f8e3090});
    CHECK_EQ(values[1], std::uint64_t{0xe511761987259dd9});
    CHECK_EQ(values[values_per_key], std::uint64_t{0x847dcf4a94d295c0});  // under the second key
    for (std::uint64_t v : {std::uint64_t{0}, std::uint64_t{9}, values_per_key - 1, values_per_key + 1}) {
        CHECK_EQ(values[v], from_blocks(sample_key(), v));
    }
}

TEST(seeded_stream_replays_across_its_rekeys) {
    RandomGenerator stream = RandomGenerator::seeded(sample_key());
    for (int k = 0; k < 1000; ++k) stream.next_u64();
    allotra::StreamRecord record;
    stream.start_recording(record);
    std::vector<std::uint64_t> read(3 * values_per_key);
    stream.fill(read);
    stream.reseed();  // a seeded stream's reseed is its next key, too
    CHECK_EQ(stream.next_u64(), from_blocks(sample_key(), 4 * values_per_key));
    std::vector<std::uint64_t> again(read.size());
    allotra::replay(record, 0, again);
    CHECK(again == read);
    CHECK_EQ(read.back(), from_blocks(sample_key(), 999 + read.size()));
}

TEST(seeded_streams_differ_by_place_and_solver) {
    const auto first = [](allotra::Seed seed, allotra::SeedDomain domain, std::uint64_t place) {
        return from_blocks(allotra::derived_key(allotra::run_key(seed, domain), place), 0);
    };
    const std::uint64_t sample = first({2, 1}, allotra::SeedDomain::probabilistic, 5);
    CHECK(sample != first({2, 1}, allotra::SeedDomain::probabilistic, 6));
    CHECK(sample != first({2, 1}, allotra::SeedDomain::ant_colony, 5));
    CHECK(sample != first({2, 0}, allotra::SeedDomain::probabilistic, 5));
}
