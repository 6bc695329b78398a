#include "platform/object/event.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace ob;
using Kind = Event::Kind;

struct VirtualTime : ::testing::Test {
    w32::VirtualClock clock{1000, true};
    w32::Clock* saved = w32::setClock(&clock);
    ~VirtualTime() override { w32::setClock(saved); }
};

using Waits = VirtualTime;

TEST_F(Waits, AutoResetReleasesOnceManualResetStays)
{
    Ref<Event> autoEv = Event::create(Kind::AutoReset, true);
    Ref<Event> manual = Event::create(Kind::ManualReset, true);
    EXPECT_EQ(waitForObject(*autoEv, 0), kWaitObject0);
    EXPECT_EQ(waitForObject(*autoEv, 0), kWaitTimeout);
    EXPECT_EQ(waitForObject(*manual, 0), kWaitObject0);
    EXPECT_EQ(waitForObject(*manual, 0), kWaitObject0);
    EXPECT_EQ(manual->reset(), 1);
    EXPECT_EQ(manual->reset(), 0);
    EXPECT_EQ(waitForObject(*manual, 0), kWaitTimeout);
    EXPECT_EQ(manual->set(0), 0);
    EXPECT_EQ(manual->set(0), 1);
}

TEST_F(Waits, SetRecordsPriorityIncrement)
{
    Ref<Event> e = Event::create(Kind::ManualReset, false);
    e->set(8);
    EXPECT_EQ(e->lastPriorityIncrement(), 8);
    e->set(0);
    EXPECT_EQ(e->lastPriorityIncrement(), 0);
    EXPECT_EQ(e->setCount(), 2u);
}

TEST_F(Waits, PulseWithoutWaitersLeavesItReset)
{
    Ref<Event> e = Event::create(Kind::ManualReset, false);
    EXPECT_EQ(e->pulse(0), 0);
    EXPECT_FALSE(e->signalled());
    EXPECT_EQ(waitForObject(*e, 0), kWaitTimeout);
}

struct MultiCase {
    const char* name;
    std::vector<Kind> kinds;
    std::vector<bool> states;
    bool waitAll;
    uint32_t expected;
    std::vector<bool> statesAfter;
};

TEST_F(Waits, MultipleObjectsTable)
{
    const Kind A = Kind::AutoReset, M = Kind::ManualReset;
    const std::vector<MultiCase> cases = {
        {"any: none signalled", {A, M}, {false, false}, false, kWaitTimeout, {false, false}},
        {"any: lowest signalled index wins", {A, A, A}, {false, true, true}, false, kWaitObject0 + 1, {false, false, true}},
        {"any: manual stays signalled", {M, A}, {true, true}, false, kWaitObject0, {true, true}},
        {"all: one missing takes nothing", {A, A}, {true, false}, true, kWaitTimeout, {true, false}},
        {"all: takes every auto-reset one", {A, M, A}, {true, true, true}, true, kWaitObject0, {false, true, false}},
    };
    for (const MultiCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Ref<Event>> events;
        std::vector<DispatcherObject*> raw;
        for (size_t i = 0; i < c.kinds.size(); ++i) {
            events.push_back(Event::create(c.kinds[i], c.states[i]));
            raw.push_back(events.back().get());
        }
        EXPECT_EQ(waitForObjects(raw, c.waitAll, 0), c.expected);
        for (size_t i = 0; i < events.size(); ++i)
            EXPECT_EQ(events[i]->signalled(), c.statesAfter[i]) << "object " << i;
    }
}

TEST_F(Waits, MalformedWaitsFail)
{
    Ref<Event> e = Event::create(Kind::ManualReset, true);
    Status error = Status::Ok;
    std::vector<DispatcherObject*> none;
    EXPECT_EQ(waitForObjects(none, false, 0, nullptr, &error), kWaitFailed);
    EXPECT_EQ(error, Status::InvalidParameter);
    std::vector<DispatcherObject*> twice = {e.get(), e.get()};
    EXPECT_EQ(waitForObjects(twice, true, 0, nullptr, &error), kWaitFailed);
    EXPECT_EQ(error, Status::InvalidParameter);
    EXPECT_EQ(waitForObjects(twice, false, 0, nullptr, &error), kWaitObject0); // allowed for wait-any
    std::vector<DispatcherObject*> tooMany(kMaximumWaitObjects + 1, e.get());
    EXPECT_EQ(waitForObjects(tooMany, false, 0, nullptr, &error), kWaitFailed);
    std::vector<DispatcherObject*> withNull = {e.get(), nullptr};
    EXPECT_EQ(waitForObjects(withNull, false, 0, nullptr, &error), kWaitFailed);
    EXPECT_EQ(error, Status::InvalidHandle);
}

TEST_F(Waits, AutoAdvanceTimeoutMovesTimeOn)
{
    Ref<Event> e = Event::create(Kind::ManualReset, false);
    EXPECT_EQ(waitForObject(*e, 250), kWaitTimeout);
    EXPECT_EQ(clock.now64(), 1250u);
    e->set(0);
    EXPECT_EQ(waitForObject(*e, 250), kWaitObject0);
    EXPECT_EQ(clock.now64(), 1250u); // satisfied at once: no time passes
}

} // namespace
