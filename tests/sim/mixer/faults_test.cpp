#include "device_helpers.h"

#include "sim/mixer/test_signal.h"

#include <gtest/gtest.h>

namespace sim::mixer {
namespace {

using namespace sim::mixer::testing;

class FaultTest : public ::testing::Test {
protected:
    FaultTest() : dev(profiles::qx1600(), 42) { startStreaming(dev); }

    // Status and frames of the record packet at `m`.
    std::pair<DeviceStatus, uint32_t> poll(uint64_t m) {
        auto r = dev.isochIn(kRecordEndpoint, m, buf);
        return {r.status, r.length / (16 * 4)};
    }

    UsbAudioDevice dev;
    std::vector<uint8_t> buf = std::vector<uint8_t>(driverPacketBytes(48000, 16));
};

TEST_F(FaultTest, SpeedAndVendor) {
    Faults f;
    f.fullSpeed = true;
    f.vendorId = 0x1234;
    dev.setFaults(f);
    EXPECT_FALSE(dev.highSpeed());
    EXPECT_EQ(dev.deviceDescriptor()[8], 0x34);
    EXPECT_EQ(dev.deviceDescriptor()[9], 0x12);
    dev.setFaults({});
    EXPECT_TRUE(dev.highSpeed());
    EXPECT_EQ(dev.deviceDescriptor()[8], 0x71);
    EXPECT_EQ(dev.deviceDescriptor()[9], 0x3A);
}

TEST_F(FaultTest, ZeroLengthPacketsOnAPattern) {
    Faults f;
    f.inZeroLength = PacketPattern::periodic(4, 100);
    dev.setFaults(f);
    for (uint64_t m = 96; m < 120; ++m) {
        auto [status, frames] = poll(m);
        EXPECT_EQ(status, DeviceStatus::Ok);
        EXPECT_EQ(frames, (m >= 100 && m % 4 == 0) ? 0u : 6u) << m;
    }
    EXPECT_EQ(dev.counters().inEmpty.load(), 5u);
    // The frames of an empty packet are gone: the next one goes on from the clock.
    auto [status, frames] = poll(121);
    ASSERT_EQ(frames, 6u);
    EXPECT_EQ(le32(buf.data()), recordSample(0, 121 * 6));
}

TEST_F(FaultTest, FailedPacketsAndFailedTransfers) {
    Faults f;
    f.inFailed = PacketPattern::periodic(10);
    f.packetFailure = DeviceStatus::Error;
    f.outFailed = PacketPattern::window(200, 240); // five 1 ms frames: whole transfers fail
    dev.setFaults(f);
    EXPECT_EQ(poll(30).first, DeviceStatus::Error);
    EXPECT_EQ(poll(31).first, DeviceStatus::Ok);
    std::vector<uint8_t> out(6 * 16 * 4);
    for (uint64_t m = 190; m < 250; ++m)
        EXPECT_EQ(dev.isochOut(kPlaybackEndpoint, m, out).status,
                  m >= 200 && m < 240 ? DeviceStatus::Error : DeviceStatus::Ok)
            << m;
    EXPECT_EQ(dev.counters().outFailed.load(), 40u);
    EXPECT_EQ(dev.counters().inFailed.load(), 1u);

    f = {};
    f.inFailed = PacketPattern::window(400, 480);
    f.packetFailure = DeviceStatus::NoResponse;
    dev.setFaults(f);
    for (uint64_t m = 400; m < 480; ++m)
        ASSERT_EQ(poll(m).first, DeviceStatus::NoResponse);
    EXPECT_EQ(poll(480).first, DeviceStatus::Ok);
}

TEST_F(FaultTest, LateStartSendsNothingAfterTheInterfaceStarts) {
    Faults f;
    f.lateStartMicroframes = 24;
    dev.setFaults(f);
    dev.setInterface(kRecordInterface, 0);
    dev.setInterface(kRecordInterface, 1);
    for (uint64_t m = 1000; m < 1024; ++m)
        EXPECT_EQ(poll(m).second, 0u) << m;
    EXPECT_EQ(poll(1024).second, 6u);
    // Each start of the interface starts late again.
    dev.setInterface(kRecordInterface, 0);
    dev.setInterface(kRecordInterface, 1);
    EXPECT_EQ(poll(5000).second, 0u);
    EXPECT_EQ(poll(5024).second, 6u);
}

TEST_F(FaultTest, InvalidClockSendsNothing) {
    Faults f;
    f.clockInvalid = true;
    dev.setFaults(f);
    EXPECT_EQ(poll(0), std::make_pair(DeviceStatus::Ok, 0u));
    dev.setFaults({});
    EXPECT_EQ(poll(1).second, 6u);
}

TEST_F(FaultTest, DriftStretchesTheClockWithinOneFrameMore) {
    Faults f;
    f.driftPpm = 1000; // 48,048 frames per second
    dev.setFaults(f);
    uint64_t frames = 0;
    uint32_t most = 0;
    for (uint64_t m = 0; m < 80000; ++m) {
        auto [status, n] = poll(m);
        ASSERT_EQ(status, DeviceStatus::Ok);
        frames += n;
        most = std::max(most, n);
    }
    EXPECT_EQ(frames, 480480u);
    EXPECT_EQ(most, 7u);

    f.driftPpm = -500;
    dev.setFaults(f);
    frames = 0;
    for (uint64_t m = 80000; m < 160000; ++m)
        frames += poll(m).second;
    EXPECT_EQ(frames, 479760u);
}

TEST_F(FaultTest, FailingClassRequestsRecover) {
    Faults f;
    f.failControlRequests = 2;
    f.controlFailure = DeviceStatus::NoResponse;
    dev.setFaults(f);
    EXPECT_EQ(readRate(dev), std::nullopt);
    EXPECT_EQ(setRate(dev, 96000).status, DeviceStatus::NoResponse);
    EXPECT_EQ(readRate(dev), 48000u);
    EXPECT_EQ(dev.faults().failControlRequests, 0u);
}

TEST_F(FaultTest, UnplugSilencesEverything) {
    dev.unplug();
    EXPECT_FALSE(dev.attached());
    EXPECT_EQ(poll(0).first, DeviceStatus::NoResponse);
    std::vector<uint8_t> out(6 * 16 * 4);
    EXPECT_EQ(dev.isochOut(kPlaybackEndpoint, 1, out).status, DeviceStatus::NoResponse);
    EXPECT_EQ(readRate(dev), std::nullopt);
    EXPECT_EQ(dev.stringDescriptor(kProductString, 0x0409), std::nullopt);
    dev.changeRateFromPanel(96000);
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), std::nullopt);
    // Plugged in again it enumerates afresh.
    dev.replug();
    EXPECT_TRUE(dev.attached());
    EXPECT_EQ(dev.configuration(), 0);
    EXPECT_EQ(dev.pendingInterruptMessages(), 0u);
    EXPECT_EQ(readRate(dev), 96000u);
}

TEST_F(FaultTest, SilentRateChangeWhileStreaming) {
    for (uint64_t m = 0; m < 8; ++m)
        ASSERT_EQ(poll(m).second, 6u);
    dev.changeRateSilently(96000);
    std::vector<uint8_t> roomy(13 * 16 * 4);
    auto r = dev.isochIn(kRecordEndpoint, 8, roomy);
    EXPECT_EQ(r.length, 12u * 16 * 4);
    EXPECT_EQ(le32(roomy.data()), recordSample(0, 8 * 6));
    // The host's buffer sized for 48 kHz holds 7 frames: packets at the new
    // rate no longer fit.
    std::vector<uint8_t> hostSized(7 * 16 * 4);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 9, hostSized).status, DeviceStatus::Error);
    dev.setConfiguration(kConfigurationValue);
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), std::nullopt);
}

} // namespace
} // namespace sim::mixer
