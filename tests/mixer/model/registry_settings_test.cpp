// The Qt side of the machine registry: what QSettings reads and writes is
// what the registry stand-in (the drivers' side) holds, in both directions.

#include "mixer/model/hive_file.h"
#include "mixer/model/registry_settings.h"
#include "platform/registry/registry.h"
#include "qt_app.h"

#include "../../platform/registry/temp_root.h"

#include <gtest/gtest.h>

#include <cstring>

using orvo::model::RegistrySettings;

namespace {

class RegistryBridge : public ::testing::Test {
protected:
    void SetUp() override
    {
        orvo::testing::qtApp();
        reg::Registry::setMachineRoot(root.path);
    }
    reg::Registry& machine() { return reg::Registry::machine(); }
    reg::KeyRef create(reg::Hive hive, std::u16string_view path, bool isVolatile = false)
    {
        reg::KeyRef key;
        EXPECT_EQ(machine().create(machine().hiveRoot(hive), path, isVolatile, key), reg::Error::Ok);
        return key;
    }
    void setDword(const reg::KeyRef& key, std::u16string_view name, uint32_t v)
    {
        ASSERT_EQ(machine().setValue(key, name, reg::ValueType::Dword, &v, 4), reg::Error::Ok);
    }
    reg::Value query(reg::Hive hive, std::u16string_view path, std::u16string_view name)
    {
        reg::KeyRef key;
        reg::Value v;
        EXPECT_EQ(machine().open(machine().hiveRoot(hive), path, key), reg::Error::Ok);
        EXPECT_EQ(machine().queryValue(key, name, v), reg::Error::Ok);
        return v;
    }
    TempRoot root;
};

} // namespace

TEST_F(RegistryBridge, NativePathsNameTheHiveFileAndTheKey)
{
    EXPECT_EQ(RegistrySettings::hiveFileFor("HKEY_LOCAL_MACHINE\\Software\\ASIO"),
              QString::fromStdString(machine().hiveFile(reg::Hive::LocalMachine).string()));
    EXPECT_EQ(RegistrySettings::hiveFileFor("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2"),
              QString::fromStdString(machine().hiveFile(reg::Hive::CurrentUser).string()));
    EXPECT_EQ(RegistrySettings::groupFor("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2"), "Software/Orvo/UAC2");
    EXPECT_EQ(RegistrySettings::hiveFileFor("HKEY_USERS\\x"), QString());
}

TEST_F(RegistryBridge, ReadsWhatTheDriversWrote)
{
    const reg::KeyRef asio = create(reg::Hive::LocalMachine, u"Software\\ASIO\\QX1600 (2)", true);
    const std::vector<uint8_t> serial = reg::szData(u"0001000001B");
    ASSERT_EQ(machine().setValue(asio, u"SerialNumber", reg::ValueType::Sz, serial.data(), serial.size()),
              reg::Error::Ok);
    setDword(asio, u"VID", 0x3A71);

    RegistrySettings settings("HKEY_LOCAL_MACHINE\\Software\\ASIO");
    EXPECT_EQ(settings.childGroups(), QStringList{"QX1600 (2)"});
    EXPECT_EQ(settings.value("QX1600 (2)/SerialNumber").toString(), "0001000001B");
    EXPECT_EQ(settings.value("QX1600 (2)/VID").toUInt(), 0x3A71u);
}

TEST_F(RegistryBridge, WritesWhatTheDriversRead)
{
    create(reg::Hive::CurrentUser, u"Software\\Orvo\\UAC2\\Global");
    {
        RegistrySettings settings("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2");
        settings.setValue("Global/BufferSizeMillisecs", 12);
        settings.setValue("0001000001A/BufferSizeMillisecs", 20); // a new key
    }
    const reg::Value global = query(reg::Hive::CurrentUser, u"Software\\Orvo\\UAC2\\Global", u"BufferSizeMillisecs");
    EXPECT_EQ(global.type, reg::ValueType::Dword);
    ASSERT_EQ(global.data.size(), 4u);
    uint32_t v = 0;
    std::memcpy(&v, global.data.data(), 4);
    EXPECT_EQ(v, 12u);
    const reg::Value device =
        query(reg::Hive::CurrentUser, u"Software\\Orvo\\UAC2\\0001000001A", u"BufferSizeMillisecs");
    std::memcpy(&v, device.data.data(), 4);
    EXPECT_EQ(v, 20u);
}

