#pragma once
// Interrupt request levels and the stand-in's strictness. Each thread has a
// current level; spin locks raise it to dispatch, and calls that need passive
// level check it. A check that fails is a violation: it goes to the installed
// handler, which by default prints the message and aborts. Tests install a
// handler that throws, so that misuse is caught and asserted on.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kplat {

enum class Level : uint8_t { Passive = 0, Apc = 1, Dispatch = 2 };

Level currentLevel();
// Raises the calling thread's level; lowering through here is a violation.
Level raiseLevel(Level to);
// Restores a level saved by raiseLevel.
void lowerLevel(Level to);

// Violation if the caller runs above passive level. `what` names the call.
void requirePassive(const char* what);
void requireAtMost(Level max, const char* what);

// Reports misuse of the platform. Never returns.
[[noreturn]] void violation(const std::string& message);

using ViolationHandler = void (*)(const std::string& message);
// Installs a handler (null restores the default); returns the previous one.
// A handler that returns makes the violation abort.
ViolationHandler setViolationHandler(ViolationHandler handler);

class StrictnessViolation : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// For tests: while alive, violations throw StrictnessViolation.
class ViolationTrap {
public:
    ViolationTrap();
    ~ViolationTrap();
    ViolationTrap(const ViolationTrap&) = delete;
    ViolationTrap& operator=(const ViolationTrap&) = delete;

private:
    ViolationHandler previous_;
};

// Raises to a level for a scope (used by the stand-in to run callbacks).
class ScopedLevel {
public:
    explicit ScopedLevel(Level to) : saved_(raiseLevel(to)) {}
    ~ScopedLevel() { lowerLevel(saved_); }
    ScopedLevel(const ScopedLevel&) = delete;
    ScopedLevel& operator=(const ScopedLevel&) = delete;

private:
    Level saved_;
};

} // namespace kplat
