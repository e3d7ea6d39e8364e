// A minimal test registry for the native kernel tests: each TEST registers a
// function; CHECK records a failure and goes on; REQUIRE stops the test.
#pragma once

#include <chrono>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace kernel_tests {

struct TestCase {
    const char* name;
    std::function<void()> body;
};

std::vector<TestCase>& registry();
void record_failure(const char* file, int line, const std::string& what);

struct Registrar {
    Registrar(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

struct RequireFailed {};

// Runs `child` in a new process and returns its exit status, or -1 if it did
// not exit normally within the deadline (it is then ended). The new process is
// this test program started again with "--child" and the current test's name:
// it runs that test alone, so the test's code before this call runs there too
// and should have no lasting effect, and in place of this call it runs `child`
// and exits with what it returns (99 if it throws). Works where fork does not
// exist; tests that need what a fork child inherits fork themselves. One call
// per test.
int exit_status_in_new_process(const std::function<int()>& child,
                               std::chrono::seconds deadline = std::chrono::seconds(30));

#if !defined(_WIN32)
// Waits for the child process `pid` and returns its exit status, or -1 if it
// did not exit normally within the deadline (it is then killed).
int exit_status_of_process(pid_t pid, std::chrono::seconds deadline);
#endif

}  // namespace kernel_tests

#define KT_CONCAT2(a, b) a##b
#define KT_CONCAT(a, b) KT_CONCAT2(a, b)

#define TEST(name)                                                                      \
    static void name();                                                                 \
    static ::kernel_tests::Registrar KT_CONCAT(registrar_, name)(#name, &name);         \
    static void name()

#define CHECK(cond)                                                                     \
    do {                                                                                \
        if (!(cond)) ::kernel_tests::record_failure(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define REQUIRE(cond)                                                                   \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            ::kernel_tests::record_failure(__FILE__, __LINE__, "REQUIRE(" #cond ")");   \
            throw ::kernel_tests::RequireFailed{};                                      \
        }                                                                               \
    } while (0)

#define CHECK_EQ(a, b)                                                                  \
    do {                                                                                \
        auto&& kt_a = (a);                                                              \
        auto&& kt_b = (b);                                                              \
        if (!(kt_a == kt_b)) {                                                          \
            std::ostringstream kt_out;                                                  \
            /* 17 digits: two different doubles never print alike */                    \
            kt_out << std::setprecision(17);                                            \
            kt_out << "CHECK_EQ(" #a ", " #b "): " << kt_a << " != " << kt_b;          \
            ::kernel_tests::record_failure(__FILE__, __LINE__, kt_out.str());           \
        }                                                                               \
    } while (0)

// Checks that `expr` throws an exception of type `type` whose what() contains `text`.
#define CHECK_THROWS_WITH(expr, type, text)                                             \
    do {                                                                                \
        bool kt_thrown = false;                                                         \
        try {                                                                           \
            (void)(expr);                                                               \
        } catch (const type& kt_e) {                                                    \
            kt_thrown = std::string(kt_e.what()).find(text) != std::string::npos;       \
            if (!kt_thrown)                                                             \
                ::kernel_tests::record_failure(__FILE__, __LINE__,                      \
                                               std::string("wrong message: ") + kt_e.what()); \
            kt_thrown = true;                                                           \
        }                                                                               \
        if (!kt_thrown)                                                                 \
            ::kernel_tests::record_failure(__FILE__, __LINE__, "no " #type " from " #expr); \
    } while (0)
