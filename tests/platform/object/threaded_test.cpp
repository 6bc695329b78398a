#include "platform/object/event.h"
#include "platform/object/process.h"
#include "platform/object/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace ob;
using Kind = Event::Kind;

// A manual-mode virtual clock: waiters time out only when the test advances it.
struct ManualTime : ::testing::Test {
    w32::VirtualClock clock{0, false};
    w32::Clock* saved = w32::setClock(&clock);
    ~ManualTime() override { w32::setClock(saved); }

    void untilBlocked(size_t n)
    {
        while (clock.blockedCount() < n)
            std::this_thread::yield();
    }
};

using ThreadedWaits = ManualTime;

// A time-out the tests never reach: such waits count as blocked on the clock,
// infinite ones do not.
constexpr uint32_t kLong = 1000000;

TEST_F(ThreadedWaits, TimeoutFollowsTheVirtualClock)
{
    Ref<Event> e = Event::create(Kind::ManualReset, false);
    std::atomic<uint32_t> result{12345};
    std::thread waiter([&] { result = waitForObject(*e, 100); });
    untilBlocked(1);
    clock.advance(99);
    EXPECT_EQ(result.load(), 12345u);
    EXPECT_EQ(clock.blockedCount(), 1u);
    clock.advance(1);
    waiter.join();
    EXPECT_EQ(result.load(), kWaitTimeout);
}

TEST_F(ThreadedWaits, SetWakesABlockedWaiterBeforeItsTimeout)
{
    Ref<Event> a = Event::create(Kind::AutoReset, false);
    Ref<Event> b = Event::create(Kind::AutoReset, false);
    std::atomic<uint32_t> result{12345};
    std::thread waiter([&] {
        DispatcherObject* both[] = {a.get(), b.get()};
        result = waitForObjects(both, false, 100);
    });
    untilBlocked(1);
    b->set(8);
    waiter.join();
    EXPECT_EQ(result.load(), kWaitObject0 + 1);
    EXPECT_FALSE(b->signalled()); // taken by the waiter
    EXPECT_EQ(clock.now64(), 0u);
}

TEST_F(ThreadedWaits, WaitAllBlocksUntilEveryObjectIsSignalled)
{
    Ref<Event> a = Event::create(Kind::AutoReset, false);
    Ref<Event> b = Event::create(Kind::ManualReset, false);
    std::atomic<uint32_t> result{12345};
    std::thread waiter([&] {
        DispatcherObject* both[] = {a.get(), b.get()};
        result = waitForObjects(both, true, kLong);
    });
    untilBlocked(1);
    a->set(0);
    EXPECT_EQ(result.load(), 12345u);
    EXPECT_TRUE(a->signalled()); // not taken while b is missing
    b->set(0);
    waiter.join();
    EXPECT_EQ(result.load(), kWaitObject0);
    EXPECT_FALSE(a->signalled());
    EXPECT_TRUE(b->signalled());
}

TEST_F(ThreadedWaits, AutoResetSetReleasesExactlyOneWaiter)
{
    Ref<Event> e = Event::create(Kind::AutoReset, false);
    std::atomic<int> woken{0};
    std::atomic<int> timedOut{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { (waitForObject(*e, 50) == kWaitObject0 ? woken : timedOut)++; });
    untilBlocked(3);
    e->set(0);
    while (woken.load() < 1)
        std::this_thread::yield();
    clock.advance(50);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(timedOut.load(), 2);
    EXPECT_FALSE(e->signalled());
}

TEST_F(ThreadedWaits, PulseReleasesEveryCurrentWaiterOfAManualEvent)
{
    Ref<Event> e = Event::create(Kind::ManualReset, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (waitForObject(*e, kLong) == kWaitObject0)
                ++woken;
        });
    untilBlocked(3);
    e->pulse(0);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_FALSE(e->signalled());
}

TEST_F(ThreadedWaits, ThreadAndProcessObjectsSignalWhenTheyEnd)
{
    Ref<Process> p = Process::create();
    Ref<Thread> t = Thread::create(p);
    std::thread worker([&] {
        Thread::bindCurrent(t);
        ProcessScope scope(t->process());
        EXPECT_EQ(Thread::current(), t);
        EXPECT_EQ(Process::current().id(), p->id());
        Thread::current()->setPriority(15);
        t->markExited(7);
    });
    EXPECT_EQ(waitForObject(*t, kInfinite), kWaitObject0);
    worker.join();
    EXPECT_EQ(t->exitCode(), 7u);
    EXPECT_EQ(t->priority(), 15);

    std::atomic<uint32_t> result{12345};
    std::thread waiter([&] { result = waitForObject(*p, kLong); });
    untilBlocked(1);
    p->terminate(0);
    waiter.join();
    EXPECT_EQ(result.load(), kWaitObject0);
}

// Many sets against many waits on the real clock: every set of an auto-reset
// event that a waiter saw is taken exactly once.
TEST(ThreadedStress, HandshakeLosesNoSignal)
{
    Ref<Event> ping = Event::create(Kind::AutoReset, false);
    Ref<Event> pong = Event::create(Kind::AutoReset, false);
    constexpr int kRounds = 2000;
    std::thread peer([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(waitForObject(*ping, 10000), kWaitObject0);
            pong->set(1);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping->set(1);
        ASSERT_EQ(waitForObject(*pong, 10000), kWaitObject0);
    }
    peer.join();
    EXPECT_EQ(ping->setCount(), static_cast<uint64_t>(kRounds));
}

} // namespace
