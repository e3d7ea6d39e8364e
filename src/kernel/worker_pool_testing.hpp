// For tests only: lets the native tests reach the pool's failure path, which a
// healthy machine never takes. Production code must not include this header.
#pragma once

namespace allotra::testing {

// Forgets the current pool (its threads are left alone, never joined) and makes
// the next creation behave as if the operating system refused to start a
// thread. Call it only while no batch runs, preferably in a forked child so
// that the rest of the test process keeps a working pool.
void fail_next_pool_creation();

}  // namespace allotra::testing
