// The colony's pheromone update (evaporation, deposit and its scale), and the
// colony solver with the module's ants.
#include "solvers/ant_colony.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "kernel/cell_reader.hpp"
#include "kernel/error.hpp"
#include "kernel/pool/setup_pass.hpp"
#include "kernel/simd/taken_cells.hpp"
#include "solvers/constructions.hpp"

namespace allotra {

double deposit_scale(const Task& task) {
    if (task.m == 0 || task.n == 0) return std::numeric_limits<double>::quiet_NaN();  // 0 / 0 mean; m may be huge when n is 0
    // The sum of b_ij is exact, then rounded; c's largest, never below 0.
    // In parallel chunks: both are the same whatever the order.
    struct Facts {
        WideInt total = 0;
        std::int64_t top = 0;
    };
    entering_setup_pass("deposit scale");
    const std::uint64_t cells = task.m * task.n;
    const CellReader<std::int64_t> b(task.b_ij, task.n), c(task.c, task.n);
    std::vector<Facts> chunks((cells + default_chunk - 1) / default_chunk);
    run_in_chunks(cells, [&](std::uint64_t begin, std::uint64_t end) {
        Facts facts;
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            if ((cell - begin) % stop_check_cells == 0) stop_if_requested();
            facts.total += b(cell);
            facts.top = std::max(facts.top, c(cell));
        }
        chunks[begin / default_chunk] = facts;
    });
    Facts all;
    for (const Facts& facts : chunks) {
        all.total = wide_sum(all.total, facts.total);
        all.top = std::max(all.top, facts.top);
    }
    return deposit_scale_of(task, all.total, all.top);
}

double deposit_scale_of(const Task& task, WideInt amount_total, std::int64_t top) {
    if (task.m == 0 || task.n == 0) return std::numeric_limits<double>::quiet_NaN();
    const double mean = to_double(amount_total) / static_cast<double>(task.m * task.n);
    const double ratio = static_cast<double>(task.b_total) / mean;
    const double scale = ratio * static_cast<double>(top);
    // With no positive value (top = 0) and a negative mean consumption the
    // product is -0.0, which would turn a negative deposit into +inf and make
    // the next iteration's total weight infinite. A zero scale is always +0.0:
    // a negative value then deposits -inf and its cells are not drawn again.
    return scale == 0.0 ? 0.0 : scale;
}

void evaporate_into(FloatMatrix& next, const FloatMatrix& tau, double rho, std::uint64_t chunk) {
    const double keep = 1.0 - rho;
    const double* from = tau.elements.get();
    double* to = next.elements.get();
    run_in_chunks(
        tau.size(),
        [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t k = begin; k < end; ++k) to[k] = from[k] * keep;
        },
        chunk);
}

void deposit(FloatMatrix& next, double scale, const std::vector<Selection>& ants, std::uint64_t chunk) {
    std::vector<double> deposits;
    deposits.reserve(ants.size());
    for (const Selection& ant : ants) deposits.push_back(ant.value / scale);
    double* cells = next.elements.get();
    // Each chunk of cells receives the ants' deposits in ant order, so no
    // cell's arithmetic depends on where the chunks fall.
    run_in_chunks(
        next.size(),
        [&](std::uint64_t begin, std::uint64_t end) {
            for (std::size_t a = 0; a < ants.size(); ++a) {
                const std::vector<std::uint64_t>& taken = ants[a].taken;
                add_where_taken(cells, taken.data(), begin, std::min<std::uint64_t>(end, taken.size() * 64),
                                deposits[a]);
            }
        },
        chunk);
}

std::uint64_t ants_at_once(std::uint64_t num_ants, std::uint64_t cells) {
    // Ants' bitmaps of about 16 MiB at most, but never fewer ants than keep
    // every worker busy twice over.
    constexpr std::uint64_t bitmap_bits = std::uint64_t{1} << 27;
    const std::uint64_t bounded = std::max<std::uint64_t>(2 * (pool_size() + 1), bitmap_bits / std::max<std::uint64_t>(cells, 1));
    return std::min(num_ants, bounded);
}

Solution solve_ant_colony(const Task& task, const AntColonyParameters& parameters, const InterruptPoll& interrupted) {
    return solve_ant_colony_with<AntConstruction>(task, parameters, interrupted);
}

Selection best_ant_colony(const Task& task, const AntColonyParameters& parameters, const InterruptPoll& interrupted) {
    return best_ant_colony_with<AntConstruction>(task, parameters, interrupted);
}

}  // namespace allotra
