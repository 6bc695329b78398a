// Starting programs: what is recorded, what is refused, and a real start.

#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/misuse.h"
#include "platform/win32/process.h"
#include "platform/win32/synch.h"

#include "temp_drive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace w32;

struct ProgramStarts : ::testing::Test {
    TempDrive drive;
    ProgramStarts()
    {
        clearProgramStarts();
        setProcessLaunching(false);
    }
    ~ProgramStarts() override { setProcessLaunching(false); }

    static STARTUPINFOW startup()
    {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.wShowWindow = SW_SHOWNORMAL;
        return si;
    }
    // An executable script at a drive path that writes its arguments, one a line, to `out`.
    std::filesystem::path script(std::u16string_view drivePath, const std::filesystem::path& out)
    {
        const auto host = drive.put(drivePath, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + out.string() +
                                                   "'\npwd >> '" + out.string() + "'\nexit 3\n");
        std::filesystem::permissions(host, std::filesystem::perms::owner_all);
        return host;
    }
};

TEST_F(ProgramStarts, CommandLineIsRecordedAndHandlesClose)
{
    drive.put(u"C:\\Program Files\\Orvo\\OrvoControlPanel.exe");
    std::u16string line = u"C:\\Program Files\\Orvo\\OrvoControlPanel.exe -x";
    STARTUPINFOW si = startup();
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_NE(pi.dwProcessId, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 259u) << "still running";
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateProcess(pi.hProcess, 4));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_FALSE(CloseHandle(pi.hProcess));

    const auto starts = programStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].kind, ProgramStart::Kind::CreateProcess);
    EXPECT_EQ(starts[0].commandLine, line);
    EXPECT_TRUE(starts[0].application.empty());
    EXPECT_EQ(starts[0].showWindow, SW_SHOWNORMAL);
    EXPECT_EQ(starts[0].startupFlags, 0u) << "show value given but not marked as used";
    EXPECT_TRUE(starts[0].succeeded);
    EXPECT_FALSE(starts[0].launched);
    // The program's runtime splits the unquoted line at every blank, as it would on the platform.
    EXPECT_EQ(starts[0].arguments, (std::vector<std::string>{"Files\\Orvo\\OrvoControlPanel.exe", "-x"}));
    EXPECT_EQ(starts[0].hostProgram, hostPath(u"c:\\program files\\orvo\\OrvoControlPanel.exe"))
        << "the unquoted words are tried up to the blank that names a file";
}

TEST_F(ProgramStarts, RefusalsAreRecordedToo)
{
    STARTUPINFOW si = startup();
    PROCESS_INFORMATION pi{};
    std::u16string missing = u"c:\\nowhere\\cp.exe";
    EXPECT_FALSE(CreateProcessW(nullptr, missing.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    drive.put(u"c:\\cp.exe");
    std::u16string line = u"c:\\cp.exe";
    si.cb = 12;
    EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    si = startup();
    EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "inherited handles are not modelled";
    const auto starts = programStarts();
    ASSERT_EQ(starts.size(), 3u);
    for (const auto& s : starts)
        EXPECT_FALSE(s.succeeded);
    MisuseTrap trap;
    EXPECT_THROW(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, nullptr),
                 PlatformMisuse);
}

TEST_F(ProgramStarts, LaunchingRunsTheProgramWithItsArguments)
{
    const auto out = drive.root.path / "args.txt";
    script(u"c:\\Program Files\\Orvo\\cp.exe", out);
    drive.folder(u"c:\\temp\\monitor");
    setProcessLaunching(true);
    std::u16string line = u"\"c:\\Program Files\\Orvo\\cp.exe\" \"two words\" a\\\"b";
    STARTUPINFOW si = startup();
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, u"c:\\temp\\monitor", &si,
                               &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::ifstream in(out);
    std::string a, b, cwd;
    std::getline(in, a);
    std::getline(in, b);
    std::getline(in, cwd);
    EXPECT_EQ(a, "two words");
    EXPECT_EQ(b, "a\"b");
    EXPECT_EQ(std::filesystem::path(cwd), hostPath(u"c:\\temp\\monitor"));
    EXPECT_TRUE(programStarts().at(0).launched);
}

TEST_F(ProgramStarts, ShellExecuteRecordsBatchFilesWithTheirParameters)
{
    drive.put(u"c:\\temp\\monitor\\monitor.bat", "@echo off\r\n");
    const auto r = ShellExecuteA(0, "", "c:\\temp\\monitor\\monitor.bat", "c:\\temp\\OrvoAsioLog\\OrvoAsioLog_0001a4.log",
                                 "c:\\temp\\monitor", SW_SHOWNORMAL);
    EXPECT_GT(reinterpret_cast<intptr_t>(r), 32);
    EXPECT_EQ(reinterpret_cast<intptr_t>(ShellExecuteA(0, nullptr, "c:\\temp\\none.bat", nullptr, nullptr, 1)),
              SE_ERR_FNF);
    EXPECT_EQ(reinterpret_cast<intptr_t>(ShellExecuteA(0, "print", "c:\\temp\\monitor\\monitor.bat", nullptr, nullptr, 1)),
              SE_ERR_NOASSOC);
    const auto starts = programStarts();
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0].kind, ProgramStart::Kind::ShellExecute);
    EXPECT_EQ(starts[0].application, u"c:\\temp\\monitor\\monitor.bat");
    EXPECT_EQ(starts[0].commandLine, u"c:\\temp\\OrvoAsioLog\\OrvoAsioLog_0001a4.log");
    EXPECT_EQ(starts[0].currentDirectory, u"c:\\temp\\monitor");
    EXPECT_EQ(starts[0].showWindow, SW_SHOWNORMAL);
    EXPECT_TRUE(starts[0].succeeded);
    EXPECT_FALSE(starts[0].launched);
}

TEST(CommandLines, SplitByTheRuntimeRules)
{
    struct Case {
        std::u16string line;
        std::vector<std::u16string> args;
    } cases[] = {
        {u"a b  c", {u"a", u"b", u"c"}},
        {u"\"a b\" c", {u"a b", u"c"}},
        {u"a\\\\\"b c\"", {u"a\\b c"}},   // 2n backslashes + quote: n backslashes, quote toggles
        {u"a\\\\\\\"b", {u"a\\\"b"}},     // 2n+1: n backslashes and a literal quote
        {u"c:\\dir\\x.exe", {u"c:\\dir\\x.exe"}}, // backslashes not before a quote are literal
        {u"\"a\"\"b\"", {u"a\"b"}},
        {u"  ", {}},
        {u"\"\"", {u""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(splitCommandLine(c.line), c.args);
}

} // namespace
