#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "harness.hpp"
#include "new_process.hpp"
#include "results_file.hpp"

namespace kernel_tests {

namespace {
// CHECK may fail on a worker thread of the pool under test.
std::mutex failures_mutex;
std::vector<std::string> failures_in_current;
}  // namespace

std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

void record_failure(const char* file, int line, const std::string& what) {
    std::string failure = std::string(file) + ":" + std::to_string(line) + ": " + what;
    std::lock_guard<std::mutex> lock(failures_mutex);
    std::printf("  %s\n", failure.c_str());
    failures_in_current.push_back(std::move(failure));
}

}  // namespace kernel_tests

namespace {

using kernel_tests::TestCase;

const TestCase* find_test(const char* name) {
    for (const TestCase& test : kernel_tests::registry())
        if (std::strcmp(test.name, name) == 0) return &test;
    return nullptr;
}

// The process that exit_status_in_new_process started for one test.
int run_as_child(const char* name) {
    const TestCase* test = find_test(name);
    if (test == nullptr) {
        std::printf("  no test named %s\n", name);
        return 96;
    }
    kernel_tests::enter_test(test->name, true);
    try {
        test->body();
    } catch (...) {
    }
    std::printf("  %s did not reach its new process\n", name);
    return 97;
}

// Returns the failures of the test.
std::vector<std::string> run_one(const TestCase& test) {
    using namespace kernel_tests;
    {
        std::lock_guard<std::mutex> lock(failures_mutex);
        failures_in_current.clear();
    }
    enter_test(test.name, false);
    std::printf("RUN  %s\n", test.name);
    std::fflush(stdout);
    try {
        test.body();
    } catch (const RequireFailed&) {
    } catch (const std::exception& e) {
        record_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
    } catch (...) {
        record_failure(__FILE__, __LINE__, "unexpected exception of an unknown type");
    }
    std::lock_guard<std::mutex> lock(failures_mutex);
    std::printf("%s %s\n", failures_in_current.empty() ? "OK  " : "FAIL", test.name);
    std::fflush(stdout);
    return failures_in_current;
}

int usage() {
    std::printf(
        "usage: kernel_tests [--results FILE] [NAME...]   runs the named tests, or all of them\n"
        "       kernel_tests --list                       prints the name of each test, one a line\n"
        "--results FILE writes a JSON object a line to FILE: {\"test\", \"event\": \"start\"} before each\n"
        "test and {\"test\", \"event\": \"end\", \"passed\", \"failures\"} after it.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kernel_tests;
    remember_program(argv[0]);
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return run_as_child(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const TestCase& test : registry()) std::printf("%s\n", test.name);
        return 0;
    }

    ResultsFile results;
    std::vector<const TestCase*> selected;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--results") == 0 && i + 1 < argc) {
            if (!results.open(argv[++i])) {
                std::printf("cannot write %s\n", argv[i]);
                return 2;
            }
        } else if (argv[i][0] == '-') {
            return usage();
        } else if (const TestCase* test = find_test(argv[i])) {
            selected.push_back(test);
        } else {
            std::printf("no test named %s\n", argv[i]);
            return 2;
        }
    }
    if (selected.empty())
        for (const TestCase& test : registry()) selected.push_back(&test);

    int failed = 0;
    for (const TestCase* test : selected) {
        results.started(test->name);
        const std::vector<std::string> failures = run_one(*test);
        results.ended(test->name, failures);
        if (!failures.empty()) ++failed;
    }
    std::printf("%d of %d kernel tests failed\n", failed, static_cast<int>(selected.size()));
    return failed == 0 && !selected.empty() ? 0 : 1;
}
