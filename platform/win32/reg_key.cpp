#include "platform/win32/reg_key.h"

#include <string>

namespace w32 {

CRegKey::~CRegKey() { Close(); }

LSTATUS CRegKey::Open(HKEY parent, LPCWSTR name, REGSAM access)
{
    HKEY key = nullptr;
    const LSTATUS e = RegOpenKeyExW(parent, name, 0, access, &key);
    if (e != ERROR_SUCCESS)
        return e;
    Close();
    m_hKey = key;
    return ERROR_SUCCESS;
}

LSTATUS CRegKey::Create(HKEY parent, LPCWSTR name, LPWSTR keyClass, DWORD options, REGSAM access,
                        const SECURITY_ATTRIBUTES* attributes, DWORD* disposition)
{
    HKEY key = nullptr;
    const LSTATUS e = RegCreateKeyExW(parent, name, 0, keyClass, options, access, attributes, &key, disposition);
    if (e != ERROR_SUCCESS)
        return e;
    Close();
    m_hKey = key;
    return ERROR_SUCCESS;
}

LSTATUS CRegKey::Close()
{
    if (!m_hKey)
        return ERROR_SUCCESS;
    const LSTATUS e = RegCloseKey(m_hKey);
    m_hKey = nullptr;
    return e;
}

LSTATUS CRegKey::QueryStringValue(LPCWSTR name, LPWSTR value, ULONG* chars)
{
    if (!chars)
        return ERROR_INVALID_PARAMETER;
    DWORD bytes = *chars * sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LSTATUS e = RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    if (e == ERROR_MORE_DATA)
        *chars = (bytes + sizeof(WCHAR) - 1) / sizeof(WCHAR);
    if (e != ERROR_SUCCESS)
        return e;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (value) {
        if (bytes == 0) {
            if (*chars == 0)
                return ERROR_MORE_DATA;
            value[0] = 0;
            bytes = sizeof(WCHAR);
        } else if (bytes % sizeof(WCHAR) != 0 || value[bytes / sizeof(WCHAR) - 1] != 0) {
            return ERROR_INVALID_DATA;
        }
    }
    *chars = bytes / sizeof(WCHAR);
    return ERROR_SUCCESS;
}

LSTATUS CRegKey::QueryDWORDValue(LPCWSTR name, DWORD& value)
{
    DWORD data = 0, bytes = sizeof data, type = REG_NONE;
    const LSTATUS e = RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
    if (e != ERROR_SUCCESS)
        return e;
    if (type != REG_DWORD || bytes != sizeof data)
        return ERROR_INVALID_DATA;
    value = data;
    return ERROR_SUCCESS;
}

LSTATUS CRegKey::SetDWORDValue(LPCWSTR name, DWORD value)
{
    return RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS CRegKey::SetStringValue(LPCWSTR name, LPCWSTR value, DWORD type)
{
    if (!value || (type != REG_SZ && type != REG_EXPAND_SZ))
        return ERROR_INVALID_PARAMETER;
    const size_t chars = std::char_traits<char16_t>::length(value) + 1;
    return RegSetValueExW(m_hKey, name, 0, type, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(chars * sizeof(WCHAR)));
}

HKEY CRegKey::Detach()
{
    HKEY key = m_hKey;
    m_hKey = nullptr;
    return key;
}

void CRegKey::Attach(HKEY key)
{
    Close();
    m_hKey = key;
}

} // namespace w32
