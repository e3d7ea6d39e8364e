// Which form of a construction a solver runs.
#pragma once

namespace allotra {

// Literal: every step rescans all cells (the reference form). Fast: the same
// distribution from incremental data structures. Automatic: whichever is
// faster for the task's size.
enum class ConstructionForm { automatic, literal, fast };

}  // namespace allotra
