#pragma once
// The slot's status monitor: one thread per slot with registered wrappers in
// the process. Every 50 ms or so it restarts streaming after the machine has
// slept, keeps the kernel driver's block settings in line with the user's
// buffer time and the device's rate, re-opens a device that was replaced,
// and once per process applies the test flag files.

#include "platform/win32/types.h"

#include <cstdint>

namespace orvo::asio {

inline constexpr uint32_t kHeartbeatLimitMs = 5000;
inline constexpr uint32_t kMonitorPaceMs = 50;

// Flag files only the monitor reads, and the batch file it may start.
inline constexpr const char16_t* kKernelLoopbackFlagW = u"c:\\temp\\OrvoKernelLoopback.flag";
inline constexpr const char16_t* kEraseBuffersFlagW = u"c:\\temp\\OrvoEraseBuffers.flag";
inline constexpr const char16_t* kAsioNotifyTimingFlagW = u"c:\\temp\\OrvoAsioNotifyTiming.flag";
inline constexpr const char16_t* kAutoLaunchLogFlagW = u"c:\\temp\\OrvoAutoLaunchLog.flag";
inline constexpr const char16_t* kEnableDebugLogFlagW = u"c:\\temp\\OrvoEnableDebugLog.flag";
inline constexpr const char* kMonitorBatchFile = "c:\\temp\\monitor\\monitor.bat";
inline constexpr const char* kMonitorBatchFolder = "c:\\temp\\monitor";

// Thread procedure; the argument is the slot index.
w32::DWORD AsioEventNotificationThread(w32::LPVOID slot);

// The buffer time a heartbeat restart pushes for a moment before the user's
// `milliseconds` again: 3 ms more, or 3 ms less where 3 ms more would give
// the kernel the same block frames and mode (from 48 ms on).
int32_t HeartbeatNudgeMillisecs(int32_t milliseconds);

} // namespace orvo::asio
