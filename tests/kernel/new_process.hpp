// What the test program's main tells exit_status_in_new_process (harness.hpp).
#pragma once

namespace kernel_tests {

void remember_program(const char* argv0);
// The test that runs now; `in_child` when this process was started for it.
void enter_test(const char* name, bool in_child);

}  // namespace kernel_tests
