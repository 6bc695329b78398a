#include "stream_fixture.h"

#include <cstring>
#include <vector>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;
using kplat::testing::TestUsbDevice;
using kplat::usb::IsochUrb;

class StreamEngineTest : public StreamFixture {
protected:
    uint32_t recordSample(uint32_t channel, uint32_t half, uint32_t frame) const
    {
        uint32_t v;
        std::memcpy(&v, c_->recordRing + size_t(channel) * 2 * c_->blockBytesPerChannel +
                            size_t(half) * c_->blockBytesPerChannel + size_t(frame) * 4,
                    4);
        return v;
    }
};

// A block's mixing state at its turnover: afresh for the next cycle, unless
// additions are in flight; then their count stays under the turned-over
// mark and the sum is theirs to clear.
TEST(MixedBlockTurnover, StartsAfreshUnlessAdditionsAreInFlight)
{
    namespace ai = asio_info;
    struct Case {
        uint16_t before, after;
        bool cleared;
    };
    const Case cases[] = {
        {0, 0, true},
        {ai::kMixCounterClaimed | ai::kMixCounterConverted | 2, 0, true}, // converted
        {1, 0, true},                                                     // every other client late
        {ai::kMixCounterClaimed | 1, 0, true},                            // claimed, not yet converted
        {ai::kMixCounterInFlightOne, ai::kMixCounterTurnedOver | ai::kMixCounterInFlightOne, false},
        {ai::kMixCounterClaimed | 2 * ai::kMixCounterInFlightOne | 1,
         ai::kMixCounterTurnedOver | 2 * ai::kMixCounterInFlightOne, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> record(ai::kSize, 0);
        std::vector<uint8_t> sum(64, 0x11);
        AsioInfo info(record.data());
        info.setMixCounter(3, c.before);
        TurnOverMixedBlock(info, 3, sum.data(), sum.size());
        EXPECT_EQ(info.mixCounter(3), c.after) << std::hex << c.before;
        EXPECT_TRUE(ai::mixCounterTurnedOver(info.mixCounter(3)) == !c.cleared);
        EXPECT_EQ(sum[0] == 0 && sum[63] == 0, c.cleared) << std::hex << c.before;
        EXPECT_EQ(info.mixCounter(2) | info.mixCounter(4), 0u);
    }
}

TEST_F(StreamEngineTest, BlocksCompleteAtTheirCadenceAndTheFirstTransferReachesTheBoundary)
{
    start(48000, 2);
    addClient(480);
    advanceMs(2);
    // Empty queue and accumulator: (480 + 48 + 1) × 1000 / 48,000 = 11 frames.
    EXPECT_EQ(info().readTransferFramesRing().entry(0), 11u);
    EXPECT_EQ(c_->inputsInFlight, 4u);
    advanceMs(200);
    uint64_t before = info().asioBlockCount();
    EXPECT_GT(before, 5u);
    advanceMs(100);
    EXPECT_EQ(info().asioBlockCount(), before + 10);
    EXPECT_EQ(info().measuredSampleRate(), 48000u);
    EXPECT_EQ(info().readsFailed(), 0u);
    EXPECT_EQ(info().writesFailed(), 0u);
    // Output transfers leave the half-ring time (75 ms) after their input.
    EXPECT_GT(info().writesCompleted(), 10u);
    EXPECT_EQ(info().isStreamingEnabled(), 1u);
    // No client takes the playback overrun here (0x8); nothing else went wrong.
    EXPECT_EQ(info().statusBits() & ~(asio_info::kStatusBitBlocksPerTransfer | asio_info::kStatusBitOverrunNotTaken),
              0u);
}

TEST_F(StreamEngineTest, EveryInputSampleLandsInItsChannelRegionAndHalf)
{
    for (uint32_t blockFrames : {480u, 64u, 1000u}) {
        SCOPED_TRACE(blockFrames);
        start(48000, 3);
        addClient(blockFrames);
        for (int step = 0; step < 6; ++step) {
            advanceMs(37);
            uint64_t n = info().asioBlockCount();
            if (n == 0)
                continue;
            uint32_t half = static_cast<uint32_t>(n & 1);
            for (uint32_t k = 0; k < 3; ++k)
                for (uint32_t j = 0; j < blockFrames; ++j)
                    ASSERT_EQ(recordSample(k, half, j), TestUsbDevice::streamSample((n - 1) * blockFrames + j, k))
                        << "block " << n << " channel " << k << " frame " << j;
        }
        bus_->unplug(port_);
        port_ = 0;
    }
}

TEST_F(StreamEngineTest, PlaybackLeavesAtTheHalfRingTimeAfterItsInputTransfer)
{
    start(48000, 2);
    addClient(480);
    advanceMs(2); // stream prepared and geometry known
    const uint32_t ringWords = c_->ringBlocks * 2 * c_->blockBytesPerChannel / 4;
    for (uint32_t i = 0; i < ringWords; ++i) {
        uint32_t v = i + 1;
        std::memcpy(c_->clippedRing + size_t(i) * 4, &v, 4);
    }
    advanceMs(400);
    auto in = device().inMicroframes();
    auto out = device().outPackets();
    ASSERT_FALSE(in.empty());
    ASSERT_GT(out.size(), 200u);
    EXPECT_EQ(out.front().microframe, in.front() + uint64_t(c_->halfRingMs) * 8);
    // The first output frame is read at block 1 of the ring plus half the ring.
    uint32_t first;
    std::memcpy(&first, out.front().bytes.data(), 4);
    EXPECT_EQ(first, ((1 * c_->blockBytesPerChannel) * 2 + c_->halfRingBytes) % (ringWords * 4) / 4 + 1);
    // Output follows the ring without gaps or repeats. Past the ring's end a
    // transfer reads the continuation area (zero here: no client copies the
    // overrun), which stands for the ring's first words.
    uint32_t position = first - 1;
    size_t zeros = 0;
    for (const auto& packet : out) {
        for (size_t b = 0; b + 4 <= packet.bytes.size(); b += 4) {
            uint32_t v;
            std::memcpy(&v, packet.bytes.data() + b, 4);
            if (v == 0)
                ++zeros;
            else
                ASSERT_EQ(v, position + 1);
            position = (position + 1) % ringWords;
        }
    }
    EXPECT_LT(zeros, out.size() * 4);
}

TEST_F(StreamEngineTest, ZeroLengthPacketsCarrySilenceNotStaleSamples)
{
    start(48000, 2);
    device().zeroLengthIn = [](uint64_t microframe) { return microframe % 37 == 5; };
    addClient(480);
    advanceMs(700);
    EXPECT_NE(info().statusBits() & asio_info::kStatusBitZeroLengthPacket, 0u);
    EXPECT_GT(info().readZeroLengthPackets(), 0u);
    uint64_t n = info().asioBlockCount();
    ASSERT_GT(n, 10u);
    uint32_t half = static_cast<uint32_t>(n & 1);
    for (uint32_t k = 0; k < 2; ++k) {
        uint64_t last = 0;
        bool any = false;
        uint32_t silent = 0;
        for (uint32_t j = 0; j < 480; ++j) {
            uint32_t v = recordSample(k, half, j);
            if (v == 0) {
                ++silent;
                continue;
            }
            ASSERT_EQ(v & 0xFF, k);
            uint64_t frame = (v & 0x7FFFFFFF) >> 8;
            if (any) {
                ASSERT_EQ(frame, last + 1) << "stale or out-of-order samples at " << j;
            }
            last = frame;
            any = true;
        }
        EXPECT_EQ(silent % 6, 0u); // whole nominal packets of silence
    }
}

// The out-of-order check compares a completed slot with its successor, so the
// pump must hand out slots one after another.
TEST_F(StreamEngineTest, ThePumpSendsConsecutiveSlots)
{
    start(48000, 2);
    addClient(480);
    advanceMs(2);
    std::vector<uint32_t> busy;
    for (uint32_t slot = 0; slot < kTransferSlots; ++slot)
        if (c_->inputBusy[slot])
            busy.push_back(slot);
    EXPECT_EQ(busy, (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(c_->lastInputSlotSubmitted, 4u);
    // Refills keep the order: every slot is sent in turn, none completes after its successor.
    advanceMs(1000);
    EXPECT_GT(info().readsCompleted(), 80u);
    EXPECT_EQ(info().statusBits() & asio_info::kStatusBitOutOfOrder, 0u);
}

TEST_F(StreamEngineTest, ManyConsecutiveInputFailuresStopTheEngineAlone)
{
    start(48000, 2);
    addClient(480);
    advanceMs(200);
    armFault(FaultKind::IsochTransfer, 0, 100'000);
    advanceMs(20'000);
    EXPECT_EQ(c_->streamingEnabled, 0);
    EXPECT_EQ(info().isStreamingEnabled(), 1u);
    EXPECT_GT(info().readsFailed(), 100u);
    EXPECT_EQ(c_->inputsInFlight, 0u);
    uint64_t fired = c_->streamTimer->firedCount();
    advanceMs(100);
    EXPECT_EQ(c_->streamTimer->firedCount(), fired); // no longer re-armed
}

TEST_F(StreamEngineTest, UnplugWhileStreamingEndsWithNothingInFlight)
{
    size_t pool = poolBytesOutstanding(kPoolTag);
    start(48000, 2);
    addClient(96);
    advanceMs(150);
    ASSERT_GT(c_->inputsInFlight, 0u);
    bus_->unplug(port_);
    port_ = 0;
    advanceMs(50);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
    EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool);
}

TEST_F(StreamEngineTest, WithNoClientStartedNothingIsSentAndTheIdleTickStaysCheap)
{
    start(48000, 2);
    addClient(480, false);
    advanceMs(3);
    c_->clippedRing[1000] = 0x5A; // a client's samples
    uint64_t fired = c_->streamTimer->firedCount();
    advanceMs(100);
    EXPECT_TRUE(device().inMicroframes().empty());
    EXPECT_EQ(c_->streamTimer->firedCount(), fired + 100); // every 1 ms
    EXPECT_EQ(c_->clippedRing[1000], 0x5A);
    EXPECT_EQ(info().startedClientCount(), 0u);
    // A client starts: transfers begin.
    {
        SpinLockGuard guard(*c_->streamLock);
        c_->clients[0].started = 1;
    }
    advanceMs(100);
    EXPECT_FALSE(device().inMicroframes().empty());
}

TEST_F(StreamEngineTest, StreamingSwitchedOnAgainStartsAFreshStream)
{
    start(48000, 2);
    addClient(480, false);
    advanceMs(3);
    c_->clippedRing[1000] = 0x5A; // left by a client that has gone
    {
        SpinLockGuard guard(*c_->streamLock);
        SetStreamingEnabled(c_, false);
    }
    advanceMs(5);
    {
        SpinLockGuard guard(*c_->streamLock);
        SetStreamingEnabled(c_, true);
    }
    c_->streamTimer->startRelative(msToTicks(1));
    advanceMs(2);
    EXPECT_EQ(c_->clippedRing[1000], 0);
}

TEST_F(StreamEngineTest, ARefusedGeometryWaitsForAChange)
{
    start(48000, 2);
    c_->outputChannels = 0;
    EventObject* event = addClient(480);
    advanceMs(5);
    EXPECT_TRUE(c_->geometryRefused);
    uint64_t sets = event->event().setCount();
    advanceMs(100);
    EXPECT_EQ(event->event().setCount(), sets); // no stream reset at every tick
    EXPECT_TRUE(device().inMicroframes().empty());
    {
        SpinLockGuard guard(*c_->streamLock);
        c_->outputChannels = 2;
        c_->requestedBlockFrames = 240;
    }
    advanceMs(200);
    EXPECT_FALSE(c_->geometryRefused);
    EXPECT_GT(info().asioBlockCount(), 0u);
}

TEST_F(StreamEngineTest, ABlockSizeChangeRestartsTheStream)
{
    start(48000, 2);
    addClient(480);
    advanceMs(300);
    ASSERT_GT(info().asioBlockCount(), 10u);
    {
        SpinLockGuard guard(*c_->streamLock);
        c_->requestedBlockFrames = 96;
        info().setBlockFrames(96);
    }
    advanceMs(300);
    EXPECT_EQ(c_->runningBlockFrames, 96u);
    EXPECT_EQ(info().blockFrames(), 96u);
    uint64_t n = info().asioBlockCount();
    EXPECT_GT(n, 5u);
    EXPECT_LT(n, 300u / 2 + 5);
}

TEST_F(StreamEngineTest, LoopbackWithMoreOutputsThanInputsKeepsEverySample)
{
    start(48000, 4); // the device takes 4 channels out
    c_->inputChannels = 2;
    info().setKernelLoopback(1);
    addClient(480);
    advanceMs(300);
    auto out = device().outPackets();
    ASSERT_GT(out.size(), 100u);
    size_t checked = 0;
    for (const auto& packet : out) {
        ASSERT_EQ(packet.bytes.size() % 16, 0u);
        for (size_t f = 0; f < packet.bytes.size() / 16; ++f) {
            uint32_t s[4];
            std::memcpy(s, packet.bytes.data() + f * 16, 16);
            // The device sends 4 channels in; the driver reads 2 per frame
            // of 8 bytes, so input frames are the device's half-frames.
            ASSERT_NE(s[0], 0u);
            ASSERT_EQ(s[2], 0u);
            ASSERT_EQ(s[3], 0u);
            ++checked;
        }
    }
    EXPECT_GT(checked, 1000u);
}

TEST_F(StreamEngineTest, CadenceFollowsRateAndBlockSize)
{
    struct Case {
        uint32_t rate, blockFrames;
    } cases[] = {{44100, 441}, {48000, 480}, {96000, 960}, {48000, 48}, {48000, 96}, {44100, 512}};
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::Message() << k.rate << " Hz, " << k.blockFrames << " frames");
        start(k.rate, 2);
        addClient(k.blockFrames);
        advanceMs(500);
        uint64_t before = info().asioBlockCount();
        ASSERT_GT(before, 0u);
        advanceMs(2000);
        uint64_t expected = uint64_t(k.rate) * 2 / k.blockFrames;
        uint64_t got = info().asioBlockCount() - before;
        EXPECT_NEAR(double(got), double(expected), 1.0);
        EXPECT_NEAR(double(info().measuredSampleRate()), double(k.rate), 1.0); // integer division of a running total
        EXPECT_EQ(info().readsFailed() + info().writesFailed(), 0u);
        bus_->unplug(port_);
        port_ = 0;
    }
}

TEST_F(StreamEngineTest, PacketsOfTheWrongRateRestartAndReconfigure)
{
    // Twelve frames per packet at 48,000 Hz: the device runs at 96,000 Hz.
    start(48000, 2);
    addClient(480);
    advanceMs(2);
    IsochUrb* urb = reinterpret_cast<IsochUrb*>(c_->inputUrbs[0]);
    SpinLockGuard guard(*c_->streamLock);
    ASSERT_EQ(BuildIsochUrb(c_, 0, true, 2), status::kSuccess);
    for (uint32_t i = 0; i < urb->numberOfPackets; ++i)
        urb->packets()[i].length = 12 * 2 * 4;
    c_->restart = c_->reconfigure = 0;
    ProcessReadUrb(c_, 0, true, false);
    EXPECT_TRUE(c_->restart);
    EXPECT_TRUE(c_->reconfigure);

    // Six frames per packet are what 48,000 Hz delivers.
    ASSERT_EQ(BuildIsochUrb(c_, 0, true, 2), status::kSuccess);
    for (uint32_t i = 0; i < urb->numberOfPackets; ++i)
        urb->packets()[i].length = 6 * 2 * 4;
    c_->restart = c_->reconfigure = 0;
    ProcessReadUrb(c_, 0, true, false);
    EXPECT_FALSE(c_->restart);
    EXPECT_FALSE(c_->reconfigure);
}

TEST_F(StreamEngineTest, ShortBlocksWithDelayModeTwoDropNoOutputTransfer)
{
    start(48000, 2);
    c_->outputDelayMode = 2;
    addClient(48);
    advanceMs(1000);
    EXPECT_EQ(c_->shortBlock, 1u);
    EXPECT_EQ(info().writesFailed(), 0u);
    auto out = device().outPackets();
    ASSERT_GT(out.size(), 800u * 8);
    // One output packet per microframe, without a gap.
    for (size_t i = 1; i < out.size(); ++i)
        ASSERT_EQ(out[i].microframe, out[i - 1].microframe + 1) << i;
    auto in = device().inMicroframes();
    EXPECT_EQ(out.front().microframe, in.front() + (uint64_t(c_->halfRingMs) + 2) * 8);
    // Every input transfer but those still in flight was answered.
    EXPECT_GE(info().writesCompleted() + c_->outputsInFlight + c_->halfRingMs + 3, info().readsCompleted());
}

TEST_F(StreamEngineTest, OutputTransfersFarAheadAreNotCancelledByTheirTimeOut)
{
    // 4,096 frames in 15 ring blocks: the half-ring time is 640 ms, more than
    // the 500 ms a transfer is otherwise given.
    start(48000, 2);
    addClient(4096);
    advanceMs(3000);
    EXPECT_EQ(c_->halfRingMs, 640u);
    EXPECT_GT(info().writesCompleted(), 20u); // transfers of up to 50 ms
    EXPECT_EQ(info().writesFailed(), 0u);
    EXPECT_EQ(info().writeRequestError(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
