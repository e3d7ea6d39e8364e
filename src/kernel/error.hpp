// Internal failures of the native code.
//
// A failed internal check (an index outside a matrix, a size that cannot be
// represented, a non-finite total weight) throws InternalError. The call guard
// at the Python boundary turns it into PanicException; nothing below the
// binding layer knows about Python.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace allotra {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message,
                           std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Thrown on the calling thread when a batch was cancelled at the caller's
// request (for example a pending KeyboardInterrupt); the requester already
// knows why, so it carries no message of its own.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

[[noreturn]] inline void fail(const std::string& message,
                              std::source_location where = std::source_location::current()) {
    throw InternalError(message, where);
}

}  // namespace allotra
