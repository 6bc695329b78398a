#include "mixer/common/threads/threads.h"
#include "mixer/common/threads/win_sync.h"

#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

using namespace Orvo::common::threads;

namespace {

// Runs a test body on a virtual clock that advances only when sleepers and
// timed waits move it.
class OnVirtualClock : public ::testing::Test {
protected:
    w32::VirtualClock clock{1000, true};
    void SetUp() override { w32::setClock(&clock); }
    void TearDown() override { w32::setClock(nullptr); }
};

using ThreadsTest = OnVirtualClock;

int lockFromOtherThread(CMutex& m)
{
    int r = -1;
    std::thread([&] {
        r = m.TryLock();
        if (r == 1)
            m.Unlock();
    }).join();
    return r;
}

} // namespace

TEST_F(ThreadsTest, MutexDoesNotCount)
{
    CMutex m;
    EXPECT_EQ(m.Lock(), 1);
    EXPECT_EQ(m.Lock(), 0); // the owner: at once, not counted
    EXPECT_EQ(m.TryLock(), 0);
    EXPECT_EQ(lockFromOtherThread(m), 0);
    EXPECT_EQ(m.Unlock(), 1); // the first unlock releases
    EXPECT_EQ(lockFromOtherThread(m), 1);
    EXPECT_EQ(m.Unlock(), 0);
}

TEST_F(ThreadsTest, NonOwnerUnlockLeavesItLocked)
{
    CMutex m;
    ASSERT_EQ(m.Lock(), 1);
    int r = -1;
    std::thread([&] { r = m.Unlock(); }).join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(lockFromOtherThread(m), 0);
    m.Unlock();
}

TEST_F(ThreadsTest, GuardReleasesOnlyWhatItTook)
{
    CMutex m;
    ASSERT_EQ(m.Lock(), 1);
    {
        CMutexGuard inner(m); // already held by this thread: takes nothing
    }
    EXPECT_TRUE(m.IsOwnedByCaller());
    EXPECT_EQ(lockFromOtherThread(m), 0);
    m.Unlock();
    {
        CMutexGuard outer(m);
        EXPECT_EQ(lockFromOtherThread(m), 0);
    }
    EXPECT_EQ(lockFromOtherThread(m), 1);
}

TEST_F(ThreadsTest, CWrappersTakeNull)
{
    EXPECT_EQ(mutexLock(nullptr), 0);
    EXPECT_EQ(mutexUnlock(nullptr), 0);
    EXPECT_EQ(mutexTryLock(nullptr), 0);
    mutexDestroy(nullptr);
    CMutex* m = mutexCreate();
    EXPECT_EQ(mutexLock(m), 1);
    EXPECT_EQ(mutexTryLock(m), 0);
    EXPECT_EQ(mutexUnlock(m), 1);
    mutexDestroy(m);
}

TEST_F(ThreadsTest, SignalsCollapseIntoOneWakeUp)
{
    CCondition c;
    EXPECT_TRUE(c.Signal());
    EXPECT_TRUE(c.Signal());
    EXPECT_TRUE(c.Signal());
    const uint64_t before = clock.now64();
    EXPECT_GT(c.Wait(1000), 0);
    EXPECT_EQ(clock.now64(), before); // at once
    EXPECT_EQ(c.Wait(1000), CCondition::kTimeout);
    EXPECT_EQ(clock.now64(), before + 1000);
}

TEST_F(ThreadsTest, SignalFromAnotherThreadWakesTheWaiter)
{
    w32::VirtualClock manual(0, false); // time stands still: only the signal can end the wait
    w32::setClock(&manual);
    CCondition c;
    std::thread signaller([&] {
        while (!c.IsWaiting())
            std::this_thread::yield();
        c.Signal();
    });
    EXPECT_GT(c.Wait(1000), 0);
    signaller.join();
}

