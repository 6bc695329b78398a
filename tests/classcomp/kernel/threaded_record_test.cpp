// The status record as a client sees it while the kernel writes it: a value
// must never be seen half old, half new.
#include "classcomp/kernel/asio_info.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace orvo::kernel::testing {
namespace {

// Values that differ in every byte, so a value stored byte by byte is seen torn.
constexpr uint32_t kRateA = 0x01010101, kRateB = 0xFEFEFEFE;
constexpr uint32_t kFramesA = 0x00FF00FF, kFramesB = 0xFF00FF00;
constexpr uint64_t kHeartbeatStep = 0x0101010101ULL;

alignas(4096) std::array<uint8_t, asio_info::kSize> gRecord{};

TEST(ThreadedRecordTest, AConcurrentReaderNeverSeesATornField)
{
    AsioInfo kernel(gRecord.data());
    AsioInfo client(gRecord.data());
    kernel.setSampleRate(kRateA);
    kernel.setBlockFrames(kFramesA);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t n = 1; !done.load(std::memory_order_relaxed); ++n) {
            kernel.setAsioBlockCount(n);
            kernel.setLastBlockTime(n * kHeartbeatStep);
            kernel.setReadsCompleted(n);
            kernel.setSampleRate(n & 1 ? kRateB : kRateA);
            kernel.setBlockFrames(n & 1 ? kFramesB : kFramesA);
        }
    });
    uint64_t lastCount = 0, lastHeartbeat = 0;
    uint32_t lastCounter = 0;
    uint64_t reads = 0, backwards = 0, torn = 0;
    // The reads begin once the writer runs: an idle machine can finish them
    // all before its thread is scheduled.
    while (client.asioBlockCount() == 0)
        std::this_thread::yield();
    // As many reads as the fault took to show in the field.
    for (; reads < 2'000'000; ++reads) {
        const uint64_t count = client.asioBlockCount();
        const uint64_t heartbeat = client.lastBlockTime();
        const uint32_t counter = client.readsCompleted();
        const uint32_t rate = client.sampleRate();
        const uint32_t frames = client.blockFrames();
        backwards += (count < lastCount) + (heartbeat < lastHeartbeat) + (counter < lastCounter);
        torn += (rate != kRateA && rate != kRateB) + (frames != kFramesA && frames != kFramesB) +
                (heartbeat % kHeartbeatStep != 0);
        lastCount = count;
        lastHeartbeat = heartbeat;
        lastCounter = counter;
    }
    done.store(true);
    writer.join();
    EXPECT_EQ(backwards, 0u) << "in " << reads << " reads";
    EXPECT_EQ(torn, 0u) << "in " << reads << " reads";
    EXPECT_GT(client.asioBlockCount(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
