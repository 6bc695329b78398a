// The streaming thread against the kernel driver on the driven clock: the
// priority negotiation and the deadline in real-time mode, slips when the
// thread wakes late, and a kernel count that goes back.

#include "host_fixture.h"

#include "classcomp/asio/device_api.h"
#include "classcomp/asio/streaming_thread.h"
#include "classcomp/asio/transport.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/device_io.h"
#include "platform/win32/version.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

// The priority requests of the process, with the priority of the thread
// that sent each.
struct PriorityRequest {
    uint32_t code;
    uint32_t timeCritical, save; // the negotiation's input
    int threadPriority;
    bool operator==(const PriorityRequest&) const = default;
};
std::mutex g_requestsMutex;
std::vector<PriorityRequest> g_requests;

void watchPriorityRequests(w32::DWORD code, const void* input, w32::DWORD length)
{
    if (code != k::kIoCtlNegotiateThreadPriority && code != k::kIoCtlElevateThreadPriority)
        return;
    PriorityRequest r{code, 0, 0, w32::GetThreadPriority(w32::GetCurrentThread())};
    if (code == k::kIoCtlNegotiateThreadPriority && input && length >= 8) {
        std::memcpy(&r.timeCritical, input, 4);
        std::memcpy(&r.save, static_cast<const uint8_t*>(input) + 4, 4);
    }
    std::lock_guard lock(g_requestsMutex);
    g_requests.push_back(r);
}

class StreamingThreadTest : public orvo::asio::testing::HostFixture {
protected:
    StreamingThreadTest()
    {
        {
            std::lock_guard lock(g_requestsMutex);
            g_requests.clear();
        }
        w32::watchDeviceIoControl(&watchPriorityRequests);
    }
    ~StreamingThreadTest() override
    {
        // The object's thread ends with it, before the watcher goes.
        if (host_.driver)
            host_.driver->Release();
        host_.driver = nullptr;
        w32::watchDeviceIoControl(nullptr);
        w32::setVersion(6, 1, 7601);
    }
    static std::vector<PriorityRequest> requests()
    {
        std::lock_guard lock(g_requestsMutex);
        return g_requests;
    }
    k::AsioInfo record() { return k::AsioInfo(context(port_)->asioInfo); }
    // The deadline slot this client writes: the one the kernel gave it.
    size_t deadlineSlot()
    {
        for (uint32_t i = 0; i < context(port_)->clientCount; ++i)
            return context(port_)->clients[i].deadlineSlot;
        return 0;
    }
    // Starts streaming at the driver's size for `ms` at `rate`.
    void stream(uint32_t rate, uint32_t ms)
    {
        ready(rate, ms);
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
    }
};

struct RealTimeCase {
    const char* name;
    uint32_t rate, ms, frames, addend;
    bool realTimeEnabled;
    uint8_t majorVersion;
};

class StreamingRealTime : public StreamingThreadTest, public ::testing::WithParamInterface<RealTimeCase> {};

