#pragma once
// The driver's debug log: one file per logging thread, and only on machines
// where the enabling flag file exists when the thread first logs. Each line
// has a level (1 errors, 2 progress, 3 detail) and is written when the
// thread's log level (initially 2) is at least that.

#include <cstdint>
#include <string>

namespace orvo::asio {

// The flag file that turns logging on; only its existence counts (the
// status monitor reads the others).
inline constexpr const char* kEnableDebugLogFlag = "c:\\temp\\OrvoEnableDebugLog.flag";

inline constexpr int kInitialLogLevel = 2;

// The log file's name for a thread identifier ("OrvoAsioLog_%06x.log").
std::string LogFileName(uint32_t threadId);

// The calling thread's one attempt to open its log file.
void OpenThreadLog();

// A line: "Orvo UAC2: ", the message, a line end.
void uLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A mark or a text with line ends of its own: no prefix, no line end.
void uLogRaw(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

int ThreadLogLevel();
void SetThreadLogLevel(int level);
// The calling thread's log file is open.
bool ThreadLogIsOpen();
// The path of the calling thread's log file (empty when it has none).
const char* ThreadLogPath();

} // namespace orvo::asio
