// The platform layer's environment reads and processor count, on the
// operating system that the program runs on.
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

#include "harness.hpp"
#include "kernel/platform/platform.hpp"

namespace {

constexpr const char* variable = "ALLOTRA_KERNEL_TESTS_VARIABLE";

// Sets (or with nullptr removes) a variable where the platform layer reads it.
void set_variable(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(variable, value);
#else
    if (value == nullptr) {
        unsetenv(variable);
    } else {
        setenv(variable, value, 1);
    }
#endif
}

TEST(platform_environment_tells_empty_from_unset) {
    using allotra::platform::environment_variable;
    set_variable(nullptr);
    CHECK(!environment_variable(variable).has_value());
    set_variable("");
    const auto empty = environment_variable(variable);
    CHECK(empty.has_value() && empty->empty());
    set_variable("7");
    CHECK(environment_variable(variable) == std::string("7"));
    const std::string long_value(5000, 'x');
    set_variable(long_value.c_str());
    CHECK(environment_variable(variable) == long_value);
    set_variable(nullptr);
    CHECK(!environment_variable(variable).has_value());
}

#if defined(_WIN32) || defined(__linux__)
// Bound to one processor, the process has one available, however many the
// machine has.
// Binds the calling process to one of the processors it may use; false when
// the operating system refuses.
bool bind_to_one_processor() {
#if defined(_WIN32)
    return SetProcessAffinityMask(GetCurrentProcess(), 1) != 0;
#else
    cpu_set_t one;
    CPU_ZERO(&one);
    if (sched_getaffinity(0, sizeof one, &one) != 0) return false;
    int first = 0;
    while (!CPU_ISSET(first, &one)) ++first;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
#endif
}

TEST(platform_processor_count_follows_the_affinity) {
    CHECK_EQ(kernel_tests::exit_status_in_new_process([] {
                 if (!bind_to_one_processor()) return 2;
                 return allotra::platform::available_processors() == 1 ? 0 : 3;
             }),
             0);
}
#endif

}  // namespace
