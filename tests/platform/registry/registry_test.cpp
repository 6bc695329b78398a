#include "platform/registry/registry.h"

#include "temp_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>

namespace {

using namespace reg;

struct RegistryTest : ::testing::Test {
    TempRoot root;
    Registry r{root.path};
    KeyRef hklm = r.hiveRoot(Hive::LocalMachine);
    KeyRef hkcu = r.hiveRoot(Hive::CurrentUser);

    KeyRef make(const KeyRef& base, std::u16string_view path, bool isVolatile = false)
    {
        KeyRef k;
        EXPECT_EQ(r.create(base, path, isVolatile, k), Error::Ok);
        return k;
    }
    void setDword(const KeyRef& k, std::u16string_view name, uint32_t v)
    {
        ASSERT_EQ(r.setValue(k, name, ValueType::Dword, &v, 4), Error::Ok);
    }
};

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirCase)
{
    bool created = false;
    KeyRef uac2;
    ASSERT_EQ(r.create(hkcu, u"Software\\Orvo\\UAC2", false, uac2, &created), Error::Ok);
    EXPECT_TRUE(created);
    EXPECT_EQ(uac2.path, u"Software\\Orvo\\UAC2");

    KeyRef again;
    ASSERT_EQ(r.create(hkcu, u"SOFTWARE\\orvo\\uac2", false, again, &created), Error::Ok);
    EXPECT_FALSE(created);
    EXPECT_EQ(again.path, u"Software\\Orvo\\UAC2"); // the case it was made with
    EXPECT_EQ(again.id, uac2.id);

    KeyRef opened;
    ASSERT_EQ(r.open(hkcu, u"software\\ORVO", opened), Error::Ok);
    std::vector<std::u16string> subs;
    ASSERT_EQ(r.subkeys(opened, subs), Error::Ok);
    EXPECT_EQ(subs, std::vector<std::u16string>{u"UAC2"});

    setDword(uac2, u"BufferSizeMillisecs", 8);
    Value v;
    ASSERT_EQ(r.queryValue(again, u"buffersizemillisecs", v), Error::Ok);
    EXPECT_EQ(v.name, u"BufferSizeMillisecs");
    setDword(uac2, u"BUFFERSIZEMILLISECS", 12); // the same value
    std::vector<Value> all;
    ASSERT_EQ(r.values(uac2, all), Error::Ok);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].name, u"BufferSizeMillisecs");
    EXPECT_EQ(all[0].data, (std::vector<uint8_t>{12, 0, 0, 0}));

    EXPECT_EQ(r.open(hkcu, u"Software\\Nobody", opened), Error::NotFound);
    EXPECT_EQ(r.queryValue(uac2, u"Missing", v), Error::NotFound);
}

