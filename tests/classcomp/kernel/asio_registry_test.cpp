#include "mixer_fixture.h"

#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_registry.h"
#include "platform/kernel/kernel_services.h"
#include "platform/registry/registry.h"
#include "platform/win32/registry.h"
#include "sim/mixer/profile.h"


#include <gtest/gtest.h>

namespace orvo::kernel::testing {
namespace {

namespace mx = sim::mixer;

class AsioRegistryTest : public MixerFixture {
protected:
    AsioRegistryTest()
    {
        // The keys every machine has.
        reg::Registry& r = reg::Registry::machine();
        reg::KeyRef k;
        EXPECT_EQ(r.create(r.hiveRoot(reg::Hive::LocalMachine), u"Software\\Classes\\CLSID", false, k), reg::Error::Ok);
    }

    static reg::Registry& registry() { return reg::Registry::machine(); }
    static reg::KeyRef hklm() { return registry().hiveRoot(reg::Hive::LocalMachine); }
    static bool exists(std::u16string_view path)
    {
        reg::KeyRef k;
        return registry().open(hklm(), path, k) == reg::Error::Ok;
    }
    static std::u16string text(const kplat::Guid& g)
    {
        std::u16string s;
        EXPECT_EQ(kplat::guidToString(g, s), kplat::status::kSuccess);
        return s;
    }
    static std::vector<uint8_t> dword(uint32_t v)
    {
        return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                static_cast<uint8_t>(v >> 24)};
    }
    std::vector<std::u16string> asioKeys()
    {
        reg::KeyRef k;
        std::vector<std::u16string> out;
        if (registry().open(hklm(), u"Software\\ASIO", k) == reg::Error::Ok)
            registry().subkeys(k, out);
        return out;
    }
};

TEST_F(AsioRegistryTest, EachMixerGetsItsEntriesAsDesigned)
{
    DeviceContext* first = plugMixer(mx::profiles::qx1600(), 1000);
    DeviceContext* second = plugMixer(mx::profiles::qx1600(), 1001);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(asioKeys(), (std::vector<std::u16string>{u"Orvo QX1600", u"Orvo QX1600 (2)"}));
    EXPECT_EQ(kplat::openKeyHandles(), 0u);

    for (DeviceContext* c : {first, second}) {
        const std::u16string name = productName(c);
        SCOPED_TRACE(reg::utf8(name));
        reg::KeyRef key;
        ASSERT_EQ(registry().open(hklm(), u"Software\\ASIO\\" + name, key), reg::Error::Ok);
        bool isVolatile = false;
        registry().isVolatile(key, isVolatile);
        EXPECT_TRUE(isVolatile);
        std::vector<reg::Value> values;
        ASSERT_EQ(registry().values(key, values), reg::Error::Ok);
        const uint16_t pid = static_cast<uint16_t>(c->deviceDescriptor[10] | c->deviceDescriptor[11] << 8);
        const std::vector<std::tuple<std::u16string, reg::ValueType, std::vector<uint8_t>>> expected = {
            {u"CLSID", reg::ValueType::Sz, reg::szData(text(c->classId))},
            {u"Description", reg::ValueType::Sz, reg::szData(name)},
            {u"SerialNumber", reg::ValueType::Sz, reg::szData(std::u16string(c->serialNumber))},
            {u"VID", reg::ValueType::Dword, dword(0x3A71)},
            {u"PID", reg::ValueType::Dword, dword(pid)},
            {u"KernelInterface", reg::ValueType::Sz, reg::szData(text(c->interfaceGuid))},
        };
        ASSERT_EQ(values.size(), expected.size());
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(values[i].name, std::get<0>(expected[i]));
            EXPECT_EQ(values[i].type, std::get<1>(expected[i]));
            EXPECT_EQ(values[i].data, std::get<2>(expected[i])) << reg::utf8(values[i].name);
        }

        const std::u16string classKey = u"Software\\Classes\\CLSID\\" + text(c->classId);
        reg::Value v;
        ASSERT_EQ(registry().open(hklm(), classKey, key), reg::Error::Ok);
        ASSERT_EQ(registry().queryValue(key, u"", v), reg::Error::Ok);
        EXPECT_EQ(v.type, reg::ValueType::Sz);
        EXPECT_EQ(v.data, reg::szData(name));
        ASSERT_EQ(registry().open(hklm(), classKey + u"\\InprocServer32", key), reg::Error::Ok);
        ASSERT_EQ(registry().values(key, values), reg::Error::Ok);
        ASSERT_EQ(values.size(), 2u);
        EXPECT_EQ(values[0].name, u"ThreadingModel");
        EXPECT_EQ(values[0].data, reg::szData(u"Apartment"));
        EXPECT_EQ(values[1].name, u"");
        EXPECT_EQ(values[1].type, reg::ValueType::ExpandSz);
        EXPECT_EQ(values[1].data, reg::szData(u"%SystemRoot%\\System32\\OrvoUac2Asio.dll"));
    }
    // Identifiers 0 and 1, and an interface of its own each.
    EXPECT_EQ(first->slotIndex, 0u);
    EXPECT_EQ(second->slotIndex, 1u);
    EXPECT_NE(first->classId, second->classId);
    EXPECT_NE(first->interfaceGuid, second->interfaceGuid);
    // The registry form is upper-case hexadecimal in braces.
    const std::u16string clsid = text(first->classId);
    ASSERT_EQ(clsid.size(), 38u);
    EXPECT_EQ(clsid.front(), u'{');
    EXPECT_EQ(clsid.find_first_of(u"abcdef"), std::u16string::npos);
}

