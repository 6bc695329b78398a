#include "driver_fixture.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/timer.h"

#include <algorithm>
#include <set>
#include <vector>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;

class DeviceLifecycleTest : public DriverFixture {};

TEST_F(DeviceLifecycleTest, SlotsAreTakenInOrderAndReused)
{
    uint32_t first = plug();
    uint32_t second = plug();
    ASSERT_TRUE(context(first) && context(second));
    EXPECT_EQ(context(first)->slotIndex, 0u);
    EXPECT_EQ(context(second)->slotIndex, 1u);
    EXPECT_EQ(context(first)->classId, ClassIdForSlot(0));
    EXPECT_EQ(context(second)->classId, ClassIdForSlot(1));
    EXPECT_EQ(AsioInfo(context(second)->asioInfo).classId(), ClassIdForSlot(1));
    bus_->unplug(first);
    uint32_t third = plug();
    EXPECT_EQ(context(third)->slotIndex, 0u);
    EXPECT_EQ(context(third)->classId, ClassIdForSlot(0));
    EXPECT_EQ(SlotsInUse(), 2u);
}

TEST_F(DeviceLifecycleTest, ANewRecordIsZeroButTheClassIdentifier)
{
    DeviceContext* c = context(plug());
    ASSERT_NE(c->asioInfo, nullptr);
    auto id = ClassIdForSlot(0).bytes();
    // Preparing the hardware has published what the configuration says: the
    // channel counts and names (the test device stalls clock requests, so the
    // rate and its list stay 0).
    auto published = [](size_t i) {
        return (i >= asio_info::kOutputChannelCountOffset && i < asio_info::kSampleFormatOffset) ||
               (i >= asio_info::kInputChannelNamesOffset &&
                i < asio_info::kOutputChannelNamesOffset + asio_info::kChannelNamesBytes);
    };
    for (size_t i = 0; i < asio_info::kSize; ++i) {
        if (i >= asio_info::kClassIdOffset && i < asio_info::kClassIdOffset + 16) {
            EXPECT_EQ(c->asioInfo[i], id[i - asio_info::kClassIdOffset]) << i;
        } else if (!published(i)) {
            ASSERT_EQ(c->asioInfo[i], 0) << "byte " << i;
        }
    }
}

TEST_F(DeviceLifecycleTest, ReleaseMarksTheRecordDeadAndRequestsFail)
{
    uint32_t port = plug();
    DeviceContext* c = context(port);
    auto links = io::deviceInterfaces(c->interfaceGuid);
    ASSERT_EQ(links.size(), 1u);
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(links[0], Caller{100, 1, {}}, file), status::kSuccess);
    EXPECT_EQ(AsioInfo(c->asioInfo).recordDead(), 0);
    bus_->unplug(port); // the device stays until its file is closed
    EXPECT_EQ(AsioInfo(c->asioInfo).recordDead(), 1);
    EXPECT_EQ(SlotsInUse(), 0u);
    uint8_t out[64] = {};
    uint32_t bytes = 0;
    for (uint32_t code : {kIoCtlGetClientId, kIoCtlGetAsioInfo, kIoCtlMessage}) {
        EXPECT_EQ(io::deviceIoControl(file, code, out, sizeof out, out, sizeof out, &bytes, Caller{100, 1, {}}),
                  status::kInvalidHandle)
            << std::hex << code;
    }
    EXPECT_EQ(AsioInfo(c->asioInfo).recordDead(), 1);
    io::closeFile(file);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

TEST_F(DeviceLifecycleTest, EveryAddMakesAFreshInterfaceGuid)
{
    std::set<std::array<uint8_t, 16>> seen;
    for (int i = 0; i < 5; ++i) {
        uint32_t port = plug();
        DeviceContext* c = context(port);
        EXPECT_TRUE(seen.insert(c->interfaceGuid.bytes()).second);
        EXPECT_NE(c->interfaceGuid, c->classId);
        EXPECT_EQ(io::deviceInterfaces(c->interfaceGuid).size(), 1u);
        bus_->unplug(port);
    }
}

