// The CRegKey-shaped key object: open/create/close, access masks, and the
// type and length checks of its string and DWORD reads.

#include "platform/win32/reg_key.h"

#include "temp_drive.h"

#include <gtest/gtest.h>

namespace {

using namespace w32;

struct RegKey : ::testing::Test {
    TempDrive machine;
    static void setRaw(HKEY root, LPCWSTR path, LPCWSTR name, DWORD type, const void* data, DWORD size)
    {
        CRegKey k;
        ASSERT_EQ(k.Create(root, path), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
};

TEST_F(RegKey, CreateMakesEveryLevelAndReopenClosesTheOldHandle)
{
    CRegKey k;
    DWORD disposition = 0;
    ASSERT_EQ(k.Create(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\0000000001A", nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_READ | KEY_WRITE, nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    const HKEY first = k;
    ASSERT_EQ(k.Open(HKEY_CURRENT_USER, u"software\\orvo\\uac2\\0000000001a", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE) << "the first handle was closed by the second open";
    EXPECT_EQ(k.SetDWORDValue(u"BufferSizeMillisecs", 8), ERROR_ACCESS_DENIED) << "opened for reading only";
    EXPECT_EQ(k.Open(HKEY_CURRENT_USER, u"Software\\Nothing", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(static_cast<HKEY>(k), nullptr) << "a failed open keeps the key it had";
    EXPECT_EQ(k.Close(), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(k.QueryDWORDValue(u"x", v), ERROR_INVALID_HANDLE) << "closed";
}

TEST_F(RegKey, DwordReadsRefuseOtherTypes)
{
    const DWORD five = 5;
    const char16_t text[] = u"5";
    const uint64_t wide = 5;
    setRaw(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\S", u"Dword", REG_DWORD, &five, 4);
    setRaw(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\S", u"Text", REG_SZ, text, sizeof text);
    setRaw(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\S", u"Short", REG_DWORD, &five, 2);
    setRaw(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\S", u"Qword", REG_QWORD, &wide, 8);
    CRegKey k;
    ASSERT_EQ(k.Open(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\S", KEY_READ), ERROR_SUCCESS);
    struct Case {
        LPCWSTR name;
        LSTATUS result;
    } cases[] = {{u"Dword", ERROR_SUCCESS},
                 {u"Text", ERROR_INVALID_DATA},
                 {u"Short", ERROR_INVALID_DATA},
                 {u"Qword", ERROR_MORE_DATA},
                 {u"Missing", ERROR_FILE_NOT_FOUND}};
    for (const Case& c : cases) {
        DWORD v = 99;
        EXPECT_EQ(k.QueryDWORDValue(c.name, v), c.result);
        EXPECT_EQ(v, c.result == ERROR_SUCCESS ? 5u : 99u) << "unchanged on failure";
    }
}

TEST_F(RegKey, StringReadsCheckTypeTerminationAndLength)
{
    const std::u16string embedded(u"Orvo QX\0tail", 13); // with its terminating zero
    const char16_t unterminated[] = {u'a', u'b'};
    const std::u16string longest(254, u'x'), tooLong(255, u'y');
    const DWORD number = 1;
    auto set = [](LPCWSTR name, DWORD type, const void* data, size_t size) {
        setRaw(HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel", name, type, data, static_cast<DWORD>(size));
    };
    set(u"", REG_SZ, u"Default text", sizeof(u"Default text"));
    set(u"Embedded", REG_SZ, embedded.data(), embedded.size() * 2);
    set(u"Expand", REG_EXPAND_SZ, u"%SystemRoot%", sizeof(u"%SystemRoot%"));
    set(u"Unterminated", REG_SZ, unterminated, sizeof unterminated);
    set(u"Odd", REG_SZ, u"ab", 3);
    set(u"Number", REG_DWORD, &number, 4);
    set(u"Longest", REG_SZ, longest.c_str(), (longest.size() + 1) * 2);
    set(u"TooLong", REG_SZ, tooLong.c_str(), (tooLong.size() + 1) * 2);
    set(u"Empty", REG_SZ, nullptr, 0);

    CRegKey k;
    ASSERT_EQ(k.Open(HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel", KEY_READ), ERROR_SUCCESS);
    struct Case {
        LPCWSTR name;
        LSTATUS result;
        std::u16string text; // as a C string
        ULONG chars;
    } cases[] = {
        {u"", ERROR_SUCCESS, u"Default text", 13},
        {nullptr, ERROR_SUCCESS, u"Default text", 13},
        {u"Embedded", ERROR_SUCCESS, u"Orvo QX", 13},
        {u"Expand", ERROR_SUCCESS, u"%SystemRoot%", 13},
        {u"Unterminated", ERROR_INVALID_DATA, u"", 0},
        {u"Odd", ERROR_INVALID_DATA, u"", 0},
        {u"Number", ERROR_INVALID_DATA, u"", 0},
        {u"Longest", ERROR_SUCCESS, longest, 255},
        {u"TooLong", ERROR_MORE_DATA, u"", 256},
        {u"Empty", ERROR_SUCCESS, u"", 1},
        {u"Missing", ERROR_FILE_NOT_FOUND, u"", 0},
    };
    for (const Case& c : cases) {
        WCHAR buffer[255];
        buffer[0] = 0;
        ULONG chars = 255;
        EXPECT_EQ(k.QueryStringValue(c.name, buffer, &chars), c.result);
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(std::u16string(buffer), c.text);
            EXPECT_EQ(chars, c.chars);
        } else if (c.result == ERROR_MORE_DATA) {
            EXPECT_EQ(chars, c.chars) << "the length needed";
        }
    }
}

TEST_F(RegKey, SetValuesRoundTrip)
{
    CRegKey k;
    ASSERT_EQ(k.Create(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global", nullptr, REG_OPTION_NON_VOLATILE,
                       0x2001F),
              ERROR_SUCCESS);
    ASSERT_EQ(k.SetDWORDValue(u"BufferSizeMillisecs", 20), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(u"Name", u"Orvo"), ERROR_SUCCESS);
    CRegKey r;
    ASSERT_EQ(r.Open(HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global", KEY_READ), ERROR_SUCCESS);
    DWORD v = 0;
    ASSERT_EQ(r.QueryDWORDValue(u"BufferSizeMillisecs", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 20u);
    WCHAR s[8];
    ULONG n = 8;
    ASSERT_EQ(r.QueryStringValue(u"Name", s, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(s), u"Orvo");
    EXPECT_EQ(n, 5u);
}

} // namespace
