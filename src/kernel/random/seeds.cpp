// Seeds from the operating system and the keys derived from a seed.
#include "kernel/random/seeds.hpp"

#include <cstddef>

#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

void put_little_endian(std::uint8_t* to, std::uint64_t value) {
    for (int byte = 0; byte < 8; ++byte) to[byte] = static_cast<std::uint8_t>(value >> (8 * byte));
}

}  // namespace

Seed seed_from_os() {
    std::uint8_t bytes[16];
    platform::secure_random_bytes(bytes, sizeof bytes);
    Seed seed;
    for (int byte = 0; byte < 8; ++byte) {
        seed.low |= std::uint64_t{bytes[byte]} << (8 * byte);
        seed.high |= std::uint64_t{bytes[8 + byte]} << (8 * byte);
    }
    return seed;
}

ChaChaKey run_key(Seed seed, SeedDomain domain) {
    ChaChaKey key{};
    put_little_endian(key.data(), seed.low);
    put_little_endian(key.data() + 8, seed.high);
    key[16] = static_cast<std::uint8_t>(domain);
    return key;
}

ChaChaKey derived_key(const ChaChaKey& parent, std::uint64_t place) {
    const ChaChaBlock block = chacha_block(parent, place);
    ChaChaKey key;
    for (std::size_t word = 0; word < 8; ++word) {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            key[4 * word + byte] = static_cast<std::uint8_t>(block[word] >> (8 * byte));
        }
    }
    return key;
}

}  // namespace allotra