TEST_F(RegistryTest, SubkeysSortWithoutCaseValuesKeepWriteOrder)
{
    KeyRef base = make(hkcu, u"Software\\Orvo\\UAC2");
    for (auto name : {u"global", u"0000012345B", u"Zeta", u"0000012345A", u"Alpha"})
        make(base, name);
    std::vector<std::u16string> subs;
    ASSERT_EQ(r.subkeys(base, subs), Error::Ok);
    EXPECT_EQ(subs, (std::vector<std::u16string>{u"0000012345A", u"0000012345B", u"Alpha", u"global", u"Zeta"}));

    KeyRef asio = make(hklm, u"Software\\ASIO\\QX1600");
    const std::u16string names[] = {u"CLSID", u"Description", u"SerialNumber", u"VID", u"PID", u"KernelInterface"};
    for (const auto& n : names)
        setDword(asio, n, 1);
    setDword(asio, u"Description", 2); // rewriting keeps the place
    std::vector<Value> all;
    ASSERT_EQ(r.values(asio, all), Error::Ok);
    ASSERT_EQ(all.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(all[i].name, names[i]);
}

TEST_F(RegistryTest, DeleteFailsWhileSubkeysExist)
{
    KeyRef asio = make(hklm, u"Software\\ASIO");
    KeyRef dev = make(asio, u"QX1600");
    EXPECT_EQ(r.deleteKey(hklm, u"Software\\ASIO"), Error::HasSubkeys);
    EXPECT_EQ(r.deleteKey(asio, u""), Error::HasSubkeys);
    EXPECT_EQ(r.deleteKey(asio, u"Nothing"), Error::NotFound);
    EXPECT_EQ(r.deleteKey(asio, u"qx1600"), Error::Ok);
    EXPECT_EQ(r.deleteKey(asio, u""), Error::Ok);
    KeyRef opened;
    EXPECT_EQ(r.open(hklm, u"Software\\ASIO", opened), Error::NotFound);
    EXPECT_EQ(r.deleteKey(hklm, u""), Error::InvalidName);
}

TEST_F(RegistryTest, OpenedKeyNoticesItsDeletion)
{
    KeyRef dev = make(hklm, u"Software\\ASIO\\QX1600");
    ASSERT_EQ(r.deleteKey(hklm, u"Software\\ASIO\\QX1600"), Error::Ok);
    Value v;
    uint32_t one = 1;
    EXPECT_EQ(r.setValue(dev, u"VID", ValueType::Dword, &one, 4), Error::KeyDeleted);
    // A new key of the same name is another key.
    make(hklm, u"Software\\ASIO\\QX1600");
    EXPECT_EQ(r.queryValue(dev, u"VID", v), Error::KeyDeleted);
    KeyRef sub;
    EXPECT_EQ(r.create(dev, u"Sub", false, sub), Error::KeyDeleted);
}

TEST_F(RegistryTest, VolatileKeysGoAtReboot)
{
    KeyRef classes = make(hklm, u"Software\\Classes\\CLSID");
    KeyRef cls = make(classes, u"{A}", true);
    EXPECT_EQ(r.create(cls, u"InprocServer32", false, cls), Error::ChildMustBeVolatile);
    KeyRef inproc = make(cls, u"InprocServer32", true);
    KeyRef lasting = make(hklm, u"Software\\Orvo\\Control Panel");
    const auto sz = szData(u"c:\\orvo\\panel.exe");
    ASSERT_EQ(r.setValue(lasting, u"ControlPanelPath", ValueType::Sz, sz.data(), sz.size()), Error::Ok);
    // An existing key is opened as it is, whatever kind the call asks for.
    bool isVolatile = true;
    KeyRef reopened = make(hklm, u"Software\\Classes", true);
    ASSERT_EQ(r.isVolatile(reopened, isVolatile), Error::Ok);
    EXPECT_FALSE(isVolatile);

    ASSERT_EQ(r.reboot(), Error::Ok);
    KeyRef k;
    EXPECT_EQ(r.open(classes, u"{A}", k), Error::NotFound);
    EXPECT_EQ(r.open(hklm, u"Software\\Classes\\CLSID", k), Error::Ok);
    Value v;
    ASSERT_EQ(r.queryValue(lasting, u"ControlPanelPath", v), Error::Ok);
    EXPECT_EQ(v.data, sz);
}

TEST_F(RegistryTest, BadNamesAreRefused)
{
    KeyRef k;
    EXPECT_EQ(r.create(hklm, u"Software\\\\ASIO", false, k), Error::InvalidName);
    EXPECT_EQ(r.create(hklm, u"\\Software", false, k), Error::InvalidName);
    EXPECT_EQ(r.create(hklm, u"Software\\", false, k), Error::InvalidName);
    EXPECT_EQ(r.create(hklm, std::u16string(256, u'x'), false, k), Error::InvalidName);
    EXPECT_EQ(r.create(hklm, std::u16string(255, u'x'), false, k), Error::Ok);
}

TEST_F(RegistryTest, AnotherInstanceOnTheSameRootSeesEverything)
{
    KeyRef dev = make(hklm, u"Software\\ASIO\\QX1600 (2)", true);
    const auto sz = szData(u"%SystemRoot%\\System32\\OrvoUac2Asio.dll");
    ASSERT_EQ(r.setValue(dev, u"", ValueType::ExpandSz, sz.data(), sz.size()), Error::Ok);
    ASSERT_EQ(r.setValue(dev, u"Empty", ValueType::Binary, nullptr, 0), Error::Ok);

    Registry other(root.path);
    KeyRef k;
    ASSERT_EQ(other.open(other.hiveRoot(Hive::LocalMachine), u"software\\asio\\qx1600 (2)", k), Error::Ok);
    bool isVolatile = false;
    ASSERT_EQ(other.isVolatile(k, isVolatile), Error::Ok);
    EXPECT_TRUE(isVolatile);
    Value v;
    ASSERT_EQ(other.queryValue(k, u"", v), Error::Ok);
    EXPECT_EQ(v.type, ValueType::ExpandSz);
    EXPECT_EQ(v.data, sz);
    ASSERT_EQ(other.queryValue(k, u"Empty", v), Error::Ok);
    EXPECT_TRUE(v.data.empty());

    // And changes made there reach the first instance.
    uint32_t ms = 20;
    ASSERT_EQ(other.setValue(k, u"BufferSizeMillisecs", ValueType::Dword, &ms, 4), Error::Ok);
    ASSERT_EQ(r.queryValue(dev, u"BufferSizeMillisecs", v), Error::Ok);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{20, 0, 0, 0}));
}

// Each file under the root with its inode and modification time: a hive
// rewritten is a new file renamed over the old one.
std::map<std::filesystem::path, std::pair<ino_t, int64_t>> hiveFiles(const std::filesystem::path& root)
{
    std::map<std::filesystem::path, std::pair<ino_t, int64_t>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        if (entry.is_regular_file() && ::stat(entry.path().c_str(), &st) == 0)
            files[entry.path()] = {st.st_ino, int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    }
    return files;
}

TEST_F(RegistryTest, WritingTheValueAlreadyThereLeavesTheHiveFileAlone)
{
    KeyRef k = make(hklm, u"Software\\ASIO\\QX1600");
    setDword(k, u"Rate", 48000);
    const auto before = hiveFiles(root.path);
    setDword(k, u"Rate", 48000);
    EXPECT_EQ(hiveFiles(root.path), before);

    // The same bytes as another type, or other bytes, are a change.
    uint32_t same = 48000;
    ASSERT_EQ(r.setValue(k, u"Rate", ValueType::Binary, &same, 4), Error::Ok);
    EXPECT_NE(hiveFiles(root.path), before);
    Value v;
    ASSERT_EQ(r.queryValue(k, u"Rate", v), Error::Ok);
    EXPECT_EQ(v.type, ValueType::Binary);
    setDword(k, u"Rate", 44100);
    ASSERT_EQ(r.queryValue(k, u"Rate", v), Error::Ok);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0x44, 0xAC, 0, 0}));
}

TEST_F(RegistryTest, HivesAreSeparate)
{
    make(hklm, u"Software\\Orvo");
    KeyRef k;
    EXPECT_EQ(r.open(hkcu, u"Software\\Orvo", k), Error::NotFound);
    EXPECT_TRUE(std::filesystem::exists(r.hiveFile(Hive::LocalMachine)));
    EXPECT_EQ(r.hiveFile(Hive::CurrentUser).filename(), "HKCU.reg");
}

} // namespace
