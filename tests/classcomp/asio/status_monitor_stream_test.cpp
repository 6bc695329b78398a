// The status monitor beside a streaming host, on the driven clock against the
// simulated mixer through the kernel driver: the restart after the machine
// slept, a buffer time changed in the registry, and a mixer plugged in again.

#include "host_fixture.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/status_monitor.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/device_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

// The block frames the slot's monitor sends, in order.
std::mutex g_framesMutex;
std::vector<uint32_t> g_monitorFrames;

void watchMonitorFrames(w32::DWORD code, const void* input, w32::DWORD length)
{
    if (code != k::kIoCtlMessage || !input || length < 12)
        return;
    uint32_t fields[3];
    std::memcpy(fields, input, sizeof fields);
    if (fields[0] != k::kMsgBlockFrames || fields[1] != k::device_message::kSet)
        return;
    if (w32::GetCurrentThreadId() != DeviceSlotAt(0)->monitorThreadId.load())
        return;
    std::lock_guard lock(g_framesMutex);
    g_monitorFrames.push_back(fields[2]);
}

class MonitorBesideAHost : public orvo::asio::testing::HostFixture {
protected:
    MonitorBesideAHost()
    {
        {
            std::lock_guard lock(g_framesMutex);
            g_monitorFrames.clear();
        }
        w32::watchDeviceIoControl(&watchMonitorFrames);
    }
    ~MonitorBesideAHost() override
    {
        if (host_.driver)
            host_.driver->Release();
        host_.driver = nullptr;
        EXPECT_TRUE(driverThreadsEnded());
        w32::watchDeviceIoControl(nullptr);
    }

    static std::vector<uint32_t> monitorFrames()
    {
        std::lock_guard lock(g_framesMutex);
        return g_monitorFrames;
    }
    // The log of the monitor that ran while the first object streamed (the
    // host's new object has a monitor of its own).
    std::string monitorLog() const { return threadLog(monitor_); }
    k::AsioInfo record() { return k::AsioInfo(context(port_)->asioInfo); }

    // Streaming with `frames` a block, the monitor's first push made.
    void streamAt(uint32_t ms, AsioLong frames)
    {
        enableLog();
        ready(48000, ms);
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.frames, frames);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        monitor_ = DeviceSlotAt(0)->monitorThreadId.load();
        ASSERT_TRUE(waitFor([&] { return count(monitorLog(), "Initializing settings") >= 1; }));
        ASSERT_TRUE(waitForSwitches(20));
    }
    // What a host does with a reset request: a new object, buffers at the
    // size it now gives, streaming again.
    void recover(AsioLong frames)
    {
        ASSERT_TRUE(waitFor([&] { return host_.resetRequests.load() > 0; }));
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(host_.driver->Release(), 0u);
        host_.driver = nullptr;
        again(48000);
        ASSERT_EQ(host_.create(), ASE_OK);
        EXPECT_EQ(host_.frames, frames);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        const size_t before = host_.copy(host_.inputFrames).size();
        ASSERT_TRUE(waitForSwitches(100));
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        const auto seen = host_.copy(host_.inputFrames);
        for (size_t i = before + 1; i < seen.size(); ++i)
            ASSERT_EQ(seen[i], (seen[i - 1] + uint32_t(frames)) & sim::mixer::kSignalFrameMask) << "switch " << i;
    }

    uint32_t monitor_ = 0;
    std::atomic<bool> sleep_{false};
};

// The machine slept: time jumps on by 6 s while nothing runs.
// The monitor, waking, changes the kernel's block settings and back (its
// stream resets), counts one restart, and the host, asked to reset, streams
// again; the user's buffer time is never the passing value.
class SleepRestart : public MonitorBesideAHost, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SleepRestart, ChangesTheKernelsSettingsAndBackAndTheHostStreamsAgain)
{
    const uint32_t ms = GetParam();
    const AsioLong frames = BufferSamplesForMillisecs(int32_t(ms), 48000);
    // Set before the object streams, and the flag outlives it.
    host_.inSwitch = [this](orvo::asio::testing::TestHost&) {
        if (sleep_.exchange(false))
            kplat::kernelClock().stall(kplat::msToTicks(6000));
    };
    streamAt(ms, frames);
    const uint32_t restartsBefore = DeviceSlotAt(0)->heartbeatRestarts.load();
    const size_t pushesBefore = monitorFrames().size();
    sleep_ = true;
    recover(frames);
    EXPECT_EQ(DeviceSlotAt(0)->heartbeatRestarts.load(), restartsBefore + 1);
    const std::string log = monitorLog();
    EXPECT_EQ(count(log, "Restarting streaming, because heartbeat not seen for too long (usually restore from sleep)."),
              1u);
    const std::vector<uint32_t> pushed = monitorFrames();
    ASSERT_GE(pushed.size(), pushesBefore + 2);
    const uint32_t nudge = uint32_t(HeartbeatNudgeMillisecs(int32_t(ms)));
    EXPECT_EQ(pushed[pushesBefore], uint32_t(BufferSamplesForMillisecs(int32_t(nudge), 48000)));
    EXPECT_EQ(pushed[pushesBefore + 1], uint32_t(frames));
    EXPECT_EQ(count(log, "Setting kernel driver buffer millisecs to " + std::to_string(nudge)), 0u);
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(0), ms);
    EXPECT_EQ(record().blockFrames(), uint32_t(frames));
}

INSTANTIATE_TEST_SUITE_P(Millisecs, SleepRestart, ::testing::Values(8u, 48u, 50u));

// Another program stores a new buffer time: the monitor sees it at its next
// pass, the pass after pushes it, and the host, reset, streams at its size.
TEST_F(MonitorBesideAHost, ABufferTimeChangedInTheRegistryReachesTheKernelAndTheHost)
{
    streamAt(8, 96);
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 20));
    recover(288);
    const std::string log = monitorLog();
    EXPECT_EQ(count(log, "Settings changed, re-looping"), 1u);
    EXPECT_EQ(count(log, "Initializing settings to buf msecs 20, sample rate 48000, block samples 288"), 1u);
    EXPECT_EQ(record().blockFrames(), 288u);
    EXPECT_EQ(record().settingsPushed(), 1);
}

// The mixer is unplugged and plugged in again: the monitor's wrapper opens
// the new device on the dead record, the monitor pushes the settings there,
// and the host, reset, streams from the new device.
TEST_F(MonitorBesideAHost, AMixerPluggedInAgainIsOpenedAndStreamsAgain)
{
    streamAt(8, 96);
    k::DeviceContext* old = context(port_);
    unplugMixer();
    ASSERT_NE(plugQx1600(), nullptr);
    ASSERT_NE(context(port_), old);
    recover(96);
    const std::string log = monitorLog();
    // Its wrapper opened the new device on the dead record, and the new
    // device's record carries the monitor's push.
    EXPECT_GE(count(log, "Device handle became invalid; trying to re-open."), 1u);
    EXPECT_EQ(count(log, "Initializing settings to buf msecs 8, sample rate 48000, block samples 96"), 2u);
    EXPECT_EQ(record().settingsPushed(), 1);
    EXPECT_EQ(record().blockFrames(), 96u);
}

} // namespace
