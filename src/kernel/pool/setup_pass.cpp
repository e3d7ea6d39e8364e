// The hook that a test sets on the setup passes.
#include "kernel/pool/setup_pass.hpp"

#include <atomic>

namespace allotra {

namespace {
std::atomic<void (*)(const char*)> setup_pass_hook{nullptr};
}  // namespace

void entering_setup_pass(const char* name) noexcept {
    void (*hook)(const char*) = setup_pass_hook.load(std::memory_order_acquire);
    if (hook != nullptr) hook(name);
}

namespace testing {
void set_setup_pass_hook(void (*hook)(const char* name)) { setup_pass_hook.store(hook, std::memory_order_release); }
}  // namespace testing

}  // namespace allotra