// A QSettings write rewrites the whole hive: what it cannot express (volatile
// keys, empty keys, key ids, value types it would write otherwise) survives.
TEST_F(RegistryBridge, AWriteKeepsWhatQSettingsCannotExpress)
{
    const reg::KeyRef asio = create(reg::Hive::CurrentUser, u"Volatile\\Entry", true);
    const std::vector<uint8_t> expand = reg::szData(u"%SystemRoot%\\x");
    ASSERT_EQ(machine().setValue(asio, u"Path", reg::ValueType::ExpandSz, expand.data(), expand.size()),
              reg::Error::Ok);
    const reg::KeyRef empty = create(reg::Hive::CurrentUser, u"Software\\Orvo\\UAC2\\0001000001A");
    {
        RegistrySettings settings("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2");
        settings.setValue("Global/BufferSizeMillisecs", 8);
    }
    reg::KeyRef reopened;
    ASSERT_EQ(machine().open(machine().hiveRoot(reg::Hive::CurrentUser), u"Software\\Orvo\\UAC2\\0001000001A",
                             reopened),
              reg::Error::Ok);
    EXPECT_EQ(reopened.id, empty.id);
    bool isVolatile = false;
    ASSERT_EQ(machine().isVolatile(asio, isVolatile), reg::Error::Ok); // same key id: not re-made
    EXPECT_TRUE(isVolatile);
    const reg::Value path = query(reg::Hive::CurrentUser, u"Volatile\\Entry", u"Path");
    EXPECT_EQ(path.type, reg::ValueType::ExpandSz);
    EXPECT_EQ(path.data, expand);
    // A restart drops the volatile key the write carried over.
    ASSERT_EQ(machine().reboot(), reg::Error::Ok);
    reg::KeyRef gone;
    EXPECT_EQ(machine().open(machine().hiveRoot(reg::Hive::CurrentUser), u"Volatile", gone), reg::Error::NotFound);
}

TEST_F(RegistryBridge, ValueTypesDecodeAsQSettingsHandsThemOut)
{
    using namespace orvo::model;
    struct Case {
        quint32 type;
        QByteArray data;
        QVariant expected;
    };
    const Case cases[] = {
        {kRegSz, QByteArray("a\0b\0\0\0", 6), QString("ab")},
        {kRegSz, QByteArray("a\0\0\0z\0", 6), QString("a")}, // up to the first zero
        {kRegDword, QByteArray("\x08\0\0\0", 4), QVariant(8u)},
        {kRegDword, QByteArray("\x08\0", 2), QVariant(QByteArray("\x08\0", 2))}, // wrong size: bytes
        {kRegQword, QByteArray("\x01\0\0\0\0\0\0\x01", 8), QVariant(qulonglong(0x0100000000000001ull))},
        {kRegMultiSz, QByteArray("a\0\0\0b\0\0\0\0\0", 10), QStringList{"a", "b"}},
        {kRegBinary, QByteArray("\x01\x02", 2), QVariant(QByteArray("\x01\x02", 2))},
    };
    for (const Case& c : cases) {
        const QVariant got = decodeValue(HiveValue{"v", c.type, c.data});
        EXPECT_EQ(got, c.expected) << c.type;
        EXPECT_EQ(got.userType(), c.expected.userType()) << c.type;
    }
    EXPECT_EQ(encodeValue("v", -5).data, QByteArray("\xfb\xff\xff\xff", 4));
    EXPECT_EQ(encodeValue("v", QString("ab")).data, QByteArray("a\0b\0\0\0", 6));
}

TEST_F(RegistryBridge, ACorruptHiveIsNeitherReadNorOverwritten)
{
    create(reg::Hive::CurrentUser, u"Software");
    const std::string file = machine().hiveFile(reg::Hive::CurrentUser).string();
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        std::fputs("orvo-registry 1 3\nkey 1 - \\\nnonsense\n", f);
        std::fclose(f);
    }
    RegistrySettings settings("HKEY_CURRENT_USER\\Software");
    EXPECT_EQ(settings.status(), QSettings::FormatError);
    settings.setValue("x", 1);
    settings.sync();
    FILE* f = std::fopen(file.c_str(), "rb");
    char text[64] = {};
    std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    EXPECT_NE(std::strstr(text, "nonsense"), nullptr);
}
