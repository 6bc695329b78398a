#include "device_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sim::mixer {
namespace {

using namespace sim::mixer::testing;

// The bus streams on its thread while a test turns the knobs on another.
TEST(ThreadedControls, FaultsAndRateChangesReachTheStreamWithoutRaces)
{
    UsbAudioDevice dev(profiles::qx1600(), 1);
    startStreaming(dev);
    std::atomic<bool> done{false};
    uint64_t polls = 0;
    std::thread bus([&] {
        std::vector<uint8_t> in(25 * 16 * 4);
        std::vector<uint8_t> out(6 * 16 * 4);
        for (uint64_t m = 0; m < 40000; ++m) {
            dev.isochIn(kRecordEndpoint, m, in);
            dev.isochOut(kPlaybackEndpoint, m, out);
            if (m % 8 == 0)
                dev.interruptIn(kInterruptEndpoint);
            ++polls;
        }
        done = true;
    });
    uint32_t round = 0;
    while (!done) {
        Faults f;
        f.inZeroLength = PacketPattern::periodic(3 + round % 5);
        f.driftPpm = static_cast<int32_t>(round % 7) * 100 - 300;
        dev.setFaults(f);
        dev.changeRateFromPanel(round % 2 ? 96000 : 48000);
        (void)dev.counters().inFrames.load();
        ++round;
        std::this_thread::yield();
    }
    bus.join();
    const auto& c = dev.counters();
    EXPECT_EQ(c.inPackets.load() + c.inEmpty.load() + c.inFailed.load() + c.inOverflow.load(), polls);
    EXPECT_EQ(c.outPackets.load(), polls);
}

} // namespace
} // namespace sim::mixer
