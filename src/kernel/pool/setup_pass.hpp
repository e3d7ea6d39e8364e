// The passes over a task's cells that a solve makes besides its
// constructions (before the first, between the colony's iterations, and the
// answer) each name themselves as they start, so that a test can stop a
// solve inside any one of them and see that the pass itself ends it.
#pragma once

namespace allotra {

// Called on the solve's calling thread as a setup pass starts; costs one
// relaxed load unless a test has set a hook.
void entering_setup_pass(const char* name) noexcept;

namespace testing {
// Called with the pass's name by entering_setup_pass (nullptr: no call). A
// hook may request a stop and hold the thread (past the poll's interval) to
// keep the solve inside the pass. Production never sets it.
void set_setup_pass_hook(void (*hook)(const char* name));
}  // namespace testing

}  // namespace allotra