TEST_F(DeviceLifecycleTest, WithAllSlotsInUseAddFailsCleanly)
{
    std::vector<uint32_t> ports;
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        ports.push_back(plug());
        ASSERT_NE(context(ports.back()), nullptr) << i;
        EXPECT_EQ(context(ports.back())->slotIndex, i);
    }
    size_t live = pnp::liveDeviceCount();
    uint32_t extra = plug();
    EXPECT_EQ(bus_->node(extra), 0u);
    EXPECT_EQ(pnp::lastStartStatus(), status::kInsufficientResources);
    EXPECT_EQ(pnp::liveDeviceCount(), live);
    EXPECT_EQ(SlotsInUse(), kSlotCount);
    bus_->unplug(ports[42]);
    uint32_t again = plug();
    ASSERT_NE(context(again), nullptr);
    EXPECT_EQ(context(again)->slotIndex, 42u);
}

TEST_F(DeviceLifecycleTest, AnAddThatFailsHalfWayLeavesNoSlotTaken)
{
    size_t pool = poolBytesOutstanding(kPoolTag);
    int failures = 0;
    for (uint32_t skip = 0;; ++skip) {
        ASSERT_LT(skip, 100u);
        armFault(FaultKind::Allocation, skip, 1);
        uint32_t port = plug();
        disarmFaults();
        if (bus_->node(port) != 0) {
            // No more steps to fail: the device came up in slot 0.
            EXPECT_EQ(context(port)->slotIndex, 0u);
            bus_->unplug(port);
            break;
        }
        ++failures;
        EXPECT_EQ(SlotsInUse(), 0u) << "failing allocation " << skip;
        EXPECT_EQ(pnp::liveDeviceCount(), 0u) << "failing allocation " << skip;
        EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool);
        bus_->unplug(port);
    }
    // Device, queue, interface, timer, two locks, the record's pages and
    // its mapping, the USB target.
    EXPECT_GE(failures, 9);
}

TEST_F(DeviceLifecycleTest, UuidCreationIsRetriedABoundedNumberOfTimes)
{
    armFault(FaultKind::UuidCreation, 0, kUuidAttempts - 1);
    uint32_t port = plug();
    ASSERT_NE(bus_->node(port), 0u);
    bus_->unplug(port);

    armFault(FaultKind::UuidCreation, 0, 1'000'000);
    port = plug();
    EXPECT_EQ(bus_->node(port), 0u);
    EXPECT_EQ(pnp::lastStartStatus(), status::kRetry);
    EXPECT_EQ(SlotsInUse(), 0u);
}

TEST_F(DeviceLifecycleTest, WorkingStateHoldsOneTimerResolutionRequest)
{
    uint32_t port = plug();
    EXPECT_EQ(timerResolutionBalance(), 1);
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), true), status::kSuccess);
    EXPECT_EQ(timerResolutionBalance(), 0);
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), false), status::kSuccess);
    EXPECT_EQ(timerResolutionBalance(), 1);
    bus_->unplug(port);
    EXPECT_EQ(timerResolutionBalance(), 0);
}

TEST_F(DeviceLifecycleTest, ReleaseWaitIsBoundedAndCoversARunningStreamTimer)
{
    uint32_t port = plug();
    DeviceContext* c = context(port);
    {
        SpinLockGuard guard(*c->streamLock);
        c->timerBusy = 1; // a stream-timer callback that never ends
    }
    Ticks before = kernelClock().now();
    bus_->unplug(port);
    EXPECT_EQ(kernelClock().now() - before, msToTicks(kReleaseWaitMs));
}

DeviceContext* gDraining = nullptr;

TEST_F(DeviceLifecycleTest, ReleaseWaitEndsWhenTransfersHaveDrained)
{
    uint32_t port = plug();
    gDraining = context(port);
    {
        SpinLockGuard guard(*gDraining->streamLock);
        gDraining->inputsInFlight = 1;
    }
    // Something completes the transfer 50 ms into the wait.
    TimerConfig config;
    config.callback = [](Timer&) {
        SpinLockGuard guard(*gDraining->streamLock);
        gDraining->inputsInFlight = 0;
    };
    ObjectAttributes attributes;
    attributes.parent = bus_->device(port);
    attributes.executionLevel = ExecutionLevel::Passive;
    Timer* timer = nullptr;
    ASSERT_EQ(Timer::create(config, attributes, &timer), status::kSuccess);
    timer->startRelative(msToTicks(50));
    Ticks before = kernelClock().now();
    bus_->unplug(port);
    EXPECT_EQ(kernelClock().now() - before, msToTicks(60)); // the next 20 ms step after 50 ms
}

TEST_F(DeviceLifecycleTest, DestroyFreesWhatAddMade)
{
    size_t pool = poolBytesOutstanding(kPoolTag);
    uint32_t port = plug();
    bus_->unplug(port);
    EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