// What the ASIO driver reads through the user-mode registry calls: its class
// key by the identifier in lower case, then its driver entry by name.
TEST_F(AsioRegistryTest, UserModeFindsTheEntriesTheKernelWrote)
{
    DeviceContext* c = plugMixer(mx::profiles::qx1600(), 1000);
    ASSERT_TRUE(c);
    std::u16string clsid = text(c->classId);
    for (char16_t& ch : clsid)
        if (ch >= u'A' && ch <= u'F')
            ch = static_cast<char16_t>(ch - u'A' + u'a');
    w32::HKEY key = nullptr;
    ASSERT_EQ(w32::RegOpenKeyExW(w32::HKEY_LOCAL_MACHINE, (u"SOFTWARE\\Classes\\CLSID\\" + clsid).c_str(), 0,
                                 w32::KEY_READ, &key),
              w32::ERROR_SUCCESS);
    w32::WCHAR name[255] = {};
    w32::DWORD size = sizeof name, type = 0;
    ASSERT_EQ(w32::RegQueryValueExW(key, u"", nullptr, &type, reinterpret_cast<w32::BYTE*>(name), &size),
              w32::ERROR_SUCCESS);
    w32::RegCloseKey(key);
    EXPECT_EQ(type, w32::REG_SZ);
    EXPECT_EQ(std::u16string(name), productName(c));

    ASSERT_EQ(w32::RegOpenKeyExW(w32::HKEY_LOCAL_MACHINE, (u"Software\\ASIO\\" + std::u16string(name)).c_str(), 0,
                                 w32::KEY_READ, &key),
              w32::ERROR_SUCCESS);
    w32::WCHAR guid[255] = {};
    size = sizeof guid;
    ASSERT_EQ(w32::RegQueryValueExW(key, u"KernelInterface", nullptr, &type, reinterpret_cast<w32::BYTE*>(guid), &size),
              w32::ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(guid), text(c->interfaceGuid));
    EXPECT_EQ(size, 39u * 2);
    w32::RegCloseKey(key);
}

TEST_F(AsioRegistryTest, LeavingTheWorkingStateDeletesOnlyTheAsioKey)
{
    const uint32_t port = plugIn(make(mx::profiles::zr90Alpha(), 77));
    DeviceContext* c = context(port);
    ASSERT_TRUE(c);
    const std::u16string asioKey = u"Software\\ASIO\\" + productName(c);
    const std::u16string classKey = u"Software\\Classes\\CLSID\\" + text(c->classId);
    ASSERT_TRUE(exists(asioKey));

    ASSERT_EQ(kplat::pnp::setLowPower(bus_->node(port), true), kplat::status::kSuccess);
    EXPECT_FALSE(exists(asioKey));
    EXPECT_TRUE(exists(classKey));
    EXPECT_TRUE(exists(classKey + u"\\InprocServer32"));
    ASSERT_EQ(kplat::pnp::setLowPower(bus_->node(port), false), kplat::status::kSuccess);
    EXPECT_TRUE(exists(asioKey));

    bus_->unplug(port);
    EXPECT_FALSE(exists(asioKey));
    EXPECT_TRUE(exists(classKey));
    EXPECT_EQ(kplat::openKeyHandles(), 0u);

    // A restart of the system takes the volatile class keys; the lasting
    // parents stay.
    ASSERT_EQ(registry().reboot(), reg::Error::Ok);
    EXPECT_FALSE(exists(classKey));
    EXPECT_TRUE(exists(u"Software\\ASIO"));
    EXPECT_TRUE(exists(u"Software\\Classes\\CLSID"));
}

TEST_F(AsioRegistryTest, WithoutTheClassesKeyTheAsioEntryStillStands)
{
    // A machine without Software\Classes\CLSID: the class key cannot be
    // made, the writing stops there and what was written stays.
    reg::KeyRef k;
    ASSERT_EQ(registry().open(hklm(), u"Software\\Classes", k), reg::Error::Ok);
    ASSERT_EQ(registry().deleteKey(k, u"CLSID"), reg::Error::Ok);
    DeviceContext* c = plugMixer(mx::profiles::qx1600(), 5);
    ASSERT_TRUE(c);
    EXPECT_TRUE(exists(u"Software\\ASIO\\" + productName(c)));
    EXPECT_FALSE(exists(u"Software\\Classes\\CLSID"));
    EXPECT_EQ(kplat::openKeyHandles(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
