#pragma once
// System message texts (FormatMessageW), the local heap that returns them
// (LocalAlloc / LocalFree) and the debugger output (OutputDebugStringA).

#include "platform/win32/types.h"

#include <cstdarg>
#include <string>
#include <vector>

namespace w32 {

using HLOCAL = void*;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

inline constexpr DWORD LMEM_FIXED = 0x0000;
inline constexpr DWORD LMEM_ZEROINIT = 0x0040;

// Only system messages (FROM_SYSTEM, with IGNORE_INSERTS) are known here;
// other sources fail with ERROR_INVALID_PARAMETER. An error without a text
// fails with ERROR_MR_MID_NOT_FOUND. With ALLOCATE_BUFFER, `buffer` is really
// an LPWSTR* that receives a LocalAlloc block the caller frees with
// LocalFree; otherwise `size` is the buffer's length in characters and a
// text that does not fit fails with ERROR_INSUFFICIENT_BUFFER. Returns the
// characters stored, without the terminating zero; 0 on failure.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments);

HLOCAL LocalAlloc(DWORD flags, size_t bytes);
// Null on success. A pointer that LocalAlloc did not hand out (or that was
// freed already) is misuse: the platform's heap would be corrupted.
HLOCAL LocalFree(HLOCAL memory);
// Blocks handed out and not yet freed (for leak checks in tests).
size_t localBlocksInUse();

// The debugger's view: every string written, in order (the last 4,096 are kept).
void OutputDebugStringA(const char* text);
std::vector<std::string> debugOutput();
void clearDebugOutput();

} // namespace w32
