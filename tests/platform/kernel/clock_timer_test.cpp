#include "kernel_fixture.h"

#include "platform/kernel/timer.h"
#include "platform/kernel/work_item.h"

#include <vector>

namespace kplat::testing {
namespace {

struct Root final : Object {
    Root() : Object(ObjectAttributes{}, nullptr) {}
};

struct Fired {
    Ticks at;
    Level level;
};
std::vector<Fired> gFired;

void recordFire(Timer&) { gFired.push_back({kernelClock().now(), currentLevel()}); }
void recordWork(WorkItem&) { gFired.push_back({kernelClock().now(), currentLevel()}); }

class ClockTimerTest : public KernelFixture {
protected:
    ClockTimerTest() { gFired.clear(); }
    ~ClockTimerTest() override { root_->deleteObject(); }

    Timer* makeTimer(uint32_t periodMs = 0, ExecutionLevel level = ExecutionLevel::Passive)
    {
        TimerConfig config;
        config.callback = &recordFire;
        config.periodMs = periodMs;
        ObjectAttributes attributes;
        attributes.parent = root_;
        attributes.executionLevel = level;
        Timer* timer = nullptr;
        EXPECT_EQ(Timer::create(config, attributes, &timer), status::kSuccess);
        return timer;
    }

    Root* root_ = new Root;
};

TEST_F(ClockTimerTest, OneShotFiresOnceAtItsRelativeDueTimeAtPassiveLevel)
{
    Timer* timer = makeTimer();
    kernelClock().advance(msToTicks(5));
    EXPECT_FALSE(timer->startRelative(msToTicks(3)));
    kernelClock().advance(msToTicks(2));
    EXPECT_TRUE(gFired.empty());
    kernelClock().advance(msToTicks(10));
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].at, msToTicks(8));
    EXPECT_EQ(gFired[0].level, Level::Passive);
}

TEST_F(ClockTimerTest, RestartingAQueuedTimerResetsItsDueTime)
{
    Timer* timer = makeTimer();
    timer->startRelative(msToTicks(10));
    kernelClock().advance(msToTicks(6));
    EXPECT_TRUE(timer->startRelative(msToTicks(10))); // was queued
    kernelClock().advance(msToTicks(9));
    EXPECT_TRUE(gFired.empty());
    kernelClock().advance(msToTicks(1));
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].at, msToTicks(16));
}

TEST_F(ClockTimerTest, StopTakesAQueuedTimerOff)
{
    Timer* timer = makeTimer();
    timer->startRelative(msToTicks(1));
    EXPECT_TRUE(timer->stop(false));
    EXPECT_FALSE(timer->stop(false));
    kernelClock().advance(msToTicks(5));
    EXPECT_TRUE(gFired.empty());
}

TEST_F(ClockTimerTest, PeriodicAndDispatchTimers)
{
    makeTimer(2)->startRelative(msToTicks(1));
    makeTimer(0, ExecutionLevel::Dispatch)->startRelative(msToTicks(4));
    kernelClock().advance(msToTicks(6));
    ASSERT_EQ(gFired.size(), 4u); // 1, 3, 4 (dispatch), 5
    EXPECT_EQ(gFired[2].at, msToTicks(4));
    EXPECT_EQ(gFired[2].level, Level::Dispatch);
    EXPECT_EQ(gFired[3].at, msToTicks(5));
}

TEST_F(ClockTimerTest, DeletingATimerCancelsIt)
{
    Timer* timer = makeTimer();
    timer->startRelative(msToTicks(1));
    timer->deleteObject();
    kernelClock().advance(msToTicks(5));
    EXPECT_TRUE(gFired.empty());
}

TEST_F(ClockTimerTest, WorkItemRunsOnceAtPassiveLevelOnTheNextAdvance)
{
    WorkItemConfig config;
    config.callback = &recordWork;
    ObjectAttributes attributes;
    attributes.parent = root_;
    WorkItem* item = nullptr;
    ASSERT_EQ(WorkItem::create(config, attributes, &item), status::kSuccess);
    item->enqueue();
    item->enqueue(); // already queued: nothing more
    EXPECT_TRUE(gFired.empty());
    kernelClock().runDue();
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].level, Level::Passive);
    item->enqueue();
    kernelClock().runDue();
    EXPECT_EQ(gFired.size(), 2u);
}

TEST_F(ClockTimerTest, TimeServicesFollowTheClock)
{
    kernelClock().advance(msToTicks(1000));
    EXPECT_EQ(queryInterruptTime(), msToTicks(1000));
    EXPECT_EQ(queryTickCount() * queryTimeIncrement() / 10'000, 1000u);
    KernelTimer timer;
    timer.set(-static_cast<int64_t>(msToTicks(20)));
    timer.wait(); // virtual time: the wait itself moves the clock on
    EXPECT_EQ(queryInterruptTime(), msToTicks(1020));
    delayExecution(msToTicks(5));
    EXPECT_EQ(queryInterruptTime(), msToTicks(1025));
}

TEST_F(ClockTimerTest, TimerResolutionRequestsAreBalanced)
{
    EXPECT_EQ(setTimerResolution(10'000, true), 10'000u);
    EXPECT_EQ(timerResolutionBalance(), 1);
    EXPECT_EQ(setTimerResolution(10'000, false), kTimeIncrement);
    EXPECT_EQ(timerResolutionBalance(), 0);
    EXPECT_THROW(setTimerResolution(10'000, false), StrictnessViolation);
}

TEST_F(ClockTimerTest, UuidsAreFreshAndCanBeMadeToFail)
{
    Guid a, b;
    ASSERT_EQ(createUuid(a), status::kSuccess);
    ASSERT_EQ(createUuid(b), status::kSuccess);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.data3 >> 12, 4);
    armFault(FaultKind::UuidCreation, 1, 2);
    EXPECT_EQ(createUuid(a), status::kSuccess);
    EXPECT_EQ(createUuid(a), status::kRetry);
    EXPECT_EQ(createUuid(a), status::kRetry);
    EXPECT_EQ(createUuid(a), status::kSuccess);
}

TEST_F(ClockTimerTest, GuidToStringIsBracedUpperCase)
{
    Guid g{0x0123abcd, 0x4567, 0x89ef, {0xde, 0xad, 0xbe, 0xef, 0x00, 0x11, 0x22, 0x33}};
    std::u16string text;
    ASSERT_EQ(guidToString(g, text), status::kSuccess);
    EXPECT_EQ(text, u"{0123ABCD-4567-89EF-DEAD-BEEF00112233}");
}

} // namespace
} // namespace kplat::testing

#include "platform/kernel/user_clock.h"

namespace kplat::testing {
namespace {

TEST_F(ClockTimerTest, UserModeTimeCanFollowTheKernelClock)
{
    KernelTimeUserClock userClock;
    w32::Clock* previous = w32::setClock(&userClock);
    Timer* timer = makeTimer();
    timer->startRelative(msToTicks(30));
    kernelClock().advance(msToTicks(10));
    EXPECT_EQ(w32::GetTickCount(), 10u);
    w32::Sleep(25); // the sleeping thread moves the kernel clock on
    EXPECT_EQ(queryInterruptTime(), msToTicks(35));
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].at, msToTicks(30));
    w32::setClock(previous);
}

} // namespace
} // namespace kplat::testing
