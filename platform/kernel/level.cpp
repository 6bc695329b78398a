#include "platform/kernel/level.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kplat {

namespace {

thread_local Level tCurrentLevel = Level::Passive;
std::atomic<ViolationHandler> gHandler{nullptr};

const char* levelName(Level level)
{
    switch (level) {
    case Level::Passive: return "passive";
    case Level::Apc: return "apc";
    case Level::Dispatch: return "dispatch";
    }
    return "?";
}

void throwingHandler(const std::string& message) { throw StrictnessViolation(message); }

} // namespace

Level currentLevel() { return tCurrentLevel; }

Level raiseLevel(Level to)
{
    Level old = tCurrentLevel;
    if (to < old)
        violation(std::string("raising the level from ") + levelName(old) + " to " + levelName(to));
    tCurrentLevel = to;
    return old;
}

void lowerLevel(Level to)
{
    if (to > tCurrentLevel)
        violation(std::string("lowering the level from ") + levelName(tCurrentLevel) + " to " + levelName(to));
    tCurrentLevel = to;
}

void requirePassive(const char* what) { requireAtMost(Level::Passive, what); }

void requireAtMost(Level max, const char* what)
{
    if (tCurrentLevel > max)
        violation(std::string(what) + " called at " + levelName(tCurrentLevel) + " level (allowed up to " +
                  levelName(max) + ")");
}

void violation(const std::string& message)
{
    if (ViolationHandler handler = gHandler.load())
        handler(message);
    std::fprintf(stderr, "kernel platform violation: %s\n", message.c_str());
    std::abort();
}

ViolationHandler setViolationHandler(ViolationHandler handler) { return gHandler.exchange(handler); }

ViolationTrap::ViolationTrap() : previous_(setViolationHandler(&throwingHandler)) {}
ViolationTrap::~ViolationTrap() { setViolationHandler(previous_); }

} // namespace kplat
