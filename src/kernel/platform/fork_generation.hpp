// Tells state inherited through fork from state made in this process. A child
// shares its parent's memory image, so a random stream would repeat the
// parent's, and a pool would point at threads that do not exist in the child
// and at mutexes that may have been copied while locked.
#pragma once

#include <cstdint>

namespace allotra {

// The same value for the life of a process, and a different one in each child
// created by fork after the first call. State stamped with it, and found with
// another value later, was inherited and must be rebuilt before use; the old
// copy must not be touched beyond reading its stamp.
std::uint64_t fork_generation();

}  // namespace allotra
