// Windows: BCryptGenRandom for key material (ProcessPrng where bcryptprimitives
// is available), GetActiveProcessorCount, no fork.
#if defined(_WIN32)

#include "kernel/platform/platform.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>

#pragma comment(lib, "bcrypt.lib")

namespace allotra::platform {

void secure_random_bytes(void* out, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (count > 0) {
        ULONG chunk = count > 0x10000000 ? 0x10000000 : static_cast<ULONG>(count);
        if (BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
            std::fputs("allotra: the operating system's secure random source failed\n", stderr);
            std::abort();
        }
        bytes += chunk;
        count -= chunk;
    }
}

std::size_t available_processors() {
    return static_cast<std::size_t>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

std::optional<std::string> environment_variable(const char* name) {
    DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::string value(needed, '\0');
    DWORD written = GetEnvironmentVariableA(name, value.data(), needed);
    value.resize(written);
    return value;
}

void at_fork_child(void (*)()) {}

}  // namespace allotra::platform

#endif
