#include "platform/registry/registry.h"
#include "platform/win32/error.h"
#include "platform/win32/registry.h"

#include "../registry/temp_root.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace w32;

struct Win32Registry : ::testing::Test {
    TempRoot root;
    Win32Registry() { reg::Registry::setMachineRoot(root.path); }

    static LSTATUS setDword(HKEY k, LPCWSTR name, DWORD v)
    {
        return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    }
};

TEST_F(Win32Registry, CreateOpenSetQuery)
{
    HKEY k = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                              nullptr, &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(setDword(k, u"BufferSizeMillisecs", 20), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);

    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\orvo\\uac2\\GLOBAL", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD type = 0, value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExW(k, u"BufferSizeMillisecs", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, 20u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegQueryValueExW(k, u"IsRealTimeEnabled", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // Opened for reading: no writes through it.
    EXPECT_EQ(setDword(k, u"BufferSizeMillisecs", 3), ERROR_ACCESS_DENIED);
    RegCloseKey(k);

    DWORD again = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global", 0, nullptr, 0, KEY_READ, nullptr,
                              &k, &again),
              ERROR_SUCCESS);
    EXPECT_EQ(again, REG_OPENED_EXISTING_KEY);
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvo\\UAC2", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, StringSizesAndShortBuffers)
{
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_SUCCESS);
    const std::u16string path = u"c:\\orvo\\OrvoControlPanel.exe";
    const DWORD bytes = static_cast<DWORD>((path.size() + 1) * 2);
    ASSERT_EQ(RegSetValueExW(k, u"ControlPanelPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()), bytes),
              ERROR_SUCCESS);
    DWORD size = 0, type = 0;
    ASSERT_EQ(RegQueryValueExW(k, u"ControlPanelPath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, bytes);
    WCHAR small[4] = {};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(k, u"ControlPanelPath", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, bytes);
    WCHAR buf[255] = {};
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExW(k, u"ControlPanelPath", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(buf), path);
    EXPECT_EQ(RegSetValueExW(k, u"X", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(Win32Registry, EnumerateDeleteAndVolatile)
{
    HKEY uac2 = nullptr, sub = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &uac2, nullptr),
              ERROR_SUCCESS);
    for (LPCWSTR name : {u"Global", u"0000012345A", u"0000012345B"}) {
        ASSERT_EQ(RegCreateKeyExW(uac2, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
        setDword(sub, u"BufferSizeMillisecs", 8);
        RegCloseKey(sub);
    }
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD len = 256;
        const LSTATUS e = RegEnumKeyExW(uac2, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        EXPECT_EQ(len, std::u16string(name).size());
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"0000012345A", u"0000012345B", u"Global"}));
    WCHAR tiny[4];
    DWORD len = 4;
    EXPECT_EQ(RegEnumKeyExW(uac2, 0, tiny, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(uac2, u"Global"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(uac2, u"Global"), ERROR_FILE_NOT_FOUND);

    HKEY vol = nullptr, child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\ASIO\\QX1600", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &vol, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExW(vol, u"Lasting", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(reg::Registry::machine().reboot(), reg::Error::Ok);
    EXPECT_EQ(setDword(vol, u"VID", 0x3A71), ERROR_KEY_DELETED);
    RegCloseKey(vol);
    RegCloseKey(uac2);
}

TEST_F(Win32Registry, ValuesEnumerateInWriteOrderWithTheirData)
{
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\ASIO\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    setDword(k, u"VID", 0x3A71);
    setDword(k, u"PID", 0x18);
    WCHAR name[32];
    DWORD nameLen = 32, type = 0, data = 0, size = 4;
    ASSERT_EQ(RegEnumValueW(k, 1, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"PID");
    EXPECT_EQ(data, 0x18u);
    nameLen = 32;
    EXPECT_EQ(RegEnumValueW(k, 2, name, &nameLen, nullptr, &type, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
}

} // namespace
