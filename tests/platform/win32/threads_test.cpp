#include "platform/object/process.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace w32;

struct Shared {
    HANDLE go = nullptr;
    std::atomic<DWORD> process{0};
    std::atomic<int> priority{99};
};

DWORD worker(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    s->process = GetCurrentProcessId();
    s->priority = GetThreadPriority(GetCurrentThread());
    return WaitForSingleObject(s->go, INFINITE) == WAIT_OBJECT_0 ? 42 : 1;
}

TEST(Threads, RunJoinAndExitCode)
{
    Shared s;
    s.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, worker, &s, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(GetThreadId(t), id);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(s.go);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(s.process.load(), GetCurrentProcessId());
    CloseHandle(t);
    CloseHandle(s.go);
}

TEST(Threads, PriorityIsRecordedAndChecked)
{
    Shared s;
    s.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, worker, &s, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_FALSE(SetThreadPriority(t, 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(s.go);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(s.go);

    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

TEST(Threads, ThreadActsForTheProcessThatMadeIt)
{
    ob::Ref<ob::Process> host = ob::Process::create();
    Shared s;
    HANDLE t = nullptr;
    {
        ob::ProcessScope scope(host);
        s.go = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        t = CreateThread(nullptr, 0, worker, &s, 0, nullptr);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        CloseHandle(t);
        CloseHandle(s.go);
    }
    EXPECT_EQ(s.process.load(), host->id());
}

TEST(Threads, TimedJoinOnTheVirtualClock)
{
    VirtualClock clock{0, false};
    Clock* saved = setClock(&clock);
    Shared s;
    s.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, worker, &s, 0, nullptr);
    std::atomic<DWORD> joined{12345};
    std::thread joiner([&] { joined = WaitForSingleObject(t, 500); });
    while (clock.blockedCount() < 1)
        std::this_thread::yield();
    clock.advance(500);
    joiner.join();
    EXPECT_EQ(joined.load(), WAIT_TIMEOUT);
    SetEvent(s.go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    setClock(saved);
    CloseHandle(t);
    CloseHandle(s.go);
}

TEST(Threads, CreationCanBeMadeToFail)
{
    failNextThreadCreations(1);
    EXPECT_EQ(CreateThread(nullptr, 0, worker, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateThread(nullptr, 0, worker, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace
