// Internal failures of the native code.
//
// A failed internal check (an index outside a matrix, a size that cannot be
// represented, a non-finite total weight) throws InternalError. The call guard
// at the Python boundary turns it into PanicException; nothing below the
// binding layer knows about Python.
#pragma once

#include <stdexcept>
#include <string>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace allotra {

// Where a failed check sits, for the report on stderr. libc++ before version
// 16 has no std::source_location; there the compiler's builtins, which the
// standard type is made of, fill in the same two fields.
#if defined(__cpp_lib_source_location)
using SourcePlace = std::source_location;
#else
#if defined(__has_builtin)
#if __has_builtin(__builtin_FILE) && __has_builtin(__builtin_LINE)
#define ALLOTRA_HAS_SOURCE_BUILTINS 1
#endif
#endif
class SourcePlace {
public:
#if defined(ALLOTRA_HAS_SOURCE_BUILTINS)
    static constexpr SourcePlace current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) noexcept {
        return SourcePlace(file, line);
    }
#else
    static constexpr SourcePlace current() noexcept { return SourcePlace("unknown", 0); }
#endif
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }

private:
    constexpr SourcePlace(const char* file, unsigned line) noexcept : file_(file), line_(line) {}
    const char* file_;
    unsigned line_;
};
#endif

// The part of a source path from the project's "src" directory on, so that a
// report names src/kernel/matrix.hpp rather than the directories of the
// machine that built the module. A path without a "src" directory stays whole.
constexpr const char* project_path(const char* file) noexcept {
    const char* from = file;
    for (const char* p = file; *p != '\0'; ++p) {
        const bool separator = *p == '/' || *p == '\\';
        if (separator && p[1] == 's' && p[2] == 'r' && p[3] == 'c' && (p[4] == '/' || p[4] == '\\')) from = p + 1;
    }
    return from;
}

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message, SourcePlace where = SourcePlace::current())
        : std::runtime_error(message), where_(where) {}

    const SourcePlace& where() const noexcept { return where_; }

private:
    SourcePlace where_;
};

// Thrown on the calling thread when a batch was cancelled at the caller's
// request (for example a pending KeyboardInterrupt); the requester already
// knows why, so it carries no message of its own.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

[[noreturn]] inline void fail(const std::string& message, SourcePlace where = SourcePlace::current()) {
    throw InternalError(message, where);
}

}  // namespace allotra
