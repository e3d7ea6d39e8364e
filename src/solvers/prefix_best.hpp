// The best of the longest prefix 0, 1, ..., k - 1 of a batch's indices whose
// constructions have all completed, whatever order they complete in: what a
// run stopped early keeps, so that it returns what a batch of k returns
// (strictly greater wins, the lowest index wins ties, a NaN never wins,
// nothing below the empty selection's 0.0).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kernel/selection.hpp"
#include "solvers/run_history.hpp"

namespace allotra {

class PrefixBest {
public:
    // The construction of `index` has completed; any thread may call it.
    void complete(std::uint64_t index, Selection selection);

    // The prefix's length and best value so far.
    std::pair<std::uint64_t, double> progress() const;
    // The prefix's best value so far, without the lock: every index not yet
    // completed comes after the prefix, so one that does not exceed it
    // cannot win.
    double best_value() const { return best_value_.load(std::memory_order_relaxed); }

    // Once no construction runs any more: the prefix's best, its length and
    // the improvements within it.
    Selection take_best() { return std::move(best_); }
    std::uint64_t length() const { return length_; }
    std::vector<Improvement> take_history() { return history_.take(); }

private:
    // A completed index past the prefix; its cells are kept only while it
    // may still become the best.
    struct Waiting {
        double value;
        std::optional<Selection> selection;
    };
    void extend(double value, std::optional<Selection>& selection);

    mutable std::mutex mutex_;
    Selection best_;
    std::atomic<double> best_value_{0.0};
    std::uint64_t length_ = 0;
    History history_;
    std::map<std::uint64_t, Waiting> waiting_;
};

}  // namespace allotra
