#pragma once
// Events and waits. Events are objects of the machine's object manager, so a
// handle passed to the kernel can be referenced and set there. Waits with
// time-outs run on the user-mode clock (clock.h).

#include "platform/win32/types.h"

namespace w32 {

inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;

// A named event that exists already is opened (the last error is then
// ERROR_ALREADY_EXISTS); a name used by an object of another type fails with
// ERROR_INVALID_HANDLE. Returns null on failure.
HANDLE CreateEventW(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

} // namespace w32
