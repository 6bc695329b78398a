#include "classcomp/asio/debug_log.h"

#include "platform/win32/files.h"
#include "platform/win32/handles.h"

#include <cstdarg>
#include <cstdio>
#include <type_traits>

namespace orvo::asio {

namespace {

constexpr size_t kMaxPath = 260;

struct ThreadLogState {
    bool opened = false;
    std::FILE* file = nullptr;
    char path[kMaxPath] = {};
    int logLevel = kInitialLogLevel;
};
// No destructor: the file stays open until the process ends, and a library
// whose thread-local state needed one could not be unloaded while any
// thread that logged is alive.
static_assert(std::is_trivially_destructible_v<ThreadLogState>);

thread_local ThreadLogState t_log;

void writePiece(const char* format, va_list args)
{
    std::vfprintf(t_log.file, format, args);
    std::fflush(t_log.file);
}

void writeText(const char* text)
{
    std::fputs(text, t_log.file);
    std::fflush(t_log.file);
}

} // namespace

std::string LogFileName(uint32_t threadId)
{
    char name[32];
    std::snprintf(name, sizeof name, "OrvoAsioLog_%06x.log", threadId);
    return name;
}

void OpenThreadLog()
{
    if (t_log.opened)
        return;
    t_log.opened = true;
    if (w32::GetFileAttributesA(kEnableDebugLogFlag) == w32::INVALID_FILE_ATTRIBUTES)
        return;
    std::snprintf(t_log.path, sizeof t_log.path, "c:\\temp\\OrvoAsioLog\\%s",
                  LogFileName(w32::GetCurrentThreadId()).c_str());
    // The folder is not made: a machine without it gets no log.
    t_log.file = w32::fopen(t_log.path, "w");
    if (!t_log.file)
        t_log.path[0] = 0;
}

void uLog(int level, const char* format, ...)
{
    if (t_log.logLevel < level)
        return;
    OpenThreadLog();
    if (!t_log.file)
        return;
    writeText("Orvo UAC2: ");
    va_list args;
    va_start(args, format);
    writePiece(format, args);
    va_end(args);
    writeText("\n");
}

void uLogRaw(int level, const char* format, ...)
{
    if (t_log.logLevel < level)
        return;
    OpenThreadLog();
    if (!t_log.file)
        return;
    va_list args;
    va_start(args, format);
    writePiece(format, args);
    va_end(args);
}

int ThreadLogLevel()
{
    return t_log.logLevel;
}

void SetThreadLogLevel(int level)
{
    t_log.logLevel = level;
}

bool ThreadLogIsOpen()
{
    return t_log.file != nullptr;
}

const char* ThreadLogPath()
{
    return t_log.path;
}

} // namespace orvo::asio
