#include "kernel_fixture.h"

#include "platform/kernel/kernel_registry.h"
#include "platform/kernel/spin_lock.h"
#include "platform/registry/registry.h"

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace kplat::testing {
namespace {

class KernelRegistryTest : public KernelFixture {
protected:
    KernelRegistryTest()
    {
        root_ = std::filesystem::temp_directory_path() /
                ("kplat-registry-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        reg::Registry::setMachineRoot(root_);
    }
    ~KernelRegistryTest() override { std::filesystem::remove_all(root_); }

    std::filesystem::path root_;
};

TEST_F(KernelRegistryTest, KeysValuesAndDeletion)
{
    ASSERT_EQ(createRegistryKeyAbsolute(u"\\Registry\\Machine\\Software\\ASIO"), status::kSuccess);
    KeyHandle key = nullptr;
    KeyDisposition disposition;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software\\ASIO\\Mixer", KeyOptions::Volatile, &key, &disposition),
              status::kSuccess);
    EXPECT_EQ(disposition, KeyDisposition::CreatedNew);
    const char16_t text[] = u"{ABC}";
    ASSERT_EQ(setValueKey(key, u"CLSID", kRegSz, text, sizeof text), status::kSuccess);
    uint32_t vid = 0x3A71;
    ASSERT_EQ(setValueKey(key, u"VID", kRegDword, &vid, 4), status::kSuccess);
    closeKey(key);

    reg::Registry& registry = reg::Registry::machine();
    reg::KeyRef ref;
    ASSERT_EQ(registry.open(registry.hiveRoot(reg::Hive::LocalMachine), u"Software\\ASIO\\mixer", ref), reg::Error::Ok);
    reg::Value value;
    ASSERT_EQ(registry.queryValue(ref, u"VID", value), reg::Error::Ok);
    EXPECT_EQ(value.type, reg::ValueType::Dword);
    ASSERT_EQ(registry.queryValue(ref, u"CLSID", value), reg::Error::Ok);
    EXPECT_EQ(value.data.size(), sizeof text);

    // A key with subkeys cannot be deleted.
    KeyHandle parent = nullptr;
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\Software\\ASIO", &parent), status::kSuccess);
    EXPECT_EQ(deleteKey(parent), status::kCannotDelete);
    closeKey(parent);
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\Software\\ASIO\\Mixer", &key), status::kSuccess);
    EXPECT_EQ(deleteKey(key), status::kSuccess);
    closeKey(key);
    EXPECT_EQ(openKey(u"\\Registry\\Machine\\Software\\ASIO\\Mixer", &key), status::kObjectNameNotFound);
    EXPECT_EQ(openKeyHandles(), 0u);
}

TEST_F(KernelRegistryTest, CreateKeyNeedsItsParentAndVolatileKeysGoAtReboot)
{
    KeyHandle key = nullptr;
    EXPECT_EQ(createKey(u"\\Registry\\Machine\\Software", KeyOptions::NonVolatile, &key), status::kSuccess);
    closeKey(key);
    EXPECT_EQ(createKey(u"\\Registry\\Machine\\Software\\Nope\\Deeper", KeyOptions::Volatile, &key),
              status::kObjectNameNotFound);
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software\\Classes", KeyOptions::NonVolatile, &key), status::kSuccess);
    closeKey(key);
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software\\Classes\\Gone", KeyOptions::Volatile, &key), status::kSuccess);
    closeKey(key);
    ASSERT_EQ(reg::Registry::machine().reboot(), reg::Error::Ok);
    EXPECT_EQ(openKey(u"\\Registry\\Machine\\Software\\Classes\\Gone", &key), status::kObjectNameNotFound);
    EXPECT_EQ(openKey(u"\\Registry\\Machine\\Software\\Classes", &key), status::kSuccess);
    closeKey(key);
}

TEST_F(KernelRegistryTest, AHandleThatIsNotOpenIsCaught)
{
    KeyHandle key = nullptr;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software", KeyOptions::NonVolatile, &key), status::kSuccess);
    KeyHandle other = nullptr;
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\Software", &other), status::kSuccess);
    EXPECT_NE(other, key);
    ASSERT_EQ(closeKey(key), status::kSuccess);
    const uint32_t dword = 1;
    EXPECT_THROW(closeKey(key), StrictnessViolation);
    EXPECT_THROW(setValueKey(key, u"X", kRegDword, &dword, 4), StrictnessViolation);
    EXPECT_THROW(deleteKey(key), StrictnessViolation);
    EXPECT_THROW(closeKey(nullptr), StrictnessViolation);
    // The other handle to the same key is untouched, and a closed value is not
    // handed out again.
    EXPECT_EQ(setValueKey(other, u"X", kRegDword, &dword, 4), status::kSuccess);
    KeyHandle third = nullptr;
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\Software", &third), status::kSuccess);
    EXPECT_NE(third, key);
    closeKey(third);
    closeKey(other);
    EXPECT_EQ(openKeyHandles(), 0u);
}

TEST_F(KernelRegistryTest, RegistryCallsAtDispatchAreCaught)
{
    struct Root final : Object {
        Root() : Object(ObjectAttributes{}, nullptr) {}
    };
    auto* root = new Root;
    ObjectAttributes attributes;
    attributes.parent = root;
    SpinLock* lock = nullptr;
    ASSERT_EQ(SpinLock::create(attributes, &lock), status::kSuccess);
    {
        SpinLockGuard guard(*lock);
        KeyHandle key = nullptr;
        EXPECT_THROW(openKey(u"\\Registry\\Machine\\Software", &key), StrictnessViolation);
        EXPECT_THROW(createRegistryKeyAbsolute(u"\\Registry\\Machine\\Software\\X"), StrictnessViolation);
    }
    root->deleteObject();
}

} // namespace
} // namespace kplat::testing
