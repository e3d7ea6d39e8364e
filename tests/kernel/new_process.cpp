// Starts this test program again for one test, in place of fork: CreateProcess
// on Windows, posix_spawn elsewhere, so that both paths run the same way.
#include "new_process.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "harness.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kernel_tests {

namespace {

const char* program = nullptr;
const char* current_test = "";
bool child_of_current = false;
int calls_in_current = 0;

void flush_output() {
    std::fflush(stdout);
    std::fflush(stderr);
}

#if defined(_WIN32)

int spawn_and_wait(std::chrono::seconds deadline) {
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    if (length == 0 || length >= 32768) return -2;
    std::wstring command = L"\"" + std::wstring(path, length) + L"\" --child ";
    for (const char* c = current_test; *c != '\0'; ++c) command += static_cast<wchar_t>(*c);  // ASCII names
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) return -2;
    CloseHandle(child.hThread);
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count();
    int status = -1;
    if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        status = GetExitCodeProcess(child.hProcess, &code) ? static_cast<int>(code) : -3;
    } else {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
        std::printf("    child hung and was killed\n");
    }
    CloseHandle(child.hProcess);
    return status;
}

#else

int spawn_and_wait(std::chrono::seconds deadline) {
    std::string flag = "--child";
    std::string name = current_test;
    std::string self = program;
    char* arguments[] = {self.data(), flag.data(), name.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program, nullptr, nullptr, arguments, environ) != 0) return -2;
    return exit_status_of_process(pid, deadline);
}

#endif

}  // namespace

#if !defined(_WIN32)
int exit_status_of_process(pid_t pid, std::chrono::seconds deadline) {
    const auto give_up = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -3;
        if (std::chrono::steady_clock::now() > give_up) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            std::printf("    child hung and was killed\n");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
#endif

void remember_program(const char* argv0) { program = argv0; }

void enter_test(const char* name, bool in_child) {
    current_test = name;
    child_of_current = in_child;
    calls_in_current = 0;
}

int exit_status_in_new_process(const std::function<int()>& child, std::chrono::seconds deadline) {
    if (child_of_current) {
        int status = 98;
        try {
            status = child();
        } catch (...) {
            status = 99;
        }
        flush_output();
        // No destructors: the worker threads of this process may still run.
        std::_Exit(status);
    }
    if (++calls_in_current > 1) {
        record_failure(__FILE__, __LINE__, "one new process per test");
        return -4;
    }
    flush_output();
    return spawn_and_wait(deadline);
}

}  // namespace kernel_tests
