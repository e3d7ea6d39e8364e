// Seeds of repeatable runs and the keys of their streams. Every construction
// of a seeded run draws from a stream of its own, keyed by its place in the
// run (an index, or an iteration and an ant), so what it draws depends neither
// on the thread that builds it nor on what other constructions drew.
#pragma once

#include <cstdint>
#include <limits>

#include "kernel/random/chacha.hpp"

namespace allotra {

// A 128-bit seed.
struct Seed {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
};

// A seed from the operating system's secure source.
Seed seed_from_os();

// Which solver a run's streams belong to, so that the two solvers given the
// same seed draw unrelated streams.
enum class SeedDomain : std::uint8_t { probabilistic = 1, ant_colony = 2 };

// The root key of a run: the seed's 16 bytes (little-endian), the domain's
// byte, zeros. It only ever derives keys; no output is read from it.
ChaChaKey run_key(Seed seed, SeedDomain domain);

// The key of child `place` of `parent`: the first 32 bytes of ChaCha block
// number `place` under `parent`.
ChaChaKey derived_key(const ChaChaKey& parent, std::uint64_t place);

// The key that follows `key` in a seeded stream. A key gives output from block
// 0 up to its re-key (a thousand blocks), never from the last block number,
// from which its successor is taken instead.
inline ChaChaKey following_key(const ChaChaKey& key) {
    return derived_key(key, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace allotra
