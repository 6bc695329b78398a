#pragma once
// The driver's own background threads (status monitors, statistics logs):
// started here so the library knows while any of them still runs. It must
// not say it may unload then, and its detach waits for them (bounded).

#include "platform/win32/threads.h"
#include "platform/win32/types.h"

#include <cstdint>

namespace orvo::asio {

// CreateThread, remembered until the thread has ended. Returns the thread's
// handle for the caller (close it), or null when no thread started.
w32::HANDLE StartDriverThread(w32::LPTHREAD_START_ROUTINE start, w32::LPVOID parameter, w32::DWORD* threadId);

// True while a thread started here has not ended.
bool DriverThreadsRunning();

// Waits up to `ms` in all for every thread started here; true when none
// runs any more.
bool WaitForDriverThreads(uint32_t ms);

} // namespace orvo::asio
