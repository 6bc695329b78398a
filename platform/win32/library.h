#pragma once
// Loading libraries: LoadLibraryW of a drive path (files.h) loads the shared
// library placed there. The library's own load and unload hooks stand for
// its DllMain process attach and detach (they run at load, at the last
// FreeLibrary and at process exit); LoadLibraryW does not call DllMain.
// Each LoadLibraryW counts one reference, each FreeLibrary drops one; a
// module handle that is not loaded is refused. A library that stays mapped
// after its last FreeLibrary (the host loader keeps libraries with GNU
// unique symbols; build them with -fno-gnu-unique) is misuse: its process
// detach would not run when the platform runs it.

#include "platform/win32/types.h"

namespace w32 {

using HMODULE = struct HMODULE__*;
using FARPROC = void (*)();

inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

HMODULE LoadLibraryW(LPCWSTR path);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

} // namespace w32
