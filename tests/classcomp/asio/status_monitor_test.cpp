// The slot's status monitor against the simulated mixer through the kernel
// driver: how it starts and ends with the slot's wrappers, what it pushes to
// the kernel driver, and how it restarts streaming after the machine slept.

#include "device_fixture.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/status_monitor.h"
#include "classcomp/asio/transport.h"
#include "platform/win32/synch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

class StatusMonitor : public orvo::asio::testing::DeviceFixture {
protected:
    std::string monitorLog(uint32_t threadId) { return threadLog(threadId); }
};

TEST_F(StatusMonitor, TheFirstPassPushesTheUsersBufferTime)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    enableLog();
    AudioDeviceInterfaceWrapper* probe = openUnlisted();
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, probe, 48000), 0);
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 8));
    ASSERT_EQ(PushKernelBufferMillisecs(0, probe, 20), 0);
    keep(0, uOrvoAudioOpen(0));
    const uint32_t monitor = DeviceSlotAt(0)->monitorThreadId.load();
    ASSERT_TRUE(waitFor([&] { return count(monitorLog(monitor), "Initializing settings") != 0; }));
    EXPECT_EQ(count(monitorLog(monitor), "Initializing settings to buf msecs 8, sample rate 48000, block samples 96"),
              1u);
    MappingLease record = GetAsioInfo(0, probe);
    ASSERT_TRUE(record);
    EXPECT_EQ(k::AsioInfo(record.get()).blockFrames(), 96u);
    EXPECT_EQ(k::AsioInfo(record.get()).settingsPushed(), 1);
}

// A restart after the machine slept must change what the kernel driver
// runs with, or its stream is not reset: 3 ms more, except where that gives
// the same block frames and buffer mode (48 and 49 ms, where 51 and 52 are
// cut to 48 ms steps), which take 3 ms less.
TEST(HeartbeatNudge, AlwaysChangesTheKernelsBlockSettings)
{
    for (int32_t ms = 1; ms <= 50; ++ms) {
        const int32_t nudge = HeartbeatNudgeMillisecs(ms);
        EXPECT_GE(nudge, 1);
        EXPECT_LE(nudge, 50);
        for (int32_t rate : {44100, 48000, 96000, 192000}) {
            const bool sameFrames = BufferSamplesForMillisecs(nudge, rate) == BufferSamplesForMillisecs(ms, rate);
            const bool sameMode = BufferModeForMillisecs(nudge) == BufferModeForMillisecs(ms);
            EXPECT_FALSE(sameFrames && sameMode) << ms << " ms nudged to " << nudge << " at " << rate;
        }
    }
    const struct {
        int32_t ms, nudge;
    } pairs[] = {{8, 11}, {1, 4}, {20, 23}, {47, 50}, {48, 45}, {49, 46}, {50, 47}};
    for (const auto& p : pairs)
        EXPECT_EQ(HeartbeatNudgeMillisecs(p.ms), p.nudge) << p.ms;
}

// The library may not be unloaded while a monitor still runs its code, even
// when no object is left.
TEST_F(StatusMonitor, TheLibraryCannotUnloadWhileAMonitorRuns)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = uOrvoAudioOpen(0);
    ASSERT_NE(DeviceSlotAt(0)->monitorThreadId.load(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE);
    uOrvoAudioClose(0, w);
    ASSERT_TRUE(driverThreadsEnded());
    EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
}

// The last release waits for the monitor without holding the slot lock
// that the monitor's clean-up takes: on a real clock it returns as soon as
// the monitor has seen that it is to end, not after the 500 ms limit.
TEST_F(StatusMonitor, TheLastReleaseReturnsAsSoonAsTheMonitorHasEnded)
{
    ASSERT_NE(plugQx1600(), nullptr);
    enableLog();
    w32::RealClock real;
    w32::Clock* previous = w32::setClock(&real);
    AudioDeviceInterfaceWrapper* w = uOrvoAudioOpen(0);
    const uint32_t monitor = DeviceSlotAt(0)->monitorThreadId.load();
    ASSERT_NE(monitor, 0u);
    // The monitor has its own device handle and is in its passes.
    ASSERT_TRUE(waitFor([&] { return count(monitorLog(monitor), "Initializing settings") == 1; }));
    std::string log;
    auto took = std::chrono::milliseconds::max();
    log = logOf([&] {
        const auto start = std::chrono::steady_clock::now();
        uOrvoAudioClose(0, w);
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    });
    // Within the wait's own limit: a release that waited inside the lock
    // ran into it every time.
    EXPECT_LT(took.count(), 500);
    EXPECT_EQ(count(log, "Failed to wait for status monitor thread"), 0u);
    EXPECT_EQ(count(monitorLog(monitor), "End ASIO event notification thread"), 1u);
    EXPECT_FALSE(DriverThreadsRunning());
    w32::setClock(previous);
}

// A monitor that ends late (its release stopped waiting for it) must not
// end the monitor that a new registration started meanwhile: it clears the
// slot's entry only while the entry is its own.
TEST_F(StatusMonitor, AQuickReleaseAndRecreateKeepsTheNewMonitor)
{
    ASSERT_NE(plugQx1600(), nullptr);
    DeviceSlot* slot = DeviceSlotAt(0);
    AudioDeviceInterfaceWrapper* first = uOrvoAudioOpen(0);
    const uint32_t old = slot->monitorThreadId.load();
    ASSERT_NE(old, 0u);
    w32::HANDLE oldThread = nullptr;
    ASSERT_TRUE(w32::DuplicateHandle(w32::GetCurrentProcess(), slot->monitorThread, w32::GetCurrentProcess(),
                                     &oldThread, 0, w32::FALSE, w32::DUPLICATE_SAME_ACCESS));
    // Holding the slot lock keeps the old monitor from finishing its
    // clean-up until the new one runs (the lock is recursive).
    w32::EnterCriticalSection(&slot->lock);
    uOrvoAudioClose(0, first);
    AudioDeviceInterfaceWrapper* second = keep(0, uOrvoAudioOpen(0));
    const uint32_t fresh = slot->monitorThreadId.load();
    w32::LeaveCriticalSection(&slot->lock);
    ASSERT_NE(fresh, 0u);
    EXPECT_NE(fresh, old);
    ASSERT_NE(second, nullptr);
    // The old monitor ends...
    EXPECT_TRUE(waitFor([&] { return w32::WaitForSingleObject(oldThread, 0) == w32::WAIT_OBJECT_0; }));
    w32::CloseHandle(oldThread);
    // ...and the slot still names the new one, which still runs.
    EXPECT_EQ(slot->monitorThreadId.load(), fresh);
    ASSERT_NE(slot->monitorThread, nullptr);
    EXPECT_EQ(w32::WaitForSingleObject(slot->monitorThread, 0), w32::WAIT_TIMEOUT);
}

} // namespace
