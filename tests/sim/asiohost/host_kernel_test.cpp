// orvo-asio-host against the ASIO driver library and the kernel driver, with
// a simulated mixer plugged into the machine the program boots.

#include "host_fixture.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct HostWithKernel : HostFixture {
    std::pair<std::string, int> run(const std::string& arguments) const
    {
        return runProgram(ASIO_HOST_PROGRAM, "--library '" + std::string(ASIO_DRIVER_LIBRARY) + "' " + arguments);
    }
    std::string allLogs() const
    {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(w32::hostPath(u"c:\\temp\\OrvoAsioLog"))) {
            std::ifstream in(entry.path());
            text += std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }
        return text;
    }
};

TEST_F(HostWithKernel, LoadsCreatesInitsAndReleasesTheDriverOfThePluggedMixer)
{
    machine.put(u"c:\\temp\\OrvoEnableDebugLog.flag");
    machine.folder(u"c:\\temp\\OrvoAsioLog");
    const auto [output, code] = run("--machine --seconds 0.5");
    EXPECT_EQ(code, 0) << output;
    for (const char* line : {"machine: mixer qx1600 plugged in\n",
                             "driver Orvo QX1600: class {C52D6938-ED3E-485E-A36A-5D7F9B39C185}\n",
                             "library C:\\Windows\\System32\\OrvoUac2Asio.dll loaded\n", "init: ASIOTrue\n",
                             "Release: 0\n", "DllCanUnloadNow: S_OK\n", "library unloaded\n"})
        EXPECT_NE(output.find(line), std::string::npos) << line << output;
    EXPECT_NE(allLogs().find("DLL_PROCESS_DETACH invoked."), std::string::npos)
        << "process detach ran (and with it the device slots' shutdown)";
}

} // namespace
