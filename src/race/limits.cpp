// The ranges a race's limits are built for.
#include "race/limits.hpp"

#include "kernel/error.hpp"

namespace allotra {

void check_race_limits(const RaceLimits& limits) {
    if (limits.bins < 1 || limits.bins > RaceLimits::max_bins) fail("the race's bin count is out of range");
    if (limits.octave_bits > RaceLimits::max_octave_bits) fail("the race's bins per octave are out of range");
    if (limits.slice < 1) fail("the race's slice is empty");
    if (limits.band_cells < 1) fail("the race's amount bands are empty");
}

}  // namespace allotra
