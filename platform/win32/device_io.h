#pragma once
// Opening a device interface and synchronous device I/O control.
//
// A device handle is a file object of the calling process; closing its last
// handle runs the driver's cleanup and close. Requests are synchronous: the
// call returns when the driver has completed the request (an overlapped
// record is refused). Kernel statuses become Win32 errors by
// errorFromNtStatus, the table in docs/architecture.md.

#include "platform/win32/types.h"

namespace w32 {

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

struct OVERLAPPED;

// Only device paths of present interfaces open, with OPEN_EXISTING;
// INVALID_HANDLE_VALUE and the last error otherwise.
HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, const SECURITY_ATTRIBUTES* attributes,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
// bytesReturned is required. A kernel warning status (data cut short)
// returns FALSE with the bytes that were returned.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID input, DWORD inputLength, LPVOID output,
                     DWORD outputLength, DWORD* bytesReturned, OVERLAPPED* overlapped);

// Tests may watch the requests made: the watcher runs on the calling
// thread before each request is sent (null: none).
using DeviceIoControlWatcher = void (*)(DWORD ioControlCode, const void* input, DWORD inputLength);
void watchDeviceIoControl(DeviceIoControlWatcher watcher);

// The Win32 error for a kernel status (0 for success).
DWORD errorFromNtStatus(int32_t status);

} // namespace w32
