#pragma once
// Outcome of an object-manager call. The kernel stand-in maps these to NT
// statuses, the Win32 stand-in to Win32 error codes.

#include <cstdint>

namespace ob {

enum class Status : uint8_t {
    Ok,
    InvalidHandle,         // not a handle of this process, or already closed
    TypeMismatch,          // the handle or name refers to an object of another type
    AccessDenied,          // the handle lacks the access asked for
    InvalidParameter,      // a malformed call (empty wait set, duplicate in a wait-all, ...)
    InsufficientResources, // the handle table is full (or made to fail)
    NameNotFound,          // no object of that name
};

const char* toString(Status status);

} // namespace ob
