#include "driver_fixture.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/stream_buffers.h"

namespace orvo::kernel::testing {
namespace {

using namespace kplat;

class StreamGeometryTest : public DriverFixture {};

TEST_F(StreamGeometryTest, TableOfGeometries)
{
    struct Case {
        const char* what;
        uint32_t rate, blockFrames, inputs, outputs;
        bool ok;
        uint32_t ringBlocks, halfRingMs, shortBlock, statusBits;
    } cases[] = {
        {"2 out, 64 frames: clamped to 15", 48000, 64, 2, 2, true, 15, 10, 1, 0},
        {"96 frames at 48 kHz is no short block", 48000, 96, 2, 2, true, 15, 15, 0, 0},
        {"44.1 kHz, 512 frames", 44100, 512, 2, 2, true, 15, 87, 0, 0},
        {"16 channels, 1 ms blocks", 48000, 48, 16, 16, true, 15, 7, 1, 0},
        {"48 out, 4096 frames: ring too large", 48000, 4096, 2, 48, false, 10, 0, 0, asio_info::kStatusBitRingTooLarge},
        {"no output channels", 48000, 480, 2, 0, false, 0, 0, 0, 0},
        {"no input channels", 48000, 480, 0, 2, false, 0, 0, 0, 0},
        {"no block size", 48000, 0, 2, 2, false, 0, 0, 0, 0},
        {"no rate", 0, 480, 2, 2, false, 0, 0, 0, 0},
        {"record ring over 480,000 bytes", 48000, 4096, 20, 2, false, 15, 0, 0, 0},
        {"ring plus the longest output transfer past the block", 48000, 4096, 2, 20, false, 10, 0, 0, 0},
        {"an input transfer over its pool slot", 192000, 256, 24, 2, false, 15, 0, 0, 0},
        {"largest input transfer that fits its slot", 192000, 256, 20, 2, true, 15, 10, 1, 0},
        {"1 frame at 48 kHz: shorter than a microframe", 48000, 1, 2, 2, false, 0, 0, 0, 0},
        {"5 frames at 48 kHz: shorter than a microframe", 48000, 5, 2, 2, false, 0, 0, 0, 0},
        {"6 frames at 48 kHz: half-ring time 0 ms", 48000, 6, 2, 2, false, 15, 0, 0, 0},
        {"7 frames at 48 kHz: half-ring time 1 ms", 48000, 7, 2, 2, true, 15, 1, 1, 0},
        {"5 frames at 44.1 kHz: half-ring time 0 ms", 44100, 5, 2, 2, false, 15, 0, 0, 0},
        {"1 frame at 192 kHz: shorter than a microframe", 192000, 1, 2, 2, false, 0, 0, 0, 0},
        {"24 frames at 192 kHz: half-ring time 0 ms", 192000, 24, 2, 2, false, 15, 0, 0, 0},
        {"26 frames at 192 kHz: half-ring time 1 ms", 192000, 26, 2, 2, true, 15, 1, 1, 0},
    };
    uint32_t port = plug();
    DeviceContext* c = context(port);
    for (const Case& k : cases) {
        AsioInfo info(c->asioInfo);
        info.setStatusBits(0);
        info.setRingBlocks(0);
        c->requestedSampleRate = k.rate;
        c->requestedBlockFrames = k.blockFrames;
        c->inputChannels = k.inputs;
        c->outputChannels = k.outputs;
        c->framesQueued = 0;
        bool ok;
        {
            SpinLockGuard guard(*c->streamLock);
            ok = ComputeStreamGeometry(c);
        }
        EXPECT_EQ(ok, k.ok) << k.what;
        EXPECT_EQ(info.statusBits(), k.statusBits) << k.what;
        EXPECT_EQ(info.ringBlocks(), k.ringBlocks) << k.what;
        if (k.ok) {
            EXPECT_EQ(c->ringBlocks, k.ringBlocks) << k.what;
            EXPECT_EQ(c->halfRingMs, k.halfRingMs) << k.what;
            EXPECT_EQ(c->shortBlock, k.shortBlock) << k.what;
            EXPECT_EQ(c->inFlightLimit, 4u) << k.what;
            EXPECT_LE(uint64_t(c->halfRingBytes) * 2, uint64_t(c->ringBlocks) * k.outputs * k.blockFrames * 4);
        }
    }
    // Frames still queued in input transfers keep the geometry from changing.
    c->requestedSampleRate = 48000;
    c->requestedBlockFrames = 480;
    c->inputChannels = c->outputChannels = 2;
    c->framesQueued = 3;
    SpinLockGuard guard(*c->streamLock);
    EXPECT_FALSE(ComputeStreamGeometry(c));
    c->framesQueued = 0;
}

TEST_F(StreamGeometryTest, BuffersAreAllocatedOnceAndFreedWithTheDevice)
{
    size_t before = poolBytesOutstanding(kPoolTag);
    uint32_t port = plug();
    DeviceContext* c = context(port);
    // What preparing the hardware keeps (strings, configuration) is not counted.
    size_t pool = poolBytesOutstanding(kPoolTag);
    ASSERT_EQ(AllocateStreamBuffers(c), status::kSuccess);
    uint8_t* ring = c->clippedRing;
    ASSERT_EQ(AllocateStreamBuffers(c), status::kSuccess);
    EXPECT_EQ(c->clippedRing, ring);
    EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool + kTransferPoolBytes);
    EXPECT_EQ(c->recordRing[kRecordRingBytes - 1], 0);
    EXPECT_EQ(c->unclippedRing[kPlaybackBlockBytes - 1], 0);
    bus_->unplug(port);
    EXPECT_EQ(poolBytesOutstanding(kPoolTag), before);
}

TEST_F(StreamGeometryTest, AFailedAllocationLeavesNothingAndCanBeTriedAgain)
{
    uint32_t port = plug();
    DeviceContext* c = context(port);
    size_t pool = poolBytesOutstanding(kPoolTag);
    // The pool, then pages and mapping of each of the three rings.
    for (uint32_t skip = 0; skip < 7; ++skip) {
        armFault(FaultKind::Allocation, skip, 1);
        Status s = AllocateStreamBuffers(c);
        disarmFaults();
        EXPECT_EQ(s, status::kInsufficientResources) << skip;
        EXPECT_EQ(poolBytesOutstanding(kPoolTag), pool) << skip;
        EXPECT_EQ(c->transferPool, nullptr) << skip;
        EXPECT_EQ(c->recordRingMdl, nullptr) << skip;
        EXPECT_EQ(c->clippedRingMdl, nullptr) << skip;
        EXPECT_EQ(c->unclippedRingMdl, nullptr) << skip;
    }
    EXPECT_EQ(AllocateStreamBuffers(c), status::kSuccess);
    EXPECT_NE(c->unclippedRing, nullptr);
}

} // namespace
} // namespace orvo::kernel::testing
