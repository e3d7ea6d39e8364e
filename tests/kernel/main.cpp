#include <cstdio>
#include <cstring>
#include <exception>

#include "harness.hpp"
#include "new_process.hpp"

namespace kernel_tests {

namespace {
int failures_in_current = 0;
}

std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

void record_failure(const char* file, int line, const std::string& what) {
    ++failures_in_current;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace kernel_tests

namespace {

// The process that exit_status_in_new_process started for one test.
int run_as_child(const char* name) {
    using namespace kernel_tests;
    for (const TestCase& test : registry()) {
        if (std::strcmp(test.name, name) != 0) continue;
        enter_test(test.name, true);
        try {
            test.body();
        } catch (...) {
        }
        std::printf("  %s did not reach its new process\n", name);
        return 97;
    }
    std::printf("  no test named %s\n", name);
    return 96;
}

}  // namespace

// Usage: kernel_tests [substring]  runs the tests whose name contains it.
int main(int argc, char** argv) {
    using namespace kernel_tests;
    remember_program(argv[0]);
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return run_as_child(argv[2]);
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int failed = 0, ran = 0;
    for (const TestCase& test : registry()) {
        if (filter && std::strstr(test.name, filter) == nullptr) continue;
        failures_in_current = 0;
        enter_test(test.name, false);
        std::printf("RUN  %s\n", test.name);
        std::fflush(stdout);
        try {
            test.body();
        } catch (const RequireFailed&) {
        } catch (const std::exception& e) {
            record_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        }
        ++ran;
        if (failures_in_current > 0) {
            ++failed;
            std::printf("FAIL %s\n", test.name);
        } else {
            std::printf("OK   %s\n", test.name);
        }
        std::fflush(stdout);
    }
    std::printf("%d of %d kernel tests failed\n", failed, ran);
    return failed == 0 && ran > 0 ? 0 : 1;
}
