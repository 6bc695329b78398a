#include "platform/object/host_scheduling.h"
#include "platform/object/process.h"
#include "platform/object/thread.h"
#include "tests/platform/object/host_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sched.h>
#include <string>
#include <vector>

namespace {

using namespace ob;
using namespace ob::host;
using ob::testing::HostCalls;

struct HostScheduling : ::testing::Test {
    HostScheduling()
    {
        HostCalls::take();
        HostCalls::fifoError = 0;
        HostCalls::niceError = 0;
        setSetterForTesting(&HostCalls::kSetter);
        resetRefusalForTesting();
        setEnabled(true);
    }
    ~HostScheduling() override
    {
        setEnabled(false);
        setSetterForTesting(nullptr);
        resetRefusalForTesting();
    }
};

TEST(HostScheduleMapping, OnlyTimeCriticalThreadsAndTheDispatchLevelRunRealTime)
{
    struct Case {
        int32_t priority;
        Schedule expected;
    };
    const Schedule normal{};
    const Schedule timeCritical{Policy::RealTime, kTimeCriticalFifoPriority, kTimeCriticalFallbackNice};
    const Case cases[] = {
        {-15, normal}, // idle
        {-2, normal},  // lowest
        {-1, normal},  // below normal
        {0, normal},
        {1, normal},   // above normal
        {2, normal},   // highest
        {15, timeCritical},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        EXPECT_EQ(scheduleForThreadPriority(c.priority), c.expected);
    }
    const Schedule dispatch = dispatchSchedule();
    EXPECT_EQ(dispatch.policy, Policy::RealTime);
    EXPECT_GT(dispatch.fifoPriority, timeCritical.fifoPriority) << "dispatch level runs above every user thread";
    EXPECT_LT(dispatch.fallbackNice, timeCritical.fallbackNice);
    EXPECT_LE(dispatch.fifoPriority, sched_get_priority_max(SCHED_FIFO));
    EXPECT_GE(timeCritical.fifoPriority, sched_get_priority_min(SCHED_FIFO));
}

TEST_F(HostScheduling, RealTimeWhereThePlatformAllowsIt)
{
    EXPECT_EQ(apply(101, dispatchSchedule()), Outcome::RealTime);
    EXPECT_EQ(apply(102, scheduleForThreadPriority(15)), Outcome::RealTime);
    EXPECT_EQ(apply(102, scheduleForThreadPriority(0)), Outcome::Normal);
    const std::vector<HostCalls::Call> expected = {
        {101, SCHED_FIFO, kDispatchFifoPriority},
        {102, SCHED_FIFO, kTimeCriticalFifoPriority},
        {102, SCHED_OTHER, 0},
        {102, -1, 0},
    };
    EXPECT_EQ(HostCalls::take(), expected);
}

TEST_F(HostScheduling, RefusedRealTimeFallsBackToNiceAndSaysSoOnce)
{
    HostCalls::fifoError = EPERM;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apply(201, dispatchSchedule()), Outcome::Nice);
    EXPECT_EQ(apply(202, scheduleForThreadPriority(15)), Outcome::Nice);
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::vector<HostCalls::Call> expected = {
        {201, SCHED_FIFO, kDispatchFifoPriority},
        {201, -1, kDispatchFallbackNice},
        {202, -1, kTimeCriticalFallbackNice}, // real time is not asked for again
    };
    EXPECT_EQ(HostCalls::take(), expected);
    EXPECT_NE(said.find("real-time scheduling is not permitted (EPERM)"), std::string::npos) << said;
    EXPECT_EQ(said.find("orvo:"), said.rfind("orvo:")) << "one notice: " << said;
}

TEST_F(HostScheduling, WithoutRealTimeOrNiceThreadsStayNormal)
{
    HostCalls::fifoError = EPERM;
    HostCalls::niceError = EACCES;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apply(301, dispatchSchedule()), Outcome::Unchanged);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("normal priority"), std::string::npos) << said;
}

TEST_F(HostScheduling, AThreadThatIsGoneIsNotARefusal)
{
    HostCalls::fifoError = ESRCH;
    EXPECT_EQ(apply(401, dispatchSchedule()), Outcome::Unchanged);
    HostCalls::fifoError = 0;
    EXPECT_EQ(apply(402, dispatchSchedule()), Outcome::RealTime);
}

TEST_F(HostScheduling, AThreadObjectGivesItsPriorityToItsHostThreadOnChangeOnly)
{
    Ref<Thread> thread = Thread::create(Process::currentRef());
    thread->setPriority(15); // not bound yet: applied at binding
    EXPECT_TRUE(HostCalls::take().empty());
    thread->bindHostThread(501);
    thread->setPriority(15);
    thread->setPriority(2);
    thread->setPriority(1); // normal already
    const std::vector<HostCalls::Call> expected = {
        {501, SCHED_FIFO, kTimeCriticalFifoPriority},
        {501, SCHED_OTHER, 0},
        {501, -1, 0},
    };
    EXPECT_EQ(HostCalls::take(), expected);

    // An ended thread's id may be reused by another thread: a late boost
    // must not reach it.
    thread->markExited(0);
    thread->setPriority(15);
    EXPECT_TRUE(HostCalls::take().empty());
}

TEST_F(HostScheduling, NothingIsAppliedWhileSwitchedOff)
{
    setEnabled(false);
    Ref<Thread> thread = Thread::create(Process::currentRef());
    thread->bindHostThread(601);
    thread->setPriority(15);
    EXPECT_TRUE(HostCalls::take().empty());
}

} // namespace
