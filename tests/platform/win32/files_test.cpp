// Drive paths of the simulated machine, file attributes, existence tests,
// fopen on drive paths and environment expansion.

#include "platform/win32/error.h"
#include "platform/win32/files.h"

#include "temp_drive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using namespace w32;

struct DrivePaths : ::testing::Test {
    TempDrive drive;
};

TEST_F(DrivePaths, MapUnderTheDriveFolderIgnoringCase)
{
    const std::string root = driveRoot();
    drive.folder(u"c:\\Temp\\OrvoAsioLog");
    struct Case {
        std::u16string path;
        std::string host;
    };
    const Case cases[] = {
        {u"c:\\temp\\OrvoEnableDebugLog.flag", root + "/c/Temp/OrvoEnableDebugLog.flag"},
        {u"C:/TEMP/orvoasiolog/x.log", root + "/c/Temp/OrvoAsioLog/x.log"},
        {u"D:\\a\\..\\..\\..\\b", root + "/d/b"}, // ".." never leaves the drive
        {u"c:\\temp\\.\\monitor\\", root + "/c/Temp/monitor"},
        {u"Windows\\System32\\x.dll", root + "/c/Windows/System32/x.dll"}, // from "C:\"
        {u"\\\\server\\share\\x", ""},
        {u"\\\\.\\device", ""},
        {u"1:\\x", ""},
        {u"c:\\temp\\a:b", ""},
        {u"c:\\temp\\what?.flag", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostPath(c.path), c.host) << std::string(c.path.begin(), c.path.end());
}

TEST_F(DrivePaths, AttributesAndExistence)
{
    drive.put(u"c:\\temp\\OrvoEnableDebugLog.flag");
    EXPECT_EQ(GetFileAttributesA("c:\\temp\\OrvoEnableDebugLog.flag"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesA("C:\\TEMP"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(PathFileExistsW(u"c:\\Temp\\orvoenabledebuglog.FLAG"));

    EXPECT_EQ(GetFileAttributesA("c:\\temp\\OrvoKernelLoopback.flag"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("c:\\temp\\OrvoAsioLog\\x.log"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(PathFileExistsW(u"c:\\temp\\OrvoKernelLoopback.flag"));
    EXPECT_FALSE(PathFileExistsW(nullptr));
    EXPECT_EQ(GetFileAttributesA("c:\\temp\\*.flag"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST_F(DrivePaths, EachTestHasItsOwnMachine)
{
    EXPECT_FALSE(PathFileExistsW(u"c:\\temp\\OrvoEnableDebugLog.flag")) << "left by another test";
}

TEST_F(DrivePaths, FopenWritesWhereTheDrivePathLives)
{
    EXPECT_EQ(w32::fopen("c:\\temp\\OrvoAsioLog\\OrvoAsioLog_0001a4.log", "w"), nullptr) << "folder is not made";
    const auto folder = drive.folder(u"c:\\temp\\OrvoAsioLog");
    std::FILE* f = w32::fopen("c:\\temp\\OrvoAsioLog\\OrvoAsioLog_0001a4.log", "wt");
    ASSERT_NE(f, nullptr);
    std::fputs("Orvo UAC2: line\n", f);
    std::fclose(f);
    std::ifstream in(folder / "OrvoAsioLog_0001a4.log", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Orvo UAC2: line\n");
}

TEST_F(DrivePaths, EnvironmentExpansion)
{
    struct Case {
        std::u16string in, out;
    } cases[] = {
        {u"%SystemRoot%\\System32\\OrvoUac2Asio.dll", u"C:\\Windows\\System32\\OrvoUac2Asio.dll"},
        {u"%systemroot%\\x", u"C:\\Windows\\x"},
        {u"%Unknown%\\%TEMP%", u"%Unknown%\\C:\\temp"},
        {u"100%", u"100%"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        WCHAR out[128];
        const DWORD n = ExpandEnvironmentStringsW(c.in.c_str(), out, 128);
        EXPECT_EQ(n, c.out.size() + 1);
        EXPECT_EQ(std::u16string(out), c.out);
    }
    WCHAR small[4];
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%SystemRoot%", small, 4), 11u) << "the size needed";
}

} // namespace
