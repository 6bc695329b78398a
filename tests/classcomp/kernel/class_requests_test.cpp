#include "mixer_fixture.h"
#include "stream_fixture.h"

#include "classcomp/kernel/class_requests.h"
#include "sim/mixer/descriptors.h"

#include <gtest/gtest.h>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;
namespace mx = sim::mixer;

class ClassRequestsTest : public MixerFixture {};

TEST_F(ClassRequestsTest, TheRateIsReadWhenTheDeviceStartsWorking)
{
    DeviceContext* c = plugMixer(mx::profiles::qx1600());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->requestedSampleRate, 48000u);
    EXPECT_EQ(info(c).sampleRate(), 48000u);
}

TEST_F(ClassRequestsTest, AClockThatIsNotValidLeavesTheRateZero)
{
    auto& dev = make(mx::profiles::qx1600());
    mx::Faults f;
    f.clockInvalid = true;
    dev.setFaults(f);
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(GetClockValid(c));
    EXPECT_EQ(c->requestedSampleRate, 0u);
    EXPECT_EQ(info(c).sampleRate(), 0u);
    EXPECT_EQ(dev.counters().rateReads.load(), 0u); // the rate is not even asked
    EXPECT_FALSE(SetSampleRate(c, 96000));
    EXPECT_EQ(c->requestedSampleRate, 0u);
}

TEST_F(ClassRequestsTest, AFailedRequestChangesNothing)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    mx::Faults f;
    f.failControlRequests = 1;
    f.controlFailure = usb::DeviceStatus::NoResponse;
    dev.setFaults(f);
    EXPECT_FALSE(GetClockValid(c));
    f.failControlRequests = 2; // clock valid passes, the rate read fails
    f.controlFailure = usb::DeviceStatus::Stall;
    dev.setFaults(f);
    dev.changeRateSilently(96000);
    f.failControlRequests = 0;
    dev.setFaults(f);
    ReadSampleRate(c);
    EXPECT_EQ(c->requestedSampleRate, 96000u);
}

struct RangeCase {
    const char* name;
    mx::Profile profile;
    std::vector<uint32_t> listed;
};

class RangeAnswers : public ClassRequestsTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeAnswers, OnlyDiscreteRatesUpTo192kOfTheFirst15AreListed)
{
    const RangeCase& rc = GetParam();
    DeviceContext* c = plugMixer(rc.profile);
    ASSERT_NE(c, nullptr);
    // Stale entries from an earlier answer are not counted.
    info(c).setSampleRateCount(15);
    ReadSampleRateRanges(c);
    AsioInfo i = info(c);
    ASSERT_EQ(i.sampleRateCount(), rc.listed.size());
    for (size_t k = 0; k < rc.listed.size(); ++k)
        EXPECT_EQ(i.sampleRateAt(k), rc.listed[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, RangeAnswers,
    ::testing::Values(
        RangeCase{"qx1600", mx::profiles::qx1600(), {44100, 48000, 88200, 96000, 176400, 192000}},
        RangeCase{"zr90alpha", mx::profiles::zr90Alpha(), {44100, 48000, 88200, 96000}},
        // 20 subranges: the reply holds 15 of them.
        RangeCase{"many", mx::profiles::manySubranges(),
                  {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000, 128000,
                   176400, 192000}},
        // 44.1k discrete, 48k..96k continuous, 96k discrete.
        RangeCase{"continuous", mx::profiles::continuousRange(), {44100, 96000}},
        RangeCase{"above192k", mx::profiles::highRates(), {44100, 48000, 96000, 192000}}),
    [](const auto& i) { return std::string(i.param.name); });

TEST_F(ClassRequestsTest, AFailedRangeRequestKeepsTheList)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ReadSampleRateRanges(c);
    mx::Faults f;
    f.failControlRequests = 1;
    dev.setFaults(f);
    ReadSampleRateRanges(c);
    EXPECT_EQ(info(c).sampleRateCount(), 6u);
}

TEST_F(ClassRequestsTest, ASetTheDeviceTakesReadsBackEqual)
{
    auto& dev = make(mx::profiles::zr90Alpha());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(SetSampleRate(c, 96000));
    EXPECT_EQ(dev.sampleRate(), 96000u);
    EXPECT_EQ(c->requestedSampleRate, 96000u);
    EXPECT_EQ(info(c).sampleRate(), 96000u);
}

TEST_F(ClassRequestsTest, ASetTheDeviceDoesNotTakeReadsBackAndFails)
{
    auto& dev = make(mx::profiles::zr90Alpha());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    const uint64_t readsBefore = dev.counters().rateReads.load();
    EXPECT_FALSE(SetSampleRate(c, 192000));
    EXPECT_EQ(dev.counters().rateReads.load(), readsBefore + 1);
    EXPECT_EQ(c->requestedSampleRate, 48000u);
    EXPECT_EQ(info(c).sampleRate(), 48000u);
    // A set that fails on the wire is not followed by a read.
    mx::Faults f;
    f.failControlRequests = 1;
    dev.setFaults(f);
    EXPECT_FALSE(SetSampleRate(c, 96000));
    EXPECT_EQ(dev.counters().rateReads.load(), readsBefore + 1);
}

TEST_F(ClassRequestsTest, ARateChangeMarksTheRunningStreamForReconfiguration)
{
    DeviceContext* c = plugMixer(mx::profiles::qx1600());
    ASSERT_NE(c, nullptr);
    c->runningSampleRate = 48000;
    c->runningBlockFrames = c->requestedBlockFrames = 480;
    EXPECT_TRUE(SetSampleRate(c, 44100));
    EXPECT_EQ(c->restart, 1);
    EXPECT_EQ(c->reconfigure, 1);
}

TEST_F(ClassRequestsTest, ASixByteInterruptMessageReReadsTheRate)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    // The front panel changes the rate: the device says so on its interrupt pipe.
    ASSERT_TRUE(dev.changeRateFromPanel(96000));
    advanceMs(5);
    EXPECT_EQ(c->requestedSampleRate, 96000u);
    EXPECT_EQ(info(c).sampleRate(), 96000u);
    EXPECT_EQ(dev.pendingInterruptMessages(), 0u);

