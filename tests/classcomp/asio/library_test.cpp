// The driver as a host gets it: the shared library loaded from where the
// class entry points, its exports looked up by name, unloaded again.

#include "device_fixture.h"

#include "classcomp/asio/asio_interface.h"
#include "platform/win32/library.h"
#include "platform/win32/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using namespace orvo::asio;

class DriverLibrary : public orvo::asio::testing::DeviceFixture {
protected:
    DriverLibrary()
    {
        const std::filesystem::path placed = w32::hostPathAnsi("c:\\Windows\\System32\\OrvoUac2Asio.dll");
        std::filesystem::create_directories(placed.parent_path());
        std::filesystem::copy_file(ORVO_ASIO_LIBRARY, placed);
    }
};

TEST_F(DriverLibrary, LoadCreateReleaseUnload)
{
    ASSERT_NE(plugQx1600(), nullptr);
    enableLog();
    const std::string log = logOf([&] {
        w32::HMODULE library = w32::LoadLibraryW(u"C:\\Windows\\System32\\OrvoUac2Asio.dll");
        ASSERT_NE(library, nullptr);
        auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(w32::GetProcAddress(library, "DllGetClassObject"));
        auto canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(w32::GetProcAddress(library, "DllCanUnloadNow"));
        ASSERT_NE(getClassObject, nullptr);
        ASSERT_NE(canUnloadNow, nullptr);
        for (const char* name : {"DllMain", "DllRegisterServer", "DllUnregisterServer", "uOrvoAudioIsDeviceAvailable"})
            EXPECT_NE(w32::GetProcAddress(library, name), nullptr) << name;
        auto available = reinterpret_cast<bool (*)(int32_t)>(w32::GetProcAddress(library, "uOrvoAudioIsDeviceAvailable"));
        EXPECT_TRUE(available(0));
        EXPECT_FALSE(available(1));

        const com::CLSID clsid{0xC52D6938, 0xED3E, 0x485E, {0xA3, 0x6A, 0x5D, 0x7F, 0x9B, 0x39, 0xC1, 0x85}};
        void* out = nullptr;
        ASSERT_EQ(getClassObject(clsid, com::IID_IClassFactory, &out), com::S_OK);
        auto* factory = static_cast<com::IClassFactory*>(out);
        void* object = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, clsid, &object), com::S_OK);
        factory->Release();
        auto* driver = static_cast<IASIO*>(object);
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        char name[kAsioDriverNameLength];
        driver->getDriverName(name);
        EXPECT_STREQ(name, "Orvo QX1600");
        EXPECT_EQ(canUnloadNow(), com::S_FALSE);
        EXPECT_EQ(driver->Release(), 0u);
        // The slot's monitor was told to end with the last object; on this
        // test's clock the release does not wait for it, the host does.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (canUnloadNow() != com::S_OK && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(canUnloadNow(), com::S_OK);
        EXPECT_TRUE(w32::FreeLibrary(library));
    });
    EXPECT_EQ(count(log, "Invoked AAsio::CreateInstance"), 1u);
    EXPECT_EQ(count(log, "DLL_PROCESS_DETACH invoked."), 1u);
    // The object's wrapper went with it: no handle of this process is left.
    EXPECT_EQ(context(port_)->clientCount, 0u);
}

} // namespace
