// The checks of a task, in the order their messages are reported.
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
    bool all_in_range = true;
    for_each_element(omega, [&](double w) { all_in_range = all_in_range && discount_in_range(w); });
    return all_in_range;
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