TEST_P(StreamingRealTime, NegotiatesOnceAndWritesTheDeadlineOnlyInRealTimeMode)
{
    const RealTimeCase& c = GetParam();
    w32::setVersion(c.majorVersion, 0, 6000);
    ASSERT_NE(plugQx1600(), nullptr);
    ASSERT_TRUE(RegistrySetDriverUserValueInt(0, kIsRealTimeEnabledValue, c.realTimeEnabled ? 1 : 0));
    const bool realTime = c.realTimeEnabled && c.majorVersion >= 6;

    // At every switch after the first: the deadline in the client's slot and
    // the time of the block before.
    std::vector<std::pair<uint64_t, uint64_t>> seen; // (deadline, previous block time)
    uint64_t previousBlockTime = 0;
    host_.inSwitch = [&](orvo::asio::testing::TestHost&) {
        k::AsioInfo info = record();
        if (previousBlockTime && seen.size() < 200)
            seen.push_back({info.clientDeadline(deadlineSlot()), previousBlockTime});
        previousBlockTime = info.lastBlockTime();
    };
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, c.ms));
    again(c.rate);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.frames, AsioLong(c.frames));
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(300));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    ASSERT_GE(seen.size(), 100u);

    const auto sent = requests();
    if (!realTime) {
        EXPECT_TRUE(sent.empty());
        for (const auto& [deadline, blockTime] : seen)
            ASSERT_EQ(deadline, 0u);
        return;
    }
    // Twenty passes, normal and time-critical by turns, the last one saving
    // the token, then the elevation: sent once for the stream.
    std::vector<PriorityRequest> expected;
    for (uint32_t pass = 0; pass < 20; ++pass)
        expected.push_back({k::kIoCtlNegotiateThreadPriority, pass % 2, pass == 19 ? 1u : 0u, pass % 2 ? 15 : 0});
    expected.push_back({k::kIoCtlElevateThreadPriority, 0, 0, 15});
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(record().priorityTokenKnown(), 1u);
    // Each wait's deadline: the last block's time and one and a half blocks.
    for (const auto& [deadline, blockTime] : seen)
        ASSERT_EQ(deadline, blockTime + c.addend);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StreamingRealTime,
    ::testing::Values(RealTimeCase{"RealTime96At48k", 48000, 8, 96, 30000, true, 6},
                      // 216 / 44 whole milliseconds: the same addend as 144 frames.
                      RealTimeCase{"RealTime132At44k1", 44100, 9, 132, 40000, true, 6},
                      RealTimeCase{"RealTimeSwitchedOff", 48000, 8, 96, 30000, false, 6},
                      RealTimeCase{"OlderSystem", 48000, 8, 96, 30000, true, 5}),
    [](const auto& info) { return std::string(info.param.name); });

// The thread wakes `ahead` blocks behind the kernel: it switches the next
// block once and jumps to the kernel's count; what it skipped beyond two
// blocks counts as slips.
TEST_F(StreamingThreadTest, AWakeBehindTheKernelSwitchesOnceAndJumpsToItsCount)
{
    const struct {
        uint64_t ahead;
        uint32_t slips;
    } cases[] = {{3, 0}, {5, 2}};
    // Set before the stream starts; each case arms it through the atomics.
    std::atomic<uint64_t> ahead{0};
    std::atomic<uint32_t> slipsBefore{0};
    std::atomic<size_t> armedAt{0};
    host_.inSwitch = [&](orvo::asio::testing::TestHost& h) {
        const uint64_t n = ahead.load();
        if (n == 0)
            return;
        // This thread alone writes the list: its size needs no lock here.
        armedAt = h.inputFrames.size() - 1;
        // On the streaming thread, which moves the machine's time: the
        // kernel completes `n` blocks before the thread looks again.
        k::AsioInfo info = record();
        slipsBefore = info.slipsTotal() + info.pendingSlips();
        const uint64_t target = info.asioBlockCount() + n;
        while (info.asioBlockCount() < target)
            kplat::kernelClock().advance(kplat::msToTicks(1));
        ahead = 0;
    };
    stream(48000, 8);
    const uint32_t b = uint32_t(host_.frames);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ahead);
        ASSERT_TRUE(waitForSwitches(20));
        ahead = c.ahead;
        ASSERT_TRUE(waitFor([&] { return ahead.load() == 0; }));
        ASSERT_TRUE(waitForSwitches(20));
        const auto frames = host_.copy(host_.inputFrames);
        const size_t first = armedAt.load();
        ASSERT_GE(frames.size(), first + 3);
        // The switch that armed it, then one switch (the ring's half holds
        // the block `ahead` on, of the same parity), then the next new block.
        const uint32_t at = frames[first];
        const uint32_t mask = sim::mixer::kSignalFrameMask;
        EXPECT_EQ(frames[first + 1], (at + uint32_t(c.ahead) * b) & mask);
        EXPECT_EQ(frames[first + 2], (at + uint32_t(c.ahead + 1) * b) & mask);
        k::AsioInfo info = record();
        EXPECT_EQ(info.slipsTotal() + info.pendingSlips() - slipsBefore, c.slips);
    }
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.inputErrors.load(), 0u);
    EXPECT_EQ(host_.resetRequests.load(), 0);
}

