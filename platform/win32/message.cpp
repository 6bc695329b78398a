#include "platform/win32/message.h"

#include "platform/win32/error.h"
#include "platform/win32/misuse.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

namespace w32 {

namespace {

// The system's texts for the errors this machine produces.
const char16_t* systemText(DWORD id)
{
    switch (id) {
    case ERROR_SUCCESS: return u"The operation completed successfully.\r\n";
    case ERROR_INVALID_FUNCTION: return u"Incorrect function.\r\n";
    case ERROR_FILE_NOT_FOUND: return u"The system cannot find the file specified.\r\n";
    case ERROR_PATH_NOT_FOUND: return u"The system cannot find the path specified.\r\n";
    case ERROR_ACCESS_DENIED: return u"Access is denied.\r\n";
    case ERROR_INVALID_HANDLE: return u"The handle is invalid.\r\n";
    case ERROR_NOT_ENOUGH_MEMORY: return u"Not enough memory resources are available to process this command.\r\n";
    case ERROR_BAD_COMMAND: return u"The device does not recognize the command.\r\n";
    case ERROR_GEN_FAILURE: return u"A device attached to the system is not functioning.\r\n";
    case ERROR_INVALID_PARAMETER: return u"The parameter is incorrect.\r\n";
    case ERROR_SEM_TIMEOUT: return u"The semaphore timeout period has expired.\r\n";
    case ERROR_INSUFFICIENT_BUFFER: return u"The data area passed to a system call is too small.\r\n";
    case ERROR_BUSY: return u"The requested resource is in use.\r\n";
    case ERROR_ALREADY_EXISTS: return u"Cannot create a file when that file already exists.\r\n";
    case ERROR_MORE_DATA: return u"More data is available.\r\n";
    case WAIT_TIMEOUT: return u"The wait operation timed out.\r\n";
    case ERROR_NO_MORE_ITEMS: return u"No more data is available.\r\n";
    case ERROR_OPERATION_ABORTED:
        return u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n";
    case ERROR_KEY_DELETED: return u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n";
    case ERROR_DEVICE_NOT_CONNECTED: return u"The device is not connected.\r\n";
    case ERROR_NOT_FOUND: return u"Element not found.\r\n";
    case ERROR_NO_SYSTEM_RESOURCES:
        return u"Insufficient system resources exist to complete the requested service.\r\n";
    default: return nullptr;
    }
}

std::mutex g_localMutex;
std::unordered_set<void*>& localBlocks()
{
    static auto* blocks = new std::unordered_set<void*>; // outlives static destruction
    return *blocks;
}

constexpr size_t kDebugLines = 4096;
std::mutex g_debugMutex;
std::deque<std::string>& debugLines()
{
    static auto* lines = new std::deque<std::string>;
    return *lines;
}

} // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments)
{
    (void)source;
    (void)languageId;
    (void)arguments;
    const DWORD sources = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    if ((flags & sources) != FORMAT_MESSAGE_FROM_SYSTEM || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char16_t* text = systemText(messageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const size_t length = std::char_traits<char16_t>::length(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const size_t chars = std::max<size_t>(length + 1, size);
        auto* block = static_cast<WCHAR*>(LocalAlloc(LMEM_ZEROINIT, chars * sizeof(WCHAR)));
        if (!block)
            return 0;
        std::memcpy(block, text, (length + 1) * sizeof(WCHAR));
        *reinterpret_cast<LPWSTR*>(buffer) = block;
    } else {
        if (size < length + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text, (length + 1) * sizeof(WCHAR));
    }
    return static_cast<DWORD>(length);
}

HLOCAL LocalAlloc(DWORD flags, size_t bytes)
{
    if (flags & ~LMEM_ZEROINIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard lock(g_localMutex);
    localBlocks().insert(block);
    return block;
}

HLOCAL LocalFree(HLOCAL memory)
{
    if (!memory)
        return nullptr;
    {
        std::lock_guard lock(g_localMutex);
        if (localBlocks().erase(memory) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            misuse("LocalFree of a block the local heap did not hand out (or freed twice)");
        }
    }
    std::free(memory);
    return nullptr;
}

size_t localBlocksInUse()
{
    std::lock_guard lock(g_localMutex);
    return localBlocks().size();
}

void OutputDebugStringA(const char* text)
{
    if (!text)
        return;
    std::lock_guard lock(g_debugMutex);
    auto& lines = debugLines();
    lines.emplace_back(text);
    if (lines.size() > kDebugLines)
        lines.pop_front();
}

std::vector<std::string> debugOutput()
{
    std::lock_guard lock(g_debugMutex);
    return {debugLines().begin(), debugLines().end()};
}

void clearDebugOutput()
{
    std::lock_guard lock(g_debugMutex);
    debugLines().clear();
}

} // namespace w32
