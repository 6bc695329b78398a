#pragma once
// Misuse of the user-mode platform that the real system punishes with a crash
// or silent corruption (leaving a critical section the caller does not own,
// freeing memory twice, a misaligned interlocked operand): reported loudly
// instead of being absorbed.

#include <stdexcept>
#include <string>

namespace w32 {

// Reports misuse. Never returns: aborts, or throws PlatformMisuse under a MisuseTrap.
[[noreturn]] void misuse(const std::string& message);

class PlatformMisuse : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// For tests: while alive (on any thread), misuse throws PlatformMisuse.
class MisuseTrap {
public:
    MisuseTrap();
    ~MisuseTrap();
    MisuseTrap(const MisuseTrap&) = delete;
    MisuseTrap& operator=(const MisuseTrap&) = delete;
};

} // namespace w32
