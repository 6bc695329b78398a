#pragma once
// The simulated machine's drives. A drive path such as "c:\temp\x.flag" is a
// file under the machine's drive folder: <root>/c/temp/x.flag. The root is
// $ORVO_DRIVE_ROOT, else ~/.local/state/orvo/drives; tests and the demo set
// their own with setDriveRoot, so each has a machine of its own. Names match
// ignoring ASCII case, as on the platform (an existing entry's own spelling
// is used); "." and ".." are resolved and never leave the drive. A path
// without a drive is taken from "C:\" (every simulated process's current
// folder); device and network paths ("\\...") and names with characters
// the platform's file systems refuse (<>:"|?*) are not files here
// (ERROR_INVALID_NAME).
// Narrow paths are in the ANSI code page (text.h).

#include "platform/win32/types.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace w32 {

inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;

// Fails with ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when a folder on
// the way is missing.
DWORD GetFileAttributesA(LPCSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL PathFileExistsW(LPCWSTR path);

// The C library's fopen on a drive path (binary and text mode alike: no
// line-end translation). Null with errno set when the file cannot be opened.
std::FILE* fopen(LPCSTR path, const char* mode);

// %NAME% expanded from the machine's environment (SystemRoot and windir
// "C:\Windows", SystemDrive "C:", TEMP and TMP "C:\temp"); unknown names stay
// as written. Returns the characters needed including the zero; when that is
// more than `size` nothing is guaranteed in `out`. 0 on failure.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR out, DWORD size);

// The machine's drive folder, and where a drive path lives on the host
// (empty for paths that are not files of a drive).
void setDriveRoot(std::string hostFolder);
std::string driveRoot();
std::string hostPath(std::u16string_view drivePath);
std::string hostPathAnsi(std::string_view drivePath);

} // namespace w32
