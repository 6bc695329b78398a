#pragma once
// Threads: each runs on a real thread, acts for the process that created it,
// and has a thread object whose handle can be waited on (signalled when the
// thread has ended). Priorities are recorded on the thread object; in a
// real-time machine the thread object gives them to the host thread
// (platform/object/host_scheduling.h: time-critical runs SCHED_FIFO).

#include "platform/win32/types.h"

namespace w32 {

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr DWORD CREATE_SUSPENDED = 0x4;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD THREAD_ALL_ACCESS = 0x001FFFFF;

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// Creation flags other than 0 are refused (ERROR_INVALID_PARAMETER).
HANDLE CreateThread(const SECURITY_ATTRIBUTES* attributes, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetThreadId(HANDLE thread);
BOOL SwitchToThread();

// Fault injection: the next `count` CreateThread calls fail with ERROR_NOT_ENOUGH_MEMORY.
void failNextThreadCreations(int count);

} // namespace w32
