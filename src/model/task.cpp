#include "model/task.hpp"

namespace allotra {

namespace {

template <typename T>
bool has_shape(const Matrix<T>& matrix, std::uint64_t m, std::uint64_t n) {
    return matrix.rows == m && matrix.cols == n;
}

// A NaN compares neither below 0 nor above 1, and passes.
bool discount_in_range(double w) { return !(w < 0.0) && !(w > 1.0); }

bool discounts_in_range(const FloatMatrix& omega) {
    if (omega.size() == 0) {
        return true;
    }
    if (omega.is_row_major()) {
        const double* w = omega.ptr(0, 0);
        for (std::uint64_t k = 0, count = omega.size(); k < count; ++k) {
            if (!discount_in_range(w[k])) {
                return false;
            }
        }
        return true;
    }
    for (std::uint64_t i = 0; i < omega.rows; ++i) {
        for (std::uint64_t j = 0; j < omega.cols; ++j) {
            if (!discount_in_range(*omega.ptr(i, j))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::optional<TaskDefect> check_task(const Task& task) {
    if (!has_shape(task.c, task.m, task.n)) return TaskDefect::cost_shape;
    if (!has_shape(task.b_ij, task.m, task.n)) return TaskDefect::resource_shape;
    if (!has_shape(task.omega, task.m, task.n)) return TaskDefect::discount_shape;
    if (!discounts_in_range(task.omega)) return TaskDefect::discount_range;
    if (task.b_total <= 0) return TaskDefect::budget_not_positive;
    return std::nullopt;
}

const char* defect_message(TaskDefect defect) {
    switch (defect) {
        case TaskDefect::cost_shape:
            return "Некоректні розміри матриці вартості";
        case TaskDefect::resource_shape:
            return "Некоректні розміри матриці витрат ресурсу";
        case TaskDefect::discount_shape:
            return "Некоректні розміри матриці знижок";
        case TaskDefect::discount_range:
            return "Знижки повинні бути в діапазоні [0, 1]";
        case TaskDefect::budget_not_positive:
            return "Загальний ресурс повинен бути додатнім";
    }
    return "";
}

}  // namespace allotra
