#include "stream_fixture.h"

#include "sim/mixer/profile.h"
#include "sim/mixer/test_signal.h"
#include "sim/mixer/usb_audio_device.h"

#include <cstring>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;

class SimMixerStreamTest : public StreamFixture {};

TEST_F(SimMixerStreamTest, EveryRecordedSampleOfTheMixerReachesItsChannel)
{
    for (const auto& profile : {sim::mixer::profiles::qx1600(), sim::mixer::profiles::asymmetric()}) {
        SCOPED_TRACE(profile.key);
        sim::mixer::UsbAudioDevice mixer(profile, 1);
        const uint32_t inputs = profile.record.channels();
        startWith(mixer, 48000, inputs, profile.playback.channels());
        addClient(480);
        advanceMs(500);
        uint64_t n = info().asioBlockCount();
        ASSERT_GT(n, 20u);
        uint32_t half = static_cast<uint32_t>(n & 1);
        uint32_t first = 0;
        for (uint32_t k = 0; k < inputs; ++k) {
            for (uint32_t j = 0; j < 480; ++j) {
                uint32_t v;
                std::memcpy(&v, c_->recordRing + size_t(k) * 2 * c_->blockBytesPerChannel +
                                    size_t(half) * c_->blockBytesPerChannel + size_t(j) * 4,
                            4);
                ASSERT_EQ(sim::mixer::sampleChannel(v), int32_t(k)) << "channel " << k << " frame " << j;
                if (k == 0 && j == 0)
                    first = sim::mixer::sampleFrameBits(v);
                ASSERT_EQ(sim::mixer::sampleFrameBits(v), (first + j) & sim::mixer::kSignalFrameMask)
                    << "channel " << k << " frame " << j;
            }
        }
        EXPECT_EQ(info().readsFailed() + info().writesFailed(), 0u);
        EXPECT_GT(mixer.counters().outFrames.load(), 10'000u);
        bus_->unplug(port_);
        port_ = 0;
    }
}

TEST_F(SimMixerStreamTest, TheMixerPulledWhileStreamingEndsTheStreamCleanly)
{
    size_t pool = poolBytesOutstanding(kPoolTag);
    sim::mixer::UsbAudioDevice mixer(sim::mixer::profiles::qx1600(), 1);
    startWith(mixer, 48000, 16, 16);
    addClient(96);
    advanceMs(200);
    ASSERT_GT(info().asioBlockCount(), 10u);
    mixer.unplug();
    advanceMs(5);
    port_ = 0; // the bus removed it
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
    EXPECT_EQ(SlotsInUse(), 0u);
    EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool);
}

TEST_F(SimMixerStreamTest, FailedTransfersAreCountedAndTheStreamGoesOn)
{
    sim::mixer::UsbAudioDevice mixer(sim::mixer::profiles::qx1600(), 1);
    startWith(mixer, 48000, 16, 16);
    addClient(480);
    advanceMs(300);
    uint64_t now = (kernelClock().now() / kTicksPerMs + 1000) * 8; // the bus counts frames from 1000
    sim::mixer::Faults faults;
    faults.inFailed = sim::mixer::PacketPattern::window(now + 400, now + 400 + 8 * 30);
    mixer.setFaults(faults);
    advanceMs(300);
    EXPECT_GT(info().readsFailed(), 0u);
    EXPECT_NE(info().readUrbError(), 0u);
    uint64_t before = info().asioBlockCount();
    advanceMs(500);
    EXPECT_NEAR(double(info().asioBlockCount() - before), 50.0, 2.0); // one block per 10 ms again
}

TEST_F(SimMixerStreamTest, ALateStartArrivesAsSilenceThenTheSignal)
{
    sim::mixer::UsbAudioDevice mixer(sim::mixer::profiles::asymmetric(), 1);
    sim::mixer::Faults faults;
    faults.lateStartMicroframes = 8 * 20;
    mixer.setFaults(faults);
    startWith(mixer, 48000, 6, 2);
    addClient(480);
    advanceMs(400);
    EXPECT_NE(info().statusBits() & asio_info::kStatusBitZeroLengthPacket, 0u);
    EXPECT_GT(info().readZeroLengthPackets(), 100u);
    EXPECT_GT(info().asioBlockCount(), 20u);
}

TEST_F(SimMixerStreamTest, ClockDriftShowsInTheMeasuredRate)
{
    sim::mixer::UsbAudioDevice mixer(sim::mixer::profiles::qx1600(), 1);
    sim::mixer::Faults faults;
    faults.driftPpm = 1000; // 48,048 frames a second
    mixer.setFaults(faults);
    startWith(mixer, 48000, 16, 16);
    addClient(480);
    advanceMs(3000);
    EXPECT_NEAR(double(info().measuredSampleRate()), 48048.0, 2.0);
    EXPECT_EQ(info().readsFailed(), 0u);
}

// A clock thread that runs later than the queued transfers reach: the next
// transfers miss their start frames, the stream starts again further on, and
// the frames in between never arrive. The failures show in the record's
// counters and the blocks fall behind the wall clock, while the measured rate
// (frames per received millisecond) still reads the device's rate.
TEST_F(SimMixerStreamTest, ALateClockMissesStartFramesAndTheLossIsCounted)
{
    sim::mixer::UsbAudioDevice mixer(sim::mixer::profiles::qx1600(), 1);
    startWith(mixer, 48000, 16, 16);
    addClient(48);
    advanceMs(500);
    ASSERT_EQ(info().readsFailed() + info().writesFailed(), 0u);
    const uint64_t blocksBefore = info().asioBlockCount();
    kernelClock().stall(msToTicks(10));
    advanceMs(990);
    EXPECT_GT(info().readsFailed(), 0u);
    EXPECT_EQ(info().readUrbError(), uint32_t(usb::usbd::kBadStartFrame));
    EXPECT_GT(info().writesFailed(), 0u);
    const uint64_t delivered = (info().asioBlockCount() - blocksBefore) * 48;
    EXPECT_LT(delivered + 48 * 40, 48'000u) << "about 50 ms of frames never arrive";
    EXPECT_GT(delivered, 48'000u * 8 / 10) << "the stream goes on";
    EXPECT_NEAR(double(info().measuredSampleRate()), 48000.0, 2.0);
}

} // namespace
} // namespace orvo::kernel::testing
