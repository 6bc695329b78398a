#pragma once
// A simulated machine's "c:\" for one test: a fresh folder, the user-mode
// clock virtual, and helpers that run code on a thread of its own and read
// back what that thread logged.

#include "classcomp/asio/debug_log.h"
#include "platform/win32/files.h"
#include "platform/win32/handles.h"
#include "platform/win32/clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace orvo::asio::testing {

class DriveFixture {
public:
    DriveFixture()
    {
        driveRoot_ = std::filesystem::temp_directory_path() /
                  ("orvo-asio-drives-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(driveRoot_);
        w32::setDriveRoot(driveRoot_.string());
        std::filesystem::create_directories(w32::hostPathAnsi("c:\\temp"));
        previousClock_ = w32::setClock(&clock_);
    }
    ~DriveFixture()
    {
        w32::setClock(previousClock_);
        std::filesystem::remove_all(driveRoot_);
    }

    // The debug log on: the flag file and the log folder.
    void enableLog(bool withFolder = true)
    {
        std::ofstream(w32::hostPathAnsi(kEnableDebugLogFlag)).put('\n');
        if (withFolder)
            std::filesystem::create_directories(logFolder());
    }
    std::filesystem::path logFolder() const { return w32::hostPathAnsi("c:\\temp\\OrvoAsioLog"); }

    // Runs `body` on a new thread (a thread logs to a file of its own) and
    // returns what that thread logged.
    std::string logOf(const std::function<void()>& body)
    {
        std::string path;
        std::thread([&] {
            body();
            // By name, not from this copy's log state: a driver library
            // loaded into the test logs through a copy of its own.
            path = "c:\\temp\\OrvoAsioLog\\" + LogFileName(w32::GetCurrentThreadId());
        }).join();
        std::ifstream in(w32::hostPathAnsi(path));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // What the thread `threadId` has logged so far.
    std::string threadLog(uint32_t threadId) const
    {
        std::ifstream in(logFolder() / LogFileName(threadId));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static size_t count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
            ++n;
        return n;
    }

    std::filesystem::path driveRoot_;
    w32::VirtualClock clock_{0, true};
    w32::Clock* previousClock_ = nullptr;
};

} // namespace orvo::asio::testing
