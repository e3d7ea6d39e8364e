// The rule that fixes the number of worker threads, kept apart from the pool so
// that it can be checked with any values, without touching the environment.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "kernel/pool/worker_pool.hpp"

namespace allotra {

namespace {

constexpr std::uint64_t largest_pool = 65535;

// A value counts only when all of it is a decimal number: a leading or trailing
// space, a sign other than one '+', or a value beyond 64 bits makes the
// variable count as unset rather than being read in part.
std::optional<std::uint64_t> parse_whole_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint64_t> parse_if_set(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    return parse_whole_unsigned(*text);
}

}  // namespace

std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus,
                           std::size_t processors) {
    const std::uint64_t by_processors = processors == 0 ? 1 : processors;
    std::uint64_t size = by_processors;
    if (auto threads = parse_if_set(rayon_num_threads)) {
        // An explicit 0 asks for the default and overrides the second variable.
        if (*threads >= 1) size = *threads;
    } else if (auto cpus = parse_if_set(rayon_rs_num_cpus); cpus && *cpus >= 1) {
        size = *cpus;
    }
    return static_cast<std::size_t>(std::min(size, largest_pool));
}

}  // namespace allotra
