// The debug log: on only with the flag file, one file per logging thread,
// level 3 never written, one attempt per thread.

#include "drive_fixture.h"

#include "classcomp/asio/debug_log.h"
#include "platform/win32/handles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace orvo::asio;

class DebugLog : public ::testing::Test, public orvo::asio::testing::DriveFixture {
protected:
    size_t filesInLogFolder() const
    {
        if (!std::filesystem::exists(logFolder()))
            return 0;
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(logFolder()))
            ++n;
        return n;
    }
};

TEST_F(DebugLog, FileNameCarriesTheThreadIdentifier)
{
    EXPECT_EQ(LogFileName(0x1A4), "OrvoAsioLog_0001a4.log");
    EXPECT_EQ(LogFileName(0x12345678), "OrvoAsioLog_12345678.log");
}

TEST_F(DebugLog, WithoutTheFlagFileNoThreadWritesAFile)
{
    std::filesystem::create_directories(logFolder());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(logOf([] { uLog(1, "error %d", 1); }), "");
    EXPECT_EQ(filesInLogFolder(), 0u);
}

TEST_F(DebugLog, EachLoggingThreadWritesOneFileNamedAfterItself)
{
    enableLog();
    std::string names[2];
    std::string texts[2];
    for (int i = 0; i < 2; ++i)
        texts[i] = logOf([&, i] {
            uLog(2, "progress %d", i);
            uLog(3, "detail %d", i);
            uLogRaw(2, ".");
            uLog(1, "error");
            names[i] = std::filesystem::path(ThreadLogPath()).string();
            EXPECT_EQ(names[i], "c:\\temp\\OrvoAsioLog\\" + LogFileName(w32::GetCurrentThreadId()));
        });
    EXPECT_NE(names[0], names[1]);
    EXPECT_EQ(filesInLogFolder(), 2u);
    EXPECT_EQ(texts[0], "Orvo UAC2: progress 0\n.Orvo UAC2: error\n");
    EXPECT_EQ(texts[1], "Orvo UAC2: progress 1\n.Orvo UAC2: error\n");
}

TEST_F(DebugLog, FlagWithoutFolderLogsNothingAndIsNotTriedAgain)
{
    enableLog(false);
    const std::string text = logOf([&] {
        uLog(1, "first");
        EXPECT_FALSE(ThreadLogIsOpen());
        std::filesystem::create_directories(logFolder());
        uLog(1, "second");
        EXPECT_FALSE(ThreadLogIsOpen());
    });
    EXPECT_EQ(text, "");
    EXPECT_EQ(filesInLogFolder(), 0u);
}

TEST_F(DebugLog, LevelZeroSilencesAThread)
{
    enableLog();
    const std::string text = logOf([] {
        SetThreadLogLevel(0);
        uLog(1, "not written");
        EXPECT_EQ(ThreadLogLevel(), 0);
    });
    EXPECT_EQ(text, "");
    EXPECT_EQ(filesInLogFolder(), 0u);
}

} // namespace
