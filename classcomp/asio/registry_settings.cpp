#include "classcomp/asio/registry_settings.h"

#include "classcomp/asio/debug_log.h"
#include "platform/com/guid_string.h"
#include "classcomp/common/class_ids.h"
#include "platform/win32/reg_key.h"

#include <cstdio>

namespace orvo::asio {

namespace {

using w32::DWORD;
using w32::HKEY;

constexpr w32::REGSAM kReadAccess = w32::KEY_READ;                    // 0x20019
constexpr w32::REGSAM kCreateAccess = w32::KEY_READ | w32::KEY_WRITE; // 0x2001F
constexpr w32::REGSAM kWriteAccess = w32::KEY_WRITE;                  // 0x20006
constexpr DWORD kMaxStringChars = 255;

const char16_t* const kUserRoot = u"Software\\Orvo";
const char16_t* const kUserGlobalKey = u"Software\\Orvo\\UAC2\\Global";

// A string value read into 255 characters and cut at its first zero.
bool queryString(w32::CRegKey& key, const char16_t* name, std::u16string& out)
{
    w32::WCHAR buffer[kMaxStringChars] = {};
    w32::ULONG chars = kMaxStringChars;
    if (key.QueryStringValue(name, buffer, &chars) != w32::ERROR_SUCCESS)
        return false;
    out = buffer;
    return true;
}

bool createKey(w32::CRegKey& key, const std::u16string& path)
{
    return key.Create(w32::HKEY_CURRENT_USER, path.c_str(), nullptr, w32::REG_OPTION_NON_VOLATILE, kCreateAccess) ==
           w32::ERROR_SUCCESS;
}

bool openKey(w32::CRegKey& key, HKEY root, const std::u16string& path, w32::REGSAM access)
{
    return key.Open(root, path.c_str(), access) == w32::ERROR_SUCCESS;
}

} // namespace

std::u16string ClassIdText(int slot)
{
    if (slot < 0 || size_t(slot) >= classcomp::kDeviceSlotCount)
        return {};
    const classcomp::ClassId& id = classcomp::kClassIds[size_t(slot)];
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(id.data1), id.data2, id.data3, id.data4[0], id.data4[1], id.data4[2],
                  id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
    return std::u16string(text, text + 38);
}

bool uRegistryTryReadDriverName(int slot, std::u16string& name)
{
    const std::u16string clsid = ClassIdText(slot);
    w32::CRegKey key;
    if (clsid.empty() || !openKey(key, w32::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\" + clsid, kReadAccess)) {
        uLog(2, "Failed to open registry key by CLSID for driver name");
        return false;
    }
    std::u16string value;
    if (!queryString(key, u"", value)) {
        uLog(2, "Failed to retrieve registry value for driver name");
        return false;
    }
    name = value;
    return true;
}

bool TryGetDriverValue(const std::u16string& driverName, const char16_t* valueName, std::u16string& value)
{
    w32::CRegKey key;
    if (!openKey(key, w32::HKEY_LOCAL_MACHINE, u"Software\\ASIO\\" + driverName, kReadAccess)) {
        uLog(2, "regKey.Open failed in TryGetDriverValue");
        return false;
    }
    if (!queryString(key, valueName, value)) {
        uLog(2, "regKey.QueryStringValue failed in TryGetDriverValue");
        value.clear();
        return false;
    }
    return true;
}

bool uRegistryTryReadKernelInterfaceGuid(int slot, w32::GUID& guid)
{
    std::u16string name;
    if (!uRegistryTryReadDriverName(slot, name)) {
        uLog(2, "uRegistryTryReadDriverName failed in uRegistryTryReadKernelInterfaceGuid");
        return false;
    }
    std::u16string text;
    if (!TryGetDriverValue(name, u"KernelInterface", text)) {
        uLog(2, "TryGetDriverValue(...,KernelInterface... failed in uRegistryTryReadKernelInterfaceGuid");
        return false;
    }
    if (com::FAILED(com::CLSIDFromString(text.c_str(), &guid))) {
        uLog(2, "CLSIDFromString failed in uRegistryTryReadKernelInterfaceGuid");
        return false;
    }
    return true;
}

bool TryGetDriverUserRegistryKeyName(int slot, std::u16string& keyName)
{
    std::u16string driverName;
    if (!uRegistryTryReadDriverName(slot, driverName))
        return false;
    std::u16string path = kUserRoot;
    w32::CRegKey key;
    if (!createKey(key, path)) {
        uLog(1, "Failed to open or create user registry key in TryGetDriverUserRegistryKeyName (step 0).");
        return false;
    }
    path += u"\\UAC2";
    if (!createKey(key, path)) {
        uLog(1, "Failed to open or create user registry key in TryGetDriverUserRegistryKeyName (step 1).");
        return false;
    }
    key.Close();
    std::u16string serial;
    if (!TryGetDriverValue(driverName, u"SerialNumber", serial))
        return false;
    path += u"\\" + serial;
    if (!createKey(key, path)) {
        uLog(1, "Failed to open or create user registry key in TryGetDriverUserRegistryKeyName (step 2).");
        return false;
    }
    keyName = path;
    return true;
}

bool RegistrySetDriverUserValueInt(int slot, const char16_t* valueName, uint32_t value)
{
    std::u16string path;
    if (!TryGetDriverUserRegistryKeyName(slot, path)) {
        uLog(1, "RegistrySetDriverUserValueInt error: Failed to get driver registry key name for driver idx: %d",
             slot);
        return false;
    }
    w32::CRegKey key;
    if (!openKey(key, w32::HKEY_CURRENT_USER, path, kWriteAccess)) {
        uLog(1, "Failed to open user registry key in RegistrySetDriverUserValueInt.");
        return false;
    }
    return key.SetDWORDValue(valueName, value) == w32::ERROR_SUCCESS;
}

uint32_t RegistryReadDriverUserValueInt(int slot, const char16_t* valueName, uint32_t minimum, uint32_t maximum,
                                        uint32_t defaultValue)
{
    std::u16string path;
    if (!TryGetDriverUserRegistryKeyName(slot, path)) {
        uLog(1, "RegistryReadDriverUserValueInt error: Failed to get driver registry key name for driver idx: %d",
             slot);
        return defaultValue;
    }
    w32::CRegKey key;
    if (!openKey(key, w32::HKEY_CURRENT_USER, path, kReadAccess)) {
        uLog(1, "RegistryReadDriverUserValueInt error: Failed to open user registry key for driver idx: %d", slot);
        return defaultValue;
    }
    w32::DWORD value = defaultValue;
    if (key.QueryDWORDValue(valueName, value) != w32::ERROR_SUCCESS)
        value = defaultValue;
    if (value < minimum)
        return minimum;
    if (value > maximum)
        return maximum;
    return value;
}

uint32_t RegistryReadDriverUserGlobalValueInt(const char16_t* valueName, uint32_t defaultValue)
{
    w32::CRegKey key;
    if (!openKey(key, w32::HKEY_CURRENT_USER, kUserGlobalKey, kReadAccess)) {
        uLog(1, "Failed to open user global registry key in RegistryReadDriverUserGlobalValueInt.");
        return defaultValue;
    }
    w32::DWORD value = defaultValue;
    return key.QueryDWORDValue(valueName, value) == w32::ERROR_SUCCESS ? value : defaultValue;
}

uint32_t RegistryReadBufferSizeMillisecs(int slot)
{
    return RegistryReadDriverUserValueInt(
        slot, kBufferSizeMillisecsValue, kMinBufferSizeMillisecs, kMaxBufferSizeMillisecs,
        RegistryReadDriverUserGlobalValueInt(kBufferSizeMillisecsValue, kDefaultBufferSizeMillisecs));
}

bool RegistrySetBufferSizeMillisecs(int slot, uint32_t milliseconds)
{
    return RegistrySetDriverUserValueInt(slot, kBufferSizeMillisecsValue, milliseconds);
}

bool RegistryReadIsRealTimeEnabled(int slot)
{
    return RegistryReadDriverUserValueInt(slot, kIsRealTimeEnabledValue, 0, 1, 1) != 0;
}

} // namespace orvo::asio
