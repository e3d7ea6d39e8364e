// Per-cell passes over a whole grid (the colony's weights and pheromone
// update, the sums of a tree) split into chunks of consecutive indices that
// the worker pool runs at once. A pass must give every index the same
// arithmetic whichever chunk holds it, so the result does not depend on how
// the chunks fall.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernel/error.hpp"
#include "kernel/pool/worker_pool.hpp"

namespace allotra {

// Large enough that a chunk outweighs handing it to a worker, small enough
// that both cores get many chunks of a 1000 x 1000 grid.
inline constexpr std::uint64_t default_chunk = 16384;

// How many cells a long loop handles between two looks at the stop request.
inline constexpr std::uint64_t stop_check_cells = 4096;

// Ends a long loop of a solve that has been asked to stop.
inline void stop_if_requested() {
    if (stop_requested()) throw Cancelled();
}

// Runs body(begin, end) over [0, count) in chunks of `chunk` indices; a single
// chunk runs on the calling thread. Inside a solve, a stop requested through
// its InterruptScope starts no pass and no further chunk, and throws
// Cancelled; a chunk is short enough not to check for it itself.
template <typename Body>
void run_in_chunks(std::uint64_t count, Body&& body, std::uint64_t chunk = default_chunk) {
    if (count == 0) return;
    stop_if_requested();
    const std::uint64_t chunks = (count - 1) / chunk + 1;
    if (chunks == 1) {
        body(std::uint64_t{0}, count);
        return;
    }
    run_batch(chunks, [&](std::uint64_t index, std::size_t) {
        const std::uint64_t begin = index * chunk;
        body(begin, std::min(count, begin + chunk));
    });
}

}  // namespace allotra
