// The driver's registry settings over entries written as the kernel driver
// and the GUI programs write them.

#include "drive_fixture.h"

#include "../../platform/registry/temp_root.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/common/class_ids.h"
#include "platform/registry/registry.h"
#include "platform/win32/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace {

using namespace orvo::asio;
using w32::HKEY;

constexpr int kSlot = 3;
const std::u16string kName = u"QX-1600";
const std::u16string kSerial = u"0000001000A";
const std::u16string kUserKey = u"Software\\Orvo\\UAC2\\" + kSerial;

class RegistrySettings : public ::testing::Test, public orvo::asio::testing::DriveFixture {
protected:
    RegistrySettings() { reg::Registry::setMachineRoot(root_.path); }

    static HKEY create(HKEY root, const std::u16string& path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(w32::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, w32::KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  w32::ERROR_SUCCESS);
        return key;
    }
    static void setString(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value)
    {
        HKEY key = create(root, path);
        w32::RegSetValueExW(key, name, 0, w32::REG_SZ, reinterpret_cast<const w32::BYTE*>(value.c_str()),
                            w32::DWORD((value.size() + 1) * 2));
        w32::RegCloseKey(key);
    }
    static void setDword(HKEY root, const std::u16string& path, const char16_t* name, uint32_t value)
    {
        HKEY key = create(root, path);
        w32::RegSetValueExW(key, name, 0, w32::REG_DWORD, reinterpret_cast<const w32::BYTE*>(&value), 4);
        w32::RegCloseKey(key);
    }
    static bool keyExists(HKEY root, const std::u16string& path)
    {
        HKEY key = nullptr;
        if (w32::RegOpenKeyExW(root, path.c_str(), 0, w32::KEY_READ, &key) != w32::ERROR_SUCCESS)
            return false;
        w32::RegCloseKey(key);
        return true;
    }
    static std::u16string upper(std::u16string s)
    {
        for (char16_t& c : s)
            if (c >= u'a' && c <= u'z')
                c = char16_t(c - u'a' + u'A');
        return s;
    }

    // The entries the kernel driver writes for a mixer in kSlot; the class
    // key in upper case, as the kernel names it.
    void writeDriverEntries(const std::u16string& kernelInterface = u"{5CA1AB1E-1234-5678-0908-070605040302}")
    {
        setString(w32::HKEY_LOCAL_MACHINE, u"Software\\Classes\\CLSID\\" + upper(ClassIdText(kSlot)), u"", kName);
        setString(w32::HKEY_LOCAL_MACHINE, u"Software\\ASIO\\" + kName, u"SerialNumber", kSerial);
        setString(w32::HKEY_LOCAL_MACHINE, u"Software\\ASIO\\" + kName, u"KernelInterface", kernelInterface);
    }

    TempRoot root_;
};

TEST_F(RegistrySettings, ClassIdentifierTextIsLowerCaseBraceForm)
{
    const orvo::classcomp::ClassId& id = orvo::classcomp::kClassIds[0];
    ASSERT_EQ(id.data1, 0xC52D6938u);
    EXPECT_EQ(ClassIdText(0), u"{c52d6938-ed3e-485e-a36a-5d7f9b39c185}");
    EXPECT_EQ(ClassIdText(99), u"{e26ddaa0-8ece-4d64-9958-7db3d9c31a8d}");
    EXPECT_EQ(ClassIdText(100), u"");
    EXPECT_EQ(ClassIdText(-1), u"");
}

