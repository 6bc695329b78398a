// orvo-asio-host against the ASIO driver library and the kernel driver, with
// a simulated mixer plugged into the machine the program boots.

#include "host_fixture.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

struct HostWithKernel : HostFixture {
    std::pair<std::string, int> run(const std::string& arguments) const
    {
        const std::string command = std::string(ASIO_HOST_PROGRAM) + " --registry-root '" +
                                    (machine.root.path / "registry").string() + "' --drive-root '" +
                                    (machine.root.path / "drives").string() + "' --library '" + ASIO_DRIVER_LIBRARY +
                                    "' " + arguments + " 2>&1";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        std::array<char, 256> chunk;
        while (std::fgets(chunk.data(), chunk.size(), pipe))
            output += chunk.data();
        const int status = ::pclose(pipe);
        return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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
