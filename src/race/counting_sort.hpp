// A stable counting sort in pieces on the worker pool: each piece counts its
// own elements' digits, one prefix over (digit, piece) gives every piece its
// places, and each piece scatters its elements in its own order. Elements of
// one digit keep their order, whatever the number of pieces: the result is
// that of the one-piece sort bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/pool/chunked.hpp"
#include "kernel/pool/setup_pass.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "race/limits.hpp"

namespace allotra {

// How many pieces a pass over `count` elements with `digits` digits takes:
// none smaller than limits.sort_piece_cells (a hand-over to the pool costs
// more than a small piece), at most 4 per worker (the others' work may hold a
// core), and the counts of all pieces together at most 8 bytes an element.
inline std::uint64_t sort_pieces(std::uint64_t count, std::uint64_t digits, const RaceLimits& limits) {
    const std::uint64_t by_size = count / std::max<std::uint64_t>(limits.sort_piece_cells, 1);
    const std::uint64_t by_memory = count / std::max<std::uint64_t>(digits, 1);
    return std::max<std::uint64_t>(1, std::min({by_size, by_memory, 4 * (pool_size() + 1)}));
}

// Places element(k) for every k in [0, count) at out[position], positions in
// ascending digit(k) < digits, equal digits in ascending k; returns each
// digit's count (`totals`). A stop requested meanwhile throws Cancelled.
template <typename Out, typename Element, typename Digit>
void stable_counting_sort(std::uint64_t count, std::uint64_t digits, Element element, Digit digit, Out* out,
                          std::uint64_t pieces, std::vector<std::uint64_t>& totals) {
    pieces = std::max<std::uint64_t>(1, std::min(pieces, count));
    const std::uint64_t piece_length = (count + pieces - 1) / std::max<std::uint64_t>(pieces, 1);
    pieces = count == 0 ? 1 : (count + piece_length - 1) / piece_length;
    const auto range_of = [&](std::uint64_t piece) {
        const std::uint64_t begin = piece * piece_length;
        return std::pair{begin, std::min(count, begin + piece_length)};
    };
    std::vector<std::vector<std::uint64_t>> next(pieces);
    entering_setup_pass("sort: count");
    // Workers see a stop only once the waiting caller has polled.
    stop_if_requested();
    run_batch(pieces, [&](std::uint64_t piece, std::size_t) {
        std::vector<std::uint64_t>& counts = next[piece];
        counts.assign(digits, 0);
        const auto [begin, end] = range_of(piece);
        for (std::uint64_t k = begin; k < end; ++k) {
            if ((k - begin) % stop_check_cells == 0) stop_if_requested();
            ++counts[digit(k)];
        }
    });
    entering_setup_pass("sort: places");
    totals.assign(digits, 0);
    std::uint64_t position = 0;
    for (std::uint64_t d = 0; d < digits; ++d) {
        if (d % stop_check_cells == 0) stop_if_requested();
        const std::uint64_t first = position;
        for (std::vector<std::uint64_t>& counts : next) position += std::exchange(counts[d], position);
        totals[d] = position - first;
    }
    entering_setup_pass("sort: scatter");
    stop_if_requested();
    run_batch(pieces, [&](std::uint64_t piece, std::size_t) {
        std::uint64_t* places = next[piece].data();
        const auto [begin, end] = range_of(piece);
        for (std::uint64_t k = begin; k < end; ++k) {
            if ((k - begin) % stop_check_cells == 0) stop_if_requested();
            out[places[digit(k)]++] = element(k);
        }
    });
}

}  // namespace allotra
