// The driver as a host gets it: the shared library loaded from where the
// class entry points, its exports looked up by name, unloaded again.

#include "device_fixture.h"

#include "classcomp/asio/asio_interface.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/registry/registry.h"
#include "platform/win32/process.h"
#include "platform/win32/library.h"
#include "platform/win32/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
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

    // The driver loaded as a host loads it, one initialised object of it.
    struct Loaded {
        w32::HMODULE library = nullptr;
        DllGetClassObjectFn getClassObject = nullptr;
        DllCanUnloadNowFn canUnloadNow = nullptr;
        IASIO* driver = nullptr;
    };
    static Loaded load()
    {
        Loaded l;
        l.library = w32::LoadLibraryW(u"C:\\Windows\\System32\\OrvoUac2Asio.dll");
        EXPECT_NE(l.library, nullptr);
        if (!l.library)
            return l;
        l.getClassObject = reinterpret_cast<DllGetClassObjectFn>(w32::GetProcAddress(l.library, "DllGetClassObject"));
        l.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(w32::GetProcAddress(l.library, "DllCanUnloadNow"));
        renew(l);
        return l;
    }
    // The object released (if any) and a new one created and initialised.
    static void renew(Loaded& l)
    {
        if (l.driver) {
            EXPECT_EQ(l.driver->Release(), 0u);
        }
        void* out = nullptr;
        EXPECT_EQ(l.getClassObject(kClsid, com::IID_IClassFactory, &out), com::S_OK);
        auto* factory = static_cast<com::IClassFactory*>(out);
        void* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, kClsid, &object), com::S_OK);
        factory->Release();
        l.driver = static_cast<IASIO*>(object);
        EXPECT_EQ(l.driver->init(nullptr), ASIOTrue);
    }
    // The object released, and the library once its threads have ended.
    static void unload(Loaded& l)
    {
        EXPECT_EQ(l.driver->Release(), 0u);
        l.driver = nullptr;
        EXPECT_TRUE(waitFor([&] { return l.canUnloadNow() == com::S_OK; }));
        EXPECT_TRUE(w32::FreeLibrary(l.library));
    }

    static constexpr com::CLSID kClsid{0xC52D6938, 0xED3E, 0x485E, {0xA3, 0x6A, 0x5D, 0x7F, 0x9B, 0x39, 0xC1, 0x85}};
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

        const com::CLSID& clsid = kClsid;
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

// The test flag files are read once per process, by the first status
// monitor that gets there: record bytes 907 to 909 set, and the monitor batch
// file started through the shell with the monitor's log. A later monitor of
// the process (a new object) reads none of them again.
class FlagFiles : public DriverLibrary {
protected:
    FlagFiles() : record_(nullptr)
    {
        enableLog();
        std::filesystem::create_directories(w32::hostPathAnsi("c:\\temp\\monitor"));
        std::ofstream(w32::hostPathAnsi("c:\\temp\\monitor\\monitor.bat")) << "@echo off\n";
        w32::clearProgramStarts();
    }
    void plug()
    {
        ASSERT_NE(plugQx1600(), nullptr);
        record_ = orvo::kernel::AsioInfo(context(port_)->asioInfo);
    }
    static void createFlags()
    {
        for (const char* flag : {"OrvoKernelLoopback", "OrvoAsioNotifyTiming", "OrvoEraseBuffers", "OrvoAutoLaunchLog"})
            std::ofstream(w32::hostPathAnsi(std::string("c:\\temp\\") + flag + ".flag")).put('\n');
    }
    std::array<uint8_t, 3> flags() const
    {
        return {record_.kernelLoopback(), record_.clientTimingSwitch(), record_.eraseBuffers()};
    }
    // The monitor of a new object has made its passes up to the flag files
    // and beyond: its push, then a pass more.
    void passed()
    {
        record_.setSettingsPushed(0);
        ASSERT_TRUE(waitFor([&] { return record_.settingsPushed() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    orvo::kernel::AsioInfo record_;
};

TEST_F(FlagFiles, ThereAtTheFirstPassTakeEffectOnce)
{
    plug();
    createFlags();
    std::string logPath;
    const std::string log = logOf([&] {
        Loaded driver = load();
        ASSERT_TRUE(waitFor([&] { return flags() == std::array<uint8_t, 3>{1, 1, 1}; }));
        ASSERT_TRUE(waitFor([&] { return !w32::programStarts().empty(); }));
        // Cleared here, they stay clear under the monitor of a new object.
        record_.setKernelLoopback(0);
        record_.setClientTimingSwitch(0);
        record_.setEraseBuffers(0);
        renew(driver);
        passed();
        EXPECT_EQ(flags(), (std::array<uint8_t, 3>{0, 0, 0}));
        unload(driver);
    });
    const std::vector<w32::ProgramStart> starts = w32::programStarts();
    ASSERT_EQ(starts.size(), 1u);
    const w32::ProgramStart& batch = starts[0];
    EXPECT_EQ(batch.kind, w32::ProgramStart::Kind::ShellExecute);
    EXPECT_EQ(batch.verb, u"");
    EXPECT_EQ(batch.application, u"c:\\temp\\monitor\\monitor.bat");
    EXPECT_EQ(batch.currentDirectory, u"c:\\temp\\monitor");
    EXPECT_EQ(batch.showWindow, w32::SW_SHOWNORMAL);
    EXPECT_TRUE(batch.succeeded);
    // The parameters: the log file of the monitor that started it.
    const std::string path = reg::utf8(batch.commandLine);
    ASSERT_EQ(path.rfind("c:\\temp\\OrvoAsioLog\\OrvoAsioLog_", 0), 0u) << path;
    std::ifstream in(w32::hostPathAnsi(path));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(count(text.str(), "Begin ASIO event notification thread"), 1u);
    EXPECT_EQ(count(log, "DLL_PROCESS_DETACH invoked."), 1u);
}

TEST_F(FlagFiles, MadeLaterChangeNothingInTheSameProcess)
{
    plug();
    logOf([&] {
        Loaded driver = load();
        passed();
        createFlags();
        renew(driver);
        passed();
        EXPECT_EQ(flags(), (std::array<uint8_t, 3>{0, 0, 0}));
        EXPECT_TRUE(w32::programStarts().empty());
        unload(driver);
    });
}

} // namespace
