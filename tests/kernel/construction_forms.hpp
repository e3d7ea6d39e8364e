// The forms in which the tests build constructions, and small tasks to build
// them on: shared by the law tests and the tests of the race's edges.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cell_list.hpp"
#include "kernel/matrix.hpp"
#include "kernel/random/random.hpp"
#include "model/task.hpp"
#include "reference_constructions.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"

namespace allotra::construction_tests {

// The module's construction draws tiny races step by step; `sorted` sorts
// every race's keys; `binned` and `replayed` use limits so small that a race
// of two cells is binned into a handful of bins and read in slices of 3:
// `binned` keeps the keys, `replayed` reads them again from the random stream;
// `shaped` starts from 256 bins of 8 an octave, which bin_shape halves for
// small races as it does the real 4096, and replays; `skipping` samples only
// the cells whose keys fall in each interval, whatever the race's size, in
// bands of two cells or more, and puts an interval's keys in order through a handful
// of bins; `skipping_exactly` groups by each amount alone and settles each of
// its arrivals by the cell's own scale; `merging` and `merging_exactly` put
// every amount in one band of at most 3 groups, merging its classes into a
// head and a tail where they are more.
enum class Form { reference, module, sorted, binned, replayed, shaped, skipping, skipping_exactly, merging, merging_exactly };
inline constexpr Form every_form[] = {Form::reference, Form::module,   Form::sorted,           Form::binned,
                                      Form::replayed,  Form::shaped,   Form::skipping,         Form::skipping_exactly,
                                      Form::merging,   Form::merging_exactly};

inline RaceLimits limits_of(Form form) {
    if (form == Form::sorted) return {.step_limit = 0, .sort_limit = 1000};
    if (form >= Form::skipping) {
        // Few, wide bins, so that an interval's keys share them.
        const bool merging = form >= Form::merging;
        return {.step_limit = 0, .sort_limit = 0, .bins = 5, .octave_bits = 1, .skip_cells = 1, .skip_share = 1.0,
                .skip_group_cells = 1, .band_groups = merging ? 3u : ~0ull, .run_cells = 1,
                .band_cells = merging ? 1000u : form == Form::skipping ? 2u : 1u, .sorted_keys = 0,
                .settle_by_digits = form == Form::skipping || form == Form::merging};
    }
    if (form == Form::shaped) {
        return {.step_limit = 0, .sort_limit = 0, .bins = 256, .octave_bits = 3, .slice = 7, .kept_keys = 0};
    }
    return {.step_limit = 0, .sort_limit = 0, .bins = 5, .octave_bits = 1, .slice = 3,
            .kept_keys = form == Form::binned ? 1000u : 0u};
}

inline const char* name_of(Form form) {
    const char* names[] = {"reference", "module",   "sorted",           "binned",  "replayed",
                           "shaped",    "skipping", "skipping_exactly", "merging", "merging_exactly"};
    return names[static_cast<int>(form)];
}

// One construction after another on this thread, whichever form builds them.
using Construct = std::function<Selection()>;

template <typename Construction, typename... Inputs>
Construct construct_with(const Inputs&... inputs) {
    auto construction = std::make_shared<Construction>(inputs...);
    if constexpr (requires { construction->prepare_iteration(); }) construction->prepare_iteration();
    return [construction] { return construction->construct(thread_generator(), 0); };
}

inline Construct probabilistic_in(Form form, const Task& task, const FloatMatrix& density) {
    if (form == Form::reference) return construct_with<ReferenceProbabilistic>(task, density);
    if (form != Form::module) return construct_with<ProbabilisticConstruction>(task, density, limits_of(form));
    return construct_with<ProbabilisticConstruction>(task, density);
}

inline Construct ants_in(Form form, const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                         const FloatMatrix& eta) {
    if (form == Form::reference) return construct_with<ReferenceAnts>(task, tau, parameters, eta);
    if (form != Form::module) return construct_with<AntConstruction>(task, tau, parameters, eta, limits_of(form));
    return construct_with<AntConstruction>(task, tau, parameters, eta);
}

template <typename T>
Matrix<T> matrix_of(std::uint64_t m, std::uint64_t n, const std::vector<T>& row_major, bool column_major) {
    Matrix<T> matrix = allocate_matrix<T>(column_major ? n : m, column_major ? m : n, false);
    matrix.rows = m;
    matrix.cols = n;
    if (column_major) {
        matrix.row_stride = 1;
        matrix.col_stride = static_cast<std::int64_t>(m);
    }
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < n; ++j) matrix.at(i, j) = row_major[i * n + j];
    }
    return matrix;
}

// A task whose c and omega give every cell the value 1; the tests of the
// value build their own.
inline Task task_of(std::uint64_t m, std::uint64_t n, const std::vector<std::int64_t>& b, std::int64_t b_total) {
    Task task;
    task.m = m;
    task.n = n;
    task.c = matrix_of<std::int64_t>(m, n, std::vector<std::int64_t>(m * n, 1), false);
    task.b_ij = matrix_of(m, n, b, false);
    task.b_total = b_total;
    task.omega = matrix_of<double>(m, n, std::vector<double>(m * n, 0.0), false);
    return task;
}

inline std::uint64_t mask_of(const Selection& outcome) {
    std::uint64_t mask = 0;
    for (std::uint64_t cell : cells_of(outcome)) mask |= std::uint64_t{1} << cell;
    return mask;
}

}  // namespace allotra::construction_tests
