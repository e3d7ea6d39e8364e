// What a run keeps of its course: the improvements of its best value.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace allotra {

// The best value became `value` with iteration (construction) `iteration`,
// counted from 1.
struct Improvement {
    std::uint64_t iteration;
    double value;
    bool operator==(const Improvement&) const = default;
};

// A run's improvements, in order: one entry each time the best value rises,
// so that an hour-long run keeps a handful of entries, not one per
// construction. Nothing below the empty selection's 0.0 counts, and a NaN
// never does.
class History {
public:
    void completed(std::uint64_t iteration, double best) {
        const double last = improvements_.empty() ? 0.0 : improvements_.back().value;
        if (best > last) improvements_.push_back({iteration, best});
    }
    std::vector<Improvement> take() { return std::move(improvements_); }

private:
    std::vector<Improvement> improvements_;
};

}  // namespace allotra
