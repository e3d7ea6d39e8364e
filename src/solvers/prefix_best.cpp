// The best of a run's completed prefix of constructions.
#include "solvers/prefix_best.hpp"

#include "kernel/error.hpp"

namespace allotra {

void PrefixBest::complete(std::uint64_t index, Selection selection) {
    std::lock_guard lock(mutex_);
    // A place completed twice would wait forever behind the prefix and
    // hold back every place that completes out of order after it.
    if (index < length_ || waiting_.contains(index)) fail("a place of the run was built twice");
    std::optional<Selection> completed(std::move(selection));
    if (index != length_) {
        // Waiting: it may win only over the prefix's best and over every
        // earlier waiting index (which wins an equal value); a later one that
        // it equals or beats cannot win any more.
        const double value = completed->value;
        bool may_win = value > best_.value;
        for (auto& [other, waiting] : waiting_) {
            if (other < index && waiting.value >= value) may_win = false;
            if (other > index && value >= waiting.value) waiting.selection.reset();
        }
        if (!may_win) completed.reset();
        waiting_.emplace(index, Waiting{value, std::move(completed)});
        return;
    }
    extend(completed->value, completed);
    while (!waiting_.empty() && waiting_.begin()->first == length_) {
        Waiting& next = waiting_.begin()->second;
        extend(next.value, next.selection);
        waiting_.erase(waiting_.begin());
    }
}

void PrefixBest::extend(double value, std::optional<Selection>& selection) {
    if (value > best_.value) {
        if (!selection) fail("a construction that wins was not kept");
        best_ = std::move(*selection);
        best_value_.store(best_.value, std::memory_order_relaxed);
    }
    history_.completed(++length_, best_.value);
}

std::pair<std::uint64_t, double> PrefixBest::progress() const {
    std::lock_guard lock(mutex_);
    return {length_, best_.value};
}

}  // namespace allotra