TEST_F(ThreadsTest, WaitSetHoldsTwentyDistinctHandles)
{
    CCondition c; // its own event is the first
    std::vector<WaitHandle> extra;
    for (int i = 0; i < 19; ++i) {
        extra.push_back(win::createEvent(false, false));
        EXPECT_TRUE(c.AddHandle(extra.back()));
    }
    EXPECT_EQ(c.HandleCount(), 20u);
    EXPECT_TRUE(c.AddHandle(extra[3])); // already there: no growth
    EXPECT_EQ(c.HandleCount(), 20u);
    const WaitHandle another = win::createEvent(false, false);
    EXPECT_FALSE(c.AddHandle(another));

    EXPECT_TRUE(c.RemoveHandle(extra[3]));
    EXPECT_FALSE(c.RemoveHandle(extra[3]));
    EXPECT_EQ(c.HandleCount(), 19u);
    // Later handles moved down: the last one still fires as itself.
    win::setEvent(extra.back());
    EXPECT_EQ(c.Wait(0), static_cast<int>(extra.back()));
    for (WaitHandle h : extra)
        win::closeHandle(h);
    win::closeHandle(another);
}

TEST_F(ThreadsTest, WaitOnAClosedHandleFails)
{
    CCondition c;
    const WaitHandle h = win::createEvent(false, false);
    c.AddHandle(h);
    win::closeHandle(h);
    EXPECT_EQ(c.Wait(10), CCondition::kFailed);
}

TEST_F(ThreadsTest, ThreadRunsUntilStoppedAndStopRightAfterStartEnds)
{
    std::atomic<int> passes{0};
    auto body = [](CThread*, std::atomic<bool>* run, void* user) {
        while (*run) {
            ++*static_cast<std::atomic<int>*>(user);
            std::this_thread::yield();
        }
    };
    for (int i = 0; i < 50; ++i) {
        CThread t(body, &passes);
        ASSERT_TRUE(t.Start());
        t.Stop();
        EXPECT_FALSE(t.IsRunning());
    }
    CThread t(body, &passes);
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(t.Start()); // already running: nothing
    while (passes.load() < 100)
        std::this_thread::yield();
    t.Stop();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.Start()); // again after a stop
    t.Stop();
}

TEST_F(ThreadsTest, JoinWaitsForAThreadThatEndsByItself)
{
    std::atomic<bool> go{false};
    CThread t(
        [](CThread*, std::atomic<bool>*, void* user) {
            while (!*static_cast<std::atomic<bool>*>(user))
                std::this_thread::yield();
        },
        &go);
    EXPECT_EQ(t.Join(), 0); // not started
    ASSERT_TRUE(t.Start());
    go = true;
    t.Join();
    EXPECT_FALSE(t.IsRunning());
}

TEST_F(ThreadsTest, ConditionWithoutItsEventWaitsOnTheConsoleReader)
{
    std::FILE* input = std::tmpfile();
    std::fputs((std::string(300, 'x') + "\nnext\n").c_str(), input);
    std::rewind(input);
    WinStdIn::SetInput(input);
    win::failEventCreation(1);
    {
        CCondition c;
        EXPECT_FALSE(c.Signal());
        ASSERT_NE(ConsoleReader(), nullptr);
        EXPECT_FALSE(c.AddHandle(0)); // one reader per process
        char line[WinStdIn::kLineSize];
        std::vector<std::string> lines;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.Wait(w32::kInfinite), 0);
            lines.push_back(consoleReadLine(line, sizeof line, stdin));
        }
        EXPECT_EQ(lines, (std::vector<std::string>{std::string(255, 'x'), std::string(45, 'x'), "next"}));
        EXPECT_TRUE(c.RemoveHandle(0));
        EXPECT_EQ(ConsoleReader(), nullptr);
        EXPECT_FALSE(c.RemoveHandle(0));
    }
    WinStdIn::SetInput(nullptr);
    std::fclose(input);
}