// A stream restart (here: another client changes the output delay) takes the
// kernel's count back to 0; the thread follows it without a switch, a slip
// or a reset, and streaming goes on.
TEST_F(StreamingThreadTest, AKernelCountThatGoesBackIsFollowed)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    const uint32_t mode = BufferModeForMillisecs(8) == 0 ? 1 : 0;
    // The kernel's count at each switch, once watched; the restart is made
    // inside one switch, on the thread that moves the machine's time.
    std::mutex m;
    std::vector<uint64_t> counts;
    std::atomic<bool> watching{false}, restart{false}, restarted{false};
    host_.inSwitch = [&](orvo::asio::testing::TestHost&) {
        if (!watching.load())
            return;
        k::AsioInfo info = record();
        if (restart.exchange(false)) {
            const uint64_t at = info.asioBlockCount();
            DeviceMessageValue(0, other, k::kMsgBufferMode, k::device_message::kSet, mode, nullptr);
            for (int ms = 0; ms < 1000 && info.asioBlockCount() >= at; ++ms)
                kplat::kernelClock().advance(kplat::msToTicks(1));
            restarted = info.asioBlockCount() < at;
        }
        std::lock_guard lock(m);
        if (counts.size() < 4000)
            counts.push_back(info.asioBlockCount());
    };
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 8));
    again(48000);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(100));
    const uint64_t before = record().asioBlockCount();
    ASSERT_GT(before, 50u);
    watching = true;
    ASSERT_TRUE(waitForSwitches(10));
    restart = true;
    ASSERT_TRUE(waitFor([&] { return !restart.load(); }));
    ASSERT_TRUE(waitForSwitches(100));
    EXPECT_TRUE(restarted.load());
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    std::vector<uint64_t> seen;
    {
        std::lock_guard lock(m);
        seen = counts;
    }
    // Every switch is one block on from the one before, but at the restart,
    // where the count starts again low.
    size_t restarts = 0;
    for (size_t i = 1; i < seen.size(); ++i) {
        if (seen[i] < seen[i - 1]) {
            ++restarts;
            EXPECT_LE(seen[i], 3u);
        } else {
            EXPECT_EQ(seen[i], seen[i - 1] + 1) << "switch " << i;
        }
    }
    EXPECT_EQ(restarts, 1u);
    EXPECT_EQ(record().slipsTotal(), 0u);
    EXPECT_EQ(host_.resetRequests.load(), 0);
    EXPECT_EQ(host_.inputErrors.load(), 0u);
}

} // namespace

// A host that stops just after a stream restart (the status monitor's
// restart after a sleep asks it to reset) has no block left to play out: its
// last blocks went with the old stream. The thread lets the kernel go at
// once instead of waiting for the new count to reach the old one.
TEST_F(StreamingThreadTest, AStopRightAfterARestartLetsTheKernelGoAtOnce)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    const uint32_t mode = BufferModeForMillisecs(8) == 0 ? 1 : 0;
    std::atomic<bool> restart{false}, restarted{false}, done{false};
    host_.inSwitch = [&](orvo::asio::testing::TestHost& h) {
        if (!restart.exchange(false))
            return;
        k::AsioInfo info = record();
        const uint64_t at = info.asioBlockCount();
        DeviceMessageValue(0, other, k::kMsgBufferMode, k::device_message::kSet, mode, nullptr);
        for (int ms = 0; ms < 1000 && info.asioBlockCount() >= at; ++ms)
            kplat::kernelClock().advance(kplat::msToTicks(1));
        restarted = info.asioBlockCount() < at;
        h.driver->stop();
        done = true;
    };
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 8));
    again(48000);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(300));
    restart = true;
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    EXPECT_TRUE(restarted.load());
    ASSERT_TRUE(waitFor([&] { return record().startedClientCount() == 0; }));
    // The new stream moved on a few blocks at most, not the old stream's 300.
    EXPECT_LT(record().asioBlockCount(), 20u);
}
