// The host's loading, driving and releasing of a driver library, against a
// stand-in library with a fake driver object.

#include "platform/win32/misuse.h"
#include "sim/asiohost/asio_host.h"

#include "host_fixture.h"

#include <dlfcn.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace {

using namespace orvo::asiohost;

struct AsioHostTest : HostFixture {
    HostReport report;
    HostOptions options;
    AsioHostTest()
    {
        options.driverName = u"Orvo QX-1600";
        EXPECT_TRUE(orvo::machine::installAsioDriver(FAKE_ASIO_DRIVER));
    }
    bool libraryLoaded() const
    {
        const std::string path = w32::hostPath(orvo::machine::kAsioDriverPath);
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle)
            ::dlclose(handle);
        return handle != nullptr;
    }
    std::string lineStartingWith(const std::string& prefix) const
    {
        for (const std::string& line : driverLog())
            if (line.rfind(prefix, 0) == 0)
                return line;
        return {};
    }
};

TEST_F(AsioHostTest, LoadsCreatesInitsAndUnloads)
{
    registerDriver(u"Orvo QX-1600", kSlot3);
    {
        AsioHost host(options, report);
        ASSERT_TRUE(host.load());
        EXPECT_TRUE(libraryLoaded());
        ASSERT_TRUE(host.init());
        EXPECT_TRUE(host.run());
        host.release();
        EXPECT_FALSE(libraryLoaded()) << "unloaded once every object and factory is gone";
    }
    const std::vector<std::string> expected = {
        "DllGetClassObject IClassFactory", "CreateInstance with the class identifier", "init slot 3",
        "unloaded"};
    std::vector<std::string> log = driverLog();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0], expected[0]);
    EXPECT_EQ(log[1], expected[1]);
    EXPECT_EQ(log[2], expected[2]);
    EXPECT_EQ(log[3].rfind("Release 0 on ", 0), 0u);
    EXPECT_EQ(log[4], expected[3]);
    EXPECT_TRUE(report.contains("driver Orvo QX-1600: class {417FE590-DED3-48FE-8843-278DAD5F49FC}"));
    EXPECT_TRUE(report.contains("driver name: Fake Mixer"));
    EXPECT_TRUE(report.contains("DllCanUnloadNow: S_OK"));
    EXPECT_TRUE(report.contains("library unloaded"));
}

TEST_F(AsioHostTest, ALibraryTheLoaderCannotUnloadIsReportedLoudly)
{
    // On the platform the last FreeLibrary unloads and runs process detach;
    // a library kept mapped here would run it only at exit.
    ASSERT_TRUE(orvo::machine::installAsioDriver(FAKE_ASIO_DRIVER_UNIQUE));
    w32::HMODULE module = w32::LoadLibraryW(orvo::machine::kAsioDriverPath);
    ASSERT_NE(module, nullptr);
    auto getClassObject = reinterpret_cast<orvo::asio::DllGetClassObjectFn>(w32::GetProcAddress(module, "DllGetClassObject"));
    ASSERT_NE(getClassObject, nullptr);
    void* factory = nullptr;
    const com::CLSID unknown{1};
    EXPECT_EQ(getClassObject(unknown, com::IID_IClassFactory, &factory), com::CLASS_E_CLASSNOTAVAILABLE);
    w32::MisuseTrap trap;
    EXPECT_THROW(w32::FreeLibrary(module), w32::PlatformMisuse);
}

TEST_F(AsioHostTest, LowerCaseClassEntryIsFoundToo)
{
    registerDriver(u"Orvo QX-1600", u"{417fe590-ded3-48fe-8843-278dad5f49fc}");
    AsioHost host(options, report);
    EXPECT_TRUE(host.load());
}

TEST_F(AsioHostTest, EachMissingPieceIsReported)
{
    struct Case {
        const char* what;
        std::u16string name, clsid, server;
        std::string reported;
    } cases[] = {
        {"no driver entry", u"Other Mixer", kSlot3, u"%SystemRoot%\\System32\\OrvoUac2Asio.dll",
         "no driver entry HKLM\\Software\\ASIO\\Orvo QX-1600 (error 2)"},
        {"not a class identifier", u"Orvo QX-1600", u"417FE590-DED3-48FE-8843-278DAD5F49FC",
         u"%SystemRoot%\\System32\\OrvoUac2Asio.dll",
         "CLSID value is not a class identifier: 417FE590-DED3-48FE-8843-278DAD5F49FC"},
        {"no library there", u"Orvo QX-1600", kSlot3, u"%SystemRoot%\\System32\\Elsewhere.dll",
         "library C:\\Windows\\System32\\Elsewhere.dll does not load (error 126)"},
        {"class not served", u"Orvo QX-1600", u"{00000000-1111-2222-3333-444444444444}",
         u"%SystemRoot%\\System32\\OrvoUac2Asio.dll", "DllGetClassObject: 0x80040111"},
    };
    for (const Case& c : cases) {
        TempDrive fresh;
        ASSERT_TRUE(orvo::machine::installAsioDriver(FAKE_ASIO_DRIVER));
        registerDriver(c.name, c.clsid, c.server);
        HostReport caseReport;
        AsioHost host(options, caseReport);
        EXPECT_FALSE(host.load()) << c.what;
        EXPECT_TRUE(caseReport.contains(c.reported)) << c.what << ": " << caseReport.lines().back();
    }
}

TEST_F(AsioHostTest, ResetRequestIsAnsweredOnTheHostsThreadNotInTheCallback)
{
    registerDriver(u"Orvo QX-1600", kSlot3);
    ::setenv("ORVO_FAKE_ASIO_RESET", "3", 1);
    options.createBuffers = true;
    options.milliseconds = 300;
    std::ostringstream me;
    me << std::this_thread::get_id();
    {
        AsioHost host(options, report);
        ASSERT_TRUE(host.load());
        ASSERT_TRUE(host.init());
        ASSERT_TRUE(host.startStreaming());
        ASSERT_TRUE(host.run());
        EXPECT_EQ(host.resetsAnswered(), 1);
        EXPECT_GT(host.bufferSwitches(), 3u) << "the new driver streams";
        host.release();
    }
    const std::string requested = lineStartingWith("reset requested on ");
    ASSERT_FALSE(requested.empty());
    const std::vector<std::string> log = driverLog();
    const auto release = std::find(log.begin(), log.end(), "Release 0 on " + me.str());
    ASSERT_NE(release, log.end()) << "released by the host's own thread";
    EXPECT_NE(requested.substr(std::string("reset requested on ").size()), me.str());
    // Order around the reset: stop, dispose, release, then a new object initialised and started.
    const auto at = [&](const std::string& line, std::vector<std::string>::const_iterator from) {
        return std::find(from, log.cend(), line);
    };
    auto it = at("reset requested on " + requested.substr(19), log.cbegin());
    it = at("stop", it);
    it = at("disposeBuffers", it);
    ASSERT_NE(it, log.cend());
    it = at("CreateInstance with the class identifier", it);
    it = at("init slot 3", it);
    it = at("start", it);
    EXPECT_NE(it, log.cend());
    EXPECT_TRUE(report.contains("callback asioMessage(3, 0)"));
    EXPECT_TRUE(report.contains("callback asioMessage(7, 0)")) << "asked whether time info is supported";
    EXPECT_TRUE(report.contains("answering the reset request: dispose, release, create, init"));
    EXPECT_TRUE(report.contains("library unloaded"));
}

} // namespace
