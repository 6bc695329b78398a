#pragma once
// Handles of the calling (simulated) process: closing, duplicating, the
// pseudo handles and the process and thread ids.

#include "platform/object/process.h"
#include "platform/win32/types.h"

namespace w32 {

inline constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;

BOOL CloseHandle(HANDLE handle);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, HANDLE* targetHandle,
                     DWORD desiredAccess, BOOL inheritHandle, DWORD options);
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// For the stand-in's own calls: a new handle of the current process to
// `object` (null on failure).
ob::Status insertHandle(ob::Ref<ob::Object> object, DWORD access, HANDLE& out);
// The object behind a handle of the current process; sets the last error on failure.
template <class T> ob::Ref<T> referenceHandle(HANDLE handle, ob::ObjectType type, DWORD access);
ob::Ref<ob::Object> referenceHandleAny(HANDLE handle, ob::ObjectType type, DWORD access);

template <class T> ob::Ref<T> referenceHandle(HANDLE handle, ob::ObjectType type, DWORD access)
{
    return std::static_pointer_cast<T>(referenceHandleAny(handle, type, access));
}

} // namespace w32
