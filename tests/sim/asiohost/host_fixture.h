#pragma once
// A machine of its own for a host test: drives and registry in a temporary
// folder, the driver entries as the kernel driver writes them, and the
// stand-in driver library installed where the class entry points.

#include "platform/com/guid_string.h"
#include "platform/win32/reg_key.h"
#include "sim/machine/installation.h"

#include "../../platform/win32/temp_drive.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

struct HostFixture : ::testing::Test {
    TempDrive machine;
    std::string logPath = (machine.root.path / "fake-driver.log").string();

    HostFixture()
    {
        ::setenv("ORVO_FAKE_ASIO_LOG", logPath.c_str(), 1);
        ::unsetenv("ORVO_FAKE_ASIO_RESET");
    }
    ~HostFixture() override { ::unsetenv("ORVO_FAKE_ASIO_LOG"); }

    // Software\ASIO\<name> and the class entry, as the kernel driver writes them.
    static void registerDriver(const std::u16string& name, const std::u16string& clsid,
                               const std::u16string& server = u"%SystemRoot%\\System32\\OrvoUac2Asio.dll")
    {
        w32::CRegKey asio;
        ASSERT_EQ(asio.Create(w32::HKEY_LOCAL_MACHINE, (u"Software\\ASIO\\" + name).c_str()), 0);
        ASSERT_EQ(asio.SetStringValue(u"CLSID", clsid.c_str()), 0);
        ASSERT_EQ(asio.SetStringValue(u"Description", name.c_str()), 0);
        w32::CRegKey server32;
        ASSERT_EQ(server32.Create(w32::HKEY_LOCAL_MACHINE,
                                  (u"Software\\Classes\\CLSID\\" + clsid + u"\\InprocServer32").c_str()),
                  0);
        ASSERT_EQ(server32.SetStringValue(nullptr, server.c_str(), w32::REG_EXPAND_SZ), 0);
        ASSERT_EQ(server32.SetStringValue(u"ThreadingModel", u"Apartment"), 0);
    }

    // Runs `program` on this test's machine with `arguments`; its output and exit code.
    std::pair<std::string, int> runProgram(const std::string& program, const std::string& arguments) const
    {
        const std::string command = program + " --registry-root '" + (machine.root.path / "registry").string() +
                                    "' --drive-root '" + (machine.root.path / "drives").string() + "' " +
                                    arguments + " 2>&1";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        std::array<char, 256> chunk;
        while (std::fgets(chunk.data(), chunk.size(), pipe))
            output += chunk.data();
        const int status = ::pclose(pipe);
        return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    std::vector<std::string> driverLog() const
    {
        std::vector<std::string> lines;
        std::ifstream in(logPath);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

// Class identifier of slot 3 in the kernel's (upper-case) spelling.
inline constexpr char16_t kSlot3[] = u"{417FE590-DED3-48FE-8843-278DAD5F49FC}";
