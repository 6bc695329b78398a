// The COM frame: class objects for the 100 class identifiers, the factory's
// creation rules, reference counts and when the library may be unloaded.

#include "device_fixture.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/com_server.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/common/class_ids.h"
#include "classcomp/kernel/device_slots.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace orvo::asio;

const com::CLSID kUnknownClass{0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
const com::IID kOtherInterface{0x87654321, 0x0fed, 0xcba9, {8, 7, 6, 5, 4, 3, 2, 1}};
void* const kGarbage = reinterpret_cast<void*>(uintptr_t(0xdeadbeef));

const com::CLSID& classOf(int slot)
{
    return *FactoryTemplates()[slot].clsid;
}

// An outer object that aggregates the driver object: only its reference
// count matters here.
class Outer final : public com::IUnknown {
public:
    com::HRESULT QueryInterface(com::REFIID, void** object) override
    {
        *object = nullptr;
        return com::E_NOINTERFACE;
    }
    w32::ULONG AddRef() override { return ++refs; }
    w32::ULONG Release() override { return --refs; }
    w32::ULONG refs = 1;
};

class ComFrame : public orvo::asio::testing::DeviceFixture {
protected:
    ~ComFrame() override { EXPECT_EQ(DllCanUnloadNow(), com::S_OK); }

    com::IClassFactory* factory(int slot)
    {
        void* out = nullptr;
        EXPECT_EQ(DllGetClassObject(classOf(slot), com::IID_IClassFactory, &out), com::S_OK);
        return static_cast<com::IClassFactory*>(out);
    }
};

TEST_F(ComFrame, ClassObjects)
{
    const struct {
        const char* what;
        const com::CLSID& clsid;
        const com::IID& iid;
        com::HRESULT result;
    } cases[] = {
        {"unknown class", kUnknownClass, com::IID_IClassFactory, com::CLASS_E_CLASSNOTAVAILABLE},
        {"known class, another interface", classOf(0), kOtherInterface, com::E_NOINTERFACE},
        {"known class as its own interface", classOf(7), classOf(7), com::E_NOINTERFACE},
        {"first class, IClassFactory", classOf(0), com::IID_IClassFactory, com::S_OK},
        {"last class, IUnknown", classOf(99), com::IID_IUnknown, com::S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        void* out = kGarbage;
        EXPECT_EQ(DllGetClassObject(c.clsid, c.iid, &out), c.result);
        EXPECT_EQ(out == nullptr, c.result != com::S_OK);
        if (out)
            static_cast<com::IClassFactory*>(out)->Release();
    }
    EXPECT_EQ(DllGetClassObject(classOf(0), com::IID_IClassFactory, nullptr), com::E_POINTER);
}

TEST_F(ComFrame, CreationRules)
{
    com::IClassFactory* f = factory(5);
    const w32::LONG factories = ObjectCount();
    Outer outer;
    const struct {
        const char* what;
        com::IUnknown* outer;
        const com::IID& iid;
        com::HRESULT result;
    } cases[] = {
        {"aggregated, any other interface: refused before anything is made", &outer, classOf(5), com::E_NOINTERFACE},
        {"aggregated, IUnknown", &outer, com::IID_IUnknown, com::S_OK},
        {"alone, the slot's class identifier", nullptr, classOf(5), com::S_OK},
        {"alone, IUnknown", nullptr, com::IID_IUnknown, com::S_OK},
        {"alone, another interface", nullptr, kOtherInterface, com::E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        enableLog();
        void* out = kGarbage;
        const std::string log = logOf([&] { EXPECT_EQ(f->CreateInstance(c.outer, c.iid, &out), c.result); });
        EXPECT_EQ(out == nullptr, c.result != com::S_OK);
        if (c.outer) {
            EXPECT_EQ(count(log, "Invoked AAsio::CreateInstance"), c.result == com::S_OK ? 1u : 0u);
        }
        EXPECT_EQ(ObjectCount(), factories + (out ? 1 : 0));
        if (out)
            static_cast<com::IUnknown*>(out)->Release();
        EXPECT_EQ(ObjectCount(), factories);
    }
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(f->CreateInstance(nullptr, com::IID_IUnknown, nullptr), com::E_POINTER);
    EXPECT_EQ(f->Release(), 0u);
}

TEST_F(ComFrame, ReferenceCountsAndUnloading)
{
    EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    com::IClassFactory* f = factory(0);
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE);
    void* out = nullptr;
    ASSERT_EQ(f->QueryInterface(com::IID_IUnknown, &out), com::S_OK);
    EXPECT_EQ(out, f);
    EXPECT_EQ(f->Release(), 1u);
    EXPECT_EQ(f->AddRef(), 2u);
    EXPECT_EQ(f->Release(), 1u);

    ASSERT_EQ(f->CreateInstance(nullptr, classOf(0), &out), com::S_OK);
    auto* driver = static_cast<IASIO*>(out);
    EXPECT_EQ(driver->AddRef(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    void* again = nullptr;
    ASSERT_EQ(driver->QueryInterface(com::IID_IUnknown, &again), com::S_OK);
    EXPECT_EQ(static_cast<com::IUnknown*>(again)->Release(), 1u);

    EXPECT_EQ(f->LockServer(w32::TRUE), com::S_OK);
    EXPECT_EQ(f->LockServer(w32::TRUE), com::S_OK);
    EXPECT_EQ(f->Release(), 0u); // the factory goes
    EXPECT_EQ(driver->Release(), 0u); // the object goes
    EXPECT_EQ(ObjectCount(), 0);
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE); // two server locks
    // The locks outlive the factory that took them; any factory releases them.
    com::IClassFactory* other = factory(1);
    EXPECT_EQ(other->LockServer(w32::FALSE), com::S_OK);
    EXPECT_EQ(other->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE);
    other = factory(1);
    EXPECT_EQ(other->LockServer(w32::FALSE), com::S_OK);
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE); // the factory still lives
    EXPECT_EQ(other->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
}

TEST_F(ComFrame, TheClassIdentifiersAreTheKernelDriversTable)
{
    for (size_t n = 0; n < kFactoryTemplateCount; ++n) {
        const kplat::Guid kernel = orvo::kernel::ClassIdForSlot(uint32_t(n));
        const com::CLSID& ours = *FactoryTemplates()[n].clsid;
        EXPECT_EQ(ours.Data1, kernel.data1) << n;
        EXPECT_EQ(ours.Data2, kernel.data2) << n;
        EXPECT_EQ(ours.Data3, kernel.data3) << n;
        EXPECT_EQ(std::memcmp(ours.Data4, kernel.data4.data(), 8), 0) << n;
        EXPECT_EQ(std::u16string(FactoryTemplates()[n].name), u"ORVOASIO");
        for (size_t m = 0; m < n; ++m)
            EXPECT_NE(ours, *FactoryTemplates()[m].clsid);
    }
}

TEST_F(ComFrame, RegistrationExportsDoNothing)
{
    EXPECT_EQ(DllRegisterServer(), com::S_OK);
    EXPECT_EQ(DllUnregisterServer(), com::S_OK);
    reg::KeyRef k;
    reg::Registry& r = reg::Registry::machine();
    std::vector<std::u16string> classes;
    ASSERT_EQ(r.open(r.hiveRoot(reg::Hive::LocalMachine), u"Software\\Classes\\CLSID", k), reg::Error::Ok);
    r.subkeys(k, classes);
    EXPECT_TRUE(classes.empty());
}

} // namespace
