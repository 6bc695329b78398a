#pragma once
// Basic types and constants of the user-mode stand-in, named as the Win32
// API names them. Strings are UTF-16 (WCHAR is char16_t) as on the real
// platform, so string data in the registry and in structures is byte-exact.

#include <cstddef>
#include <cstdint>

namespace w32 {

using BOOL = int32_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using LSTATUS = LONG;
using ULONG = uint32_t;
using UINT = uint32_t;
using WCHAR = char16_t;
using LPCSTR = const char*;
using LPSTR = char*;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using HANDLE = void*;
using LPVOID = void*;
using LPCVOID = const void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// A handle's value is the object manager's 32-bit handle; (HANDLE)-1 is both
// INVALID_HANDLE_VALUE and, as on the platform, the current-process pseudo
// handle.
inline HANDLE handleFromValue(uint32_t value)
{
    return value == 0xFFFFFFFF ? reinterpret_cast<HANDLE>(~uintptr_t(0))
           : value == 0xFFFFFFFE ? reinterpret_cast<HANDLE>(~uintptr_t(1))
                                 : reinterpret_cast<HANDLE>(uintptr_t(value));
}
inline uint32_t handleValue(HANDLE h) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)); }
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

struct SECURITY_ATTRIBUTES {
    DWORD nLength = sizeof(SECURITY_ATTRIBUTES);
    LPVOID lpSecurityDescriptor = nullptr; // descriptor with a null access list: any process may use the object
    BOOL bInheritHandle = FALSE;
};

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
    friend bool operator==(const GUID&, const GUID&) = default;
};

// Wait results.
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

} // namespace w32
