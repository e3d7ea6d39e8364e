// One problem instance: an m x n grid of cells with a value c, a resource use
// b_ij and a discount omega each, and one budget b_total for the whole grid.
// Immutable once built; worker threads read it without locks.
#pragma once

#include <cstdint>
#include <optional>

#include "kernel/matrix.hpp"

namespace allotra {

struct Task {
    std::uint64_t m = 0;
    std::uint64_t n = 0;
    IntMatrix c;
    IntMatrix b_ij;
    std::int64_t b_total = 0;
    FloatMatrix omega;
};

enum class TaskDefect {
    cost_shape,
    resource_shape,
    discount_shape,
    discount_range,
    budget_not_positive,
};

// Runs the checks in their fixed order and reports the first that fails.
std::optional<TaskDefect> check_task(const Task& task);

// The message shown to users for each defect (UTF-8).
const char* defect_message(TaskDefect defect);

}  // namespace allotra