    // Whatever a 6-byte message holds, the rate is read again.
    dev.changeRateSilently(44100);
    dev.injectInterruptMessage({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    advanceMs(5);
    EXPECT_EQ(c->requestedSampleRate, 44100u);
}

TEST_F(ClassRequestsTest, MessagesOfOtherLengthsAreIgnored)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    advanceMs(5);
    const uint64_t reads = dev.counters().rateReads.load();
    dev.changeRateSilently(96000);
    dev.injectInterruptMessage({0, 1, 0, 1});
    dev.injectInterruptMessage({0, 1, 0, 1, 0});
    advanceMs(10);
    EXPECT_EQ(dev.counters().interruptMessagesSent.load(), 2u);
    EXPECT_EQ(dev.counters().rateReads.load(), reads);
    EXPECT_EQ(c->requestedSampleRate, 48000u);
}

TEST_F(ClassRequestsTest, BurstOfMessagesUsesOneWorkItem)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    WorkItem* item = c->interruptWorkItem;
    ASSERT_NE(item, nullptr);
    // Messages delivered while the item is queued fold into it.
    const uint8_t message[6] = {0, 1, 0, 1, 0, mx::kClockSourceId};
    const uint64_t reads = dev.counters().rateReads.load();
    {
        SpinLockGuard dispatch(*c->streamLock); // completions run at dispatch level
        for (int i = 0; i < 50; ++i)
            OnInterruptData(*c->interruptPipe, message, sizeof message, c);
    }
    advanceMs(1);
    EXPECT_EQ(dev.counters().rateReads.load(), reads + 1);
    EXPECT_EQ(c->interruptWorkItem, item);
    EXPECT_EQ(c->interruptData[5], mx::kClockSourceId);
}

class ClockStreamTest : public StreamFixture {
protected:
    ~ClockStreamTest() override
    {
        if (port_)
            bus_->unplug(port_); // while the mixer is still there
        port_ = 0;
    }
    mx::UsbAudioDevice mixer_{mx::profiles::qx1600(), 1};
};

TEST_F(ClockStreamTest, WithTheClockNotValidNothingStreams)
{
    mx::Faults f;
    f.clockInvalid = true;
    mixer_.setFaults(f);
    startWith(mixer_, 0, 16, 16);
    ReadSampleRate(c_);
    ASSERT_EQ(c_->requestedSampleRate, 0u);
    addClient(480);
    advanceMs(100);
    EXPECT_EQ(c_->inputsInFlight, 0u);
    EXPECT_EQ(info().readsCompleted(), 0u);
    EXPECT_EQ(info().asioBlockCount(), 0u);
    EXPECT_EQ(mixer_.counters().inPackets.load() + mixer_.counters().inEmpty.load(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
