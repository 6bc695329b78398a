#include "io_manager_fixture.h"

namespace kplat::testing {
namespace {

using Log = std::vector<std::string>;

TEST_F(IoManagerTest, LifecycleRunsInFrameworkOrder)
{
    uint32_t port = bus_->plug(mixer_);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "d0 entry"}));
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), true), status::kSuccess);
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), false), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"d0 exit to d3", "d0 entry from d3"}));
    bus_->unplug(port);
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release", "destroy"}));
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

TEST_F(IoManagerTest, ADevicePulledFromItsPortIsRemovedByTheBus)
{
    uint32_t port = bus_->plug(mixer_);
    takeLog();
    mixer_.pulled = true;
    kernelClock().advance(msToTicks(2));
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release", "destroy"}));
    EXPECT_EQ(bus_->node(port), 0u);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
    // Put back, it is plugged in as a new device.
    mixer_.pulled = false;
    uint32_t again = bus_->plug(mixer_);
    EXPECT_NE(again, port);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "d0 entry"}));
    EXPECT_THROW(bus_->plug(mixer_), StrictnessViolation);
}

TEST_F(IoManagerTest, FailedPrepareIsFollowedByRelease)
{
    gPrepare = status::kInvalidDeviceState;
    uint32_t port = bus_->plug(mixer_);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "release", "destroy"}));
    EXPECT_EQ(bus_->node(port), 0u);
    EXPECT_EQ(pnp::lastStartStatus(), status::kInvalidDeviceState);
    EXPECT_TRUE(io::deviceInterfaces(kClass).empty());
}

TEST_F(IoManagerTest, OpenControlAndCloseGoThroughTheDriver)
{
    bus_->plug(mixer_);
    auto links = io::deviceInterfaces(kClass);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_NE(links[0].find(u"vid_3a71&pid_0018"), std::u16string::npos);
    takeLog();

    Caller caller{4242, 7, {}};
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(links[0], caller, file), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"create"}));

    uint32_t value = 41;
    uint32_t reply = 0;
    uint32_t bytes = 99;
    ASSERT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, caller), status::kSuccess);
    EXPECT_EQ(reply, 42u);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(gLastProcess, 4242u);
    EXPECT_EQ(takeLog(), (Log{"in caller context", "queue"}));

    ASSERT_EQ(io::deviceIoControl(file, kDirect, &value, 4, &reply, 8, &bytes, caller), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"in caller context"}));

    // An output buffer shorter than the handler's minimum.
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 2, &bytes, caller), status::kBufferTooSmall);
    EXPECT_EQ(bytes, 0u);
    takeLog();

    ASSERT_EQ(io::closeFile(file), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close"}));
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, caller), status::kInvalidHandle);
    EXPECT_EQ(io::closeFile(file), status::kInvalidHandle);
}

TEST_F(IoManagerTest, RemovedDeviceIsDestroyedWhenItsLastFileCloses)
{
    uint32_t port = bus_->plug(mixer_);
    auto links = io::deviceInterfaces(kClass);
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(links[0], Caller{1, 1, {}}, file), status::kSuccess);
    takeLog();
    bus_->unplug(port);
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release"}));
    EXPECT_TRUE(io::deviceInterfaces(kClass).empty());
    io::FileRef second;
    EXPECT_NE(io::openDeviceInterface(links[0], Caller{1, 1, {}}, second), status::kSuccess);
    uint32_t value = 1, reply = 0, bytes = 0;
    // Until the handle is closed the driver still sees requests in the
    // caller's context, but its purged queue refuses them.
    EXPECT_EQ(io::deviceIoControl(file, kDirect, &value, 4, &reply, 4, &bytes, Caller{1, 1, {}}), status::kSuccess);
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, Caller{1, 1, {}}),
              status::kInvalidDeviceState);
    EXPECT_EQ(takeLog(), (Log{"in caller context", "in caller context"}));
    io::closeFile(file);
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close", "destroy"}));
}

TEST_F(IoManagerTest, QueueHandlersRunAtTheLevelTheirExecutionLevelAllows)
{
    struct Case {
        ExecutionLevel declared;
        Level handlerLevel;
        bool pagedPoolRefused;
    };
    // The device's default is dispatch-level execution.
    const Case cases[] = {{ExecutionLevel::InheritFromParent, Level::Dispatch, true},
                          {ExecutionLevel::Dispatch, Level::Dispatch, true},
                          {ExecutionLevel::Passive, Level::Passive, false}};
    for (const Case& c : cases) {
        gQueueLevel = c.declared;
        gPagedPoolRefused = false;
        uint32_t port = bus_->plug(mixer_);
        io::FileRef file;
        ASSERT_EQ(io::openDeviceInterface(io::deviceInterfaces(kClass)[0], Caller{}, file), status::kSuccess);
        uint32_t value = 1, reply = 0, bytes = 0;
        EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, Caller{}), status::kSuccess);
        EXPECT_EQ(gHandlerLevel, c.handlerLevel) << int(c.declared);
        EXPECT_EQ(gPagedPoolRefused, c.pagedPoolRefused) << int(c.declared);
        io::closeFile(file);
        bus_->unplug(port);
    }
}

TEST_F(IoManagerTest, OnlyBufferedControlCodesAreAccepted)
{
    bus_->plug(mixer_);
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(io::deviceInterfaces(kClass)[0], Caller{}, file), status::kSuccess);
    uint32_t value = 0, bytes = 0;
    EXPECT_EQ(io::deviceIoControl(file, kQueued | 2, &value, 4, &value, 4, &bytes, Caller{}),
              status::kNotImplemented);
    io::closeFile(file);
}

} // namespace
} // namespace kplat::testing
