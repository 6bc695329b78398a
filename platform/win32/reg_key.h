#pragma once
// A registry key object in the shape of the platform's class library's
// CRegKey: it owns one open key handle, closes it when it is opened anew or
// destroyed, and reads values with the type and length checks of that class.
// Strings are UTF-16; a string value must be a zero-terminated REG_SZ or
// REG_EXPAND_SZ that fits the caller's buffer with its zero (else
// ERROR_MORE_DATA, never a cut-off prefix). Text after an embedded zero
// stays in the buffer, so a caller that takes the buffer as a C string cuts
// it at the first zero.

#include "platform/win32/registry.h"

namespace w32 {

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    LSTATUS Open(HKEY parent, LPCWSTR name, REGSAM access = KEY_READ | KEY_WRITE);
    // Opens the key, creating it when missing (as RegCreateKeyExW).
    LSTATUS Create(HKEY parent, LPCWSTR name, LPWSTR keyClass = nullptr, DWORD options = REG_OPTION_NON_VOLATILE,
                   REGSAM access = KEY_READ | KEY_WRITE, const SECURITY_ATTRIBUTES* attributes = nullptr,
                   DWORD* disposition = nullptr);
    LSTATUS Close();

    // `chars` in: the buffer's length in characters; out: the characters
    // stored, zero included (on ERROR_MORE_DATA: the length needed). A value
    // of another type gives ERROR_INVALID_DATA, as does an unterminated one.
    LSTATUS QueryStringValue(LPCWSTR name, LPWSTR value, ULONG* chars);
    // A value that is not a 4-byte REG_DWORD fails (ERROR_INVALID_DATA, or
    // ERROR_MORE_DATA for longer data).
    LSTATUS QueryDWORDValue(LPCWSTR name, DWORD& value);
    LSTATUS SetDWORDValue(LPCWSTR name, DWORD value);
    LSTATUS SetStringValue(LPCWSTR name, LPCWSTR value, DWORD type = REG_SZ);

    HKEY Detach();
    void Attach(HKEY key);
    operator HKEY() const { return m_hKey; }

    HKEY m_hKey = nullptr;
};

} // namespace w32