TEST_F(RegistrySettings, DriverNameAndInterfaceFromTheKernelEntries)
{
    std::u16string name;
    w32::GUID guid;
    EXPECT_FALSE(uRegistryTryReadDriverName(kSlot, name));
    EXPECT_FALSE(uRegistryTryReadKernelInterfaceGuid(kSlot, guid));

    writeDriverEntries(u"{5ca1ab1e-1234-5678-0908-070605040302}");
    ASSERT_TRUE(uRegistryTryReadDriverName(kSlot, name));
    EXPECT_EQ(name, kName);
    ASSERT_TRUE(uRegistryTryReadKernelInterfaceGuid(kSlot, guid));
    const w32::GUID expected{0x5ca1ab1e, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
    EXPECT_EQ(guid, expected);
    writeDriverEntries(u"{5CA1AB1E-1234-5678-0908-070605040302}");
    ASSERT_TRUE(uRegistryTryReadKernelInterfaceGuid(kSlot, guid));
    EXPECT_EQ(guid, expected);

    for (const char16_t* bad : {u"5ca1ab1e-1234-5678-0908-070605040302", u"{5ca1ab1e}", u""}) {
        writeDriverEntries(bad);
        EXPECT_FALSE(uRegistryTryReadKernelInterfaceGuid(kSlot, guid));
    }
    EXPECT_FALSE(uRegistryTryReadDriverName(kSlot + 1, name));
}

TEST_F(RegistrySettings, BufferTimeAndRealTimeSwitch)
{
    struct Case {
        const char* what;
        bool driverEntries;
        std::optional<uint32_t> global;
        std::optional<uint32_t> perDevice;
        uint32_t bufferMs;
    } cases[] = {
        {"no values", true, {}, {}, 8},
        {"Global only", true, 20, {}, 20},
        {"per-device 0", true, 20, 0, 1},
        {"per-device 70", true, {}, 70, 50},
        {"per-device 33", true, 20, 33, 33},
        {"no per-device key name, Global 70", false, 70, {}, 70},
        {"per-device key without a value, Global 70", true, 70, {}, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot fresh;
        reg::Registry::setMachineRoot(fresh.path);
        if (c.driverEntries)
            writeDriverEntries();
        if (c.global)
            setDword(w32::HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global", kBufferSizeMillisecsValue, *c.global);
        if (c.perDevice)
            setDword(w32::HKEY_CURRENT_USER, kUserKey, kBufferSizeMillisecsValue, *c.perDevice);
        EXPECT_EQ(RegistryReadBufferSizeMillisecs(kSlot), c.bufferMs);
    }
}

TEST_F(RegistrySettings, RealTimeSwitch)
{
    writeDriverEntries();
    EXPECT_TRUE(RegistryReadIsRealTimeEnabled(kSlot)); // absent: on
    setDword(w32::HKEY_CURRENT_USER, kUserKey, kIsRealTimeEnabledValue, 0);
    EXPECT_FALSE(RegistryReadIsRealTimeEnabled(kSlot));
    setDword(w32::HKEY_CURRENT_USER, kUserKey, kIsRealTimeEnabledValue, 5);
    EXPECT_TRUE(RegistryReadIsRealTimeEnabled(kSlot));
    setString(w32::HKEY_CURRENT_USER, kUserKey, kIsRealTimeEnabledValue, u"0"); // not a DWORD: absent
    EXPECT_TRUE(RegistryReadIsRealTimeEnabled(kSlot));
}

TEST_F(RegistrySettings, ReadingCreatesTheMissingPerUserKeys)
{
    writeDriverEntries();
    EXPECT_FALSE(keyExists(w32::HKEY_CURRENT_USER, u"Software\\Orvo"));
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(kSlot), 8u);
    EXPECT_TRUE(keyExists(w32::HKEY_CURRENT_USER, kUserKey));
    EXPECT_FALSE(keyExists(w32::HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2\\Global")); // only read, never made
}

TEST_F(RegistrySettings, WritesGoUnderTheSerialNumber)
{
    EXPECT_FALSE(RegistrySetBufferSizeMillisecs(kSlot, 12)); // no driver entry
    writeDriverEntries();
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(kSlot, 12));
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(kSlot), 12u);
    HKEY key = nullptr;
    ASSERT_EQ(w32::RegOpenKeyExW(w32::HKEY_CURRENT_USER, kUserKey.c_str(), 0, w32::KEY_READ, &key), w32::ERROR_SUCCESS);
    uint32_t value = 0;
    w32::DWORD type = 0, size = 4;
    EXPECT_EQ(w32::RegQueryValueExW(key, kBufferSizeMillisecsValue, nullptr, &type,
                                    reinterpret_cast<w32::BYTE*>(&value), &size),
              w32::ERROR_SUCCESS);
    w32::RegCloseKey(key);
    EXPECT_EQ(type, w32::REG_DWORD);
    EXPECT_EQ(value, 12u);
}

} // namespace
