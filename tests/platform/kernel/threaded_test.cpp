#include "kernel_fixture.h"

#include "platform/kernel/spin_lock.h"
#include "platform/kernel/timer.h"
#include "platform/object/host_scheduling.h"
#include "tests/platform/object/host_calls.h"

#include <atomic>
#include <thread>

namespace kplat::testing {
namespace {

struct Root final : Object {
    Root() : Object(ObjectAttributes{}, nullptr) {}
};

std::atomic<bool> gInCallback{false};
std::atomic<bool> gRelease{false};
std::atomic<bool> gCallbackDone{false};

TEST(KernelThreads, DeletingATimerWaitsForItsRunningCallback)
{
    kernelClock().useVirtual(0);
    auto* root = new Root;
    TimerConfig config;
    config.callback = [](Timer&) {
        gInCallback = true;
        while (!gRelease)
            std::this_thread::yield();
        gCallbackDone = true;
    };
    ObjectAttributes attributes;
    attributes.parent = root;
    attributes.executionLevel = ExecutionLevel::Passive;
    Timer* timer = nullptr;
    ASSERT_EQ(Timer::create(config, attributes, &timer), status::kSuccess);
    timer->startRelative(msToTicks(1));
    std::thread advancer([] { kernelClock().advance(msToTicks(2)); });
    while (!gInCallback)
        std::this_thread::yield();
    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        timer->deleteObject();
        deleted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(deleted);
    gRelease = true;
    deleter.join();
    EXPECT_TRUE(gCallbackDone);
    advancer.join();
    root->deleteObject();
}

TEST(KernelThreads, SpinLockExcludesOtherThreads)
{
    auto* root = new Root;
    ObjectAttributes attributes;
    attributes.parent = root;
    SpinLock* lock = nullptr;
    ASSERT_EQ(SpinLock::create(attributes, &lock), status::kSuccess);
    uint64_t counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            SpinLockGuard guard(*lock);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000u);
    root->deleteObject();
}

TEST(KernelThreads, RealTimeClockRunsTimers)
{
    kernelClock().useVirtual(0);
    kernelClock().useRealTime();
    auto* root = new Root;
    static std::atomic<int> fired{0};
    fired = 0;
    TimerConfig config;
    config.callback = [](Timer&) { ++fired; };
    ObjectAttributes attributes;
    attributes.parent = root;
    attributes.executionLevel = ExecutionLevel::Passive;
    Timer* timer = nullptr;
    ASSERT_EQ(Timer::create(config, attributes, &timer), status::kSuccess);
    timer->startRelative(msToTicks(5));
    for (int i = 0; i < 2000 && fired == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fired, 1);
    root->deleteObject();
    kernelClock().useVirtual(0);
}

// The clock thread is the platform's dispatch level: in real time it asks
// the host for real-time scheduling above every user thread; the virtual
// clock leaves the host alone.
TEST(KernelThreads, TheRealTimeClockThreadRunsAtTheDispatchSchedule)
{
    using ob::testing::HostCalls;
    kernelClock().useVirtual(0);
    HostCalls::take();
    ob::host::setSetterForTesting(&HostCalls::kSetter);
    kernelClock().useRealTime();
    EXPECT_TRUE(ob::host::enabled());
    std::vector<HostCalls::Call> calls;
    for (int i = 0; i < 2000 && calls.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        calls = HostCalls::take();
    }
    kernelClock().useVirtual(0);
    EXPECT_FALSE(ob::host::enabled());
    ob::host::setSetterForTesting(nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].policy, SCHED_FIFO);
    EXPECT_EQ(calls[0].value, ob::host::kDispatchFifoPriority);
    EXPECT_NE(calls[0].tid, ob::host::currentThreadId());
}

} // namespace
} // namespace kplat::testing
