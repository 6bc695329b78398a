#pragma once
// Structured exceptions. Some kernel calls report failure by raising an
// exception instead of returning a status (mapping pages into a process is
// one); the caller must guard such a call as it would with __try/__except.
// Here the exception is a C++ exception of its own type, and tryExcept is the
// guarded block. One that leaves a driver callback unhandled is a violation
// (on the real platform the system stops).

#include "platform/kernel/level.h"
#include "platform/kernel/status.h"

#include <cstdio>
#include <string>
#include <utility>

namespace kplat {

class SehException {
public:
    explicit SehException(Status code) : code_(code) {}
    Status code() const { return code_; }

private:
    Status code_;
};

// Runs `body`; an exception it raises is handled and its code returned,
// otherwise kSuccess.
template <class Body>
Status tryExcept(Body&& body)
{
    try {
        std::forward<Body>(body)();
    } catch (const SehException& e) {
        return e.code();
    }
    return status::kSuccess;
}

// For the framework: runs a driver callback; an exception it leaves
// unhandled is reported as a violation naming the callback.
template <class Callback>
void runDriverCallback(const char* what, Callback&& callback)
{
    try {
        std::forward<Callback>(callback)();
    } catch (const SehException& e) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e.code()));
        violation(std::string("an exception (status ") + code + ") left " + what + " unhandled");
    }
}

} // namespace kplat
