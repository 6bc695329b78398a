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

} // namespace
} // namespace orvo::kernel::testing
