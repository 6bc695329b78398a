#include "classcomp/asio/status_monitor.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/win32/clock.h"
#include "platform/win32/files.h"
#include "platform/win32/handles.h"
#include "platform/win32/process.h"
#include "platform/win32/synch.h"

#include <atomic>
#include <cstdint>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;

constexpr uint32_t kShortWaitMs = 10;
constexpr int kShortWaits = 10;
constexpr uint32_t kRecordMissingPauseMs = 100;
constexpr uint32_t kAfterPushMs = 10;
constexpr int32_t kMaxBufferMillisecs = 50;
constexpr int32_t kNudgeMillisecs = 3;

// The first monitor of the process to get there applies the flag files.
std::atomic<bool> g_flagFilesApplied{false};

struct Settings {
    uint32_t milliseconds = 0;
    uint32_t rate = 0;
    int32_t frames = 0;
    bool operator==(const Settings&) const = default;
};

class StatusMonitor {
public:
    StatusMonitor(int index, DeviceSlot& slot) : index_(index), slot_(slot) {}
    void run();

private:
    bool toldToEnd() const { return slot_.monitorThreadId.load() != self_ || slot_.stopping.load(); }
    // Sleeps `ms` in 10 ms steps; false as soon as the monitor is told to end.
    bool pause(uint32_t ms);
    void heartbeat();
    void pass();
    // False when the pass ends here (the next pass pushes or retries).
    bool settings();
    void applyFlagFiles(uint8_t* record);
    void disconnect();
    Settings current();

    const int index_;
    DeviceSlot& slot_;
    w32::DWORD self_ = 0;
    AudioDeviceInterfaceWrapper* wrapper_ = nullptr;
    uint32_t heartbeat_ = 0;
    Settings last_;
};

bool StatusMonitor::pause(uint32_t ms)
{
    for (uint32_t slept = 0; slept < ms; slept += kShortWaitMs) {
        if (toldToEnd())
            return false;
        w32::Sleep(ms - slept < kShortWaitMs ? ms - slept : kShortWaitMs);
    }
    return !toldToEnd();
}

Settings StatusMonitor::current()
{
    Settings s;
    s.milliseconds = RegistryReadBufferSizeMillisecs(index_);
    s.rate = uOrvoAudioGetSampleRate(index_, wrapper_);
    s.frames = BufferSamplesForMillisecs(int32_t(s.milliseconds), int32_t(s.rate));
    return s;
}

void StatusMonitor::run()
{
    uLog(2, "Begin ASIO event notification thread");
    last_ = current();
    heartbeat_ = w32::GetTickCount();
    // The creator stores this thread's identifier under the slot lock before
    // it leaves it; taking the lock once makes sure the store is seen.
    w32::EnterCriticalSection(&slot_.lock);
    self_ = w32::GetCurrentThreadId();
    w32::LeaveCriticalSection(&slot_.lock);
    while (!toldToEnd())
        pass();
    if (wrapper_)
        uOrvoAudioClose(index_, wrapper_);
    wrapper_ = nullptr;
    EndStatusMonitor(index_, self_);
    uLog(2, "End ASIO event notification thread");
}

// The machine slept when this thread has not run for more than 5 s: the
// kernel driver's block settings change and change back, which resets its
// stream, and the streaming threads ask their hosts for a reset.
void StatusMonitor::heartbeat()
{
    const uint32_t now = w32::GetTickCount();
    if (now - heartbeat_ <= kHeartbeatLimitMs) {
        heartbeat_ = now;
        return;
    }
    w32::Sleep(kShortWaitMs);
    const int32_t m = int32_t(RegistryReadBufferSizeMillisecs(index_));
    // Pushed only: the user's stored buffer time is never the nudge.
    PushKernelBufferMillisecs(index_, wrapper_, HeartbeatNudgeMillisecs(m));
    PushKernelBufferMillisecs(index_, wrapper_, m);
    slot_.heartbeatRestarts.fetch_add(1);
    heartbeat_ = w32::GetTickCount();
    uLog(2, "Restarting streaming, because heartbeat not seen for too long (usually restore from sleep).");
}

void StatusMonitor::pass()
{
    heartbeat();
    const bool paced = wrapper_ && GetAsioInfo(index_, wrapper_, false);
    if (!pause(paced ? kMonitorPaceMs : kShortWaitMs * kShortWaits))
        return;
    if (!wrapper_) {
        wrapper_ = uCreateOrvoAudioDeviceInterfaceWrapper(index_, false);
        uLog(2, wrapper_ ? "Created device handle for driver status monitor"
                         : "Failed to create device handle for driver status monitor");
    }
    {
        MappingLease record = GetAsioInfo(index_, wrapper_);
        if (!record)
            uLog(1, "asioInfo is null!");
        if (!record || k::AsioInfo(record.get()).recordDead() != 0) {
            record.release();
            disconnect();
            uLogRaw(2, ".");
            return;
        }
    }
    if (settings()) {
        MappingLease record = GetAsioInfo(index_, wrapper_);
        if (record)
            applyFlagFiles(record.get());
    }
    uLogRaw(2, ".");
}

bool StatusMonitor::settings()
{
    const Settings now = current();
    {
        MappingLease record = GetAsioInfo(index_, wrapper_);
        if (!record) {
            pause(kRecordMissingPauseMs);
            uLogRaw(1, "P!");
            return false;
        }
        k::AsioInfo info(record.get());
        if (info.settingsPushed() != 0 || !wrapper_) {
            if (now == last_)
                return true;
            // Another process's monitor pushed other settings, or ours
            // changed: the next pass (here or there) pushes again. They are
            // this monitor's from now on, whoever pushes them; a monitor
            // that kept its old ones would clear the byte after every push
            // of another process's monitor, for ever.
            info.setSettingsPushed(0);
            last_ = now;
            record.release();
            w32::Sleep(kAfterPushMs);
            uLog(2, "Settings changed, re-looping");
            return false;
        }
    }
    const bool pushed = uOrvoAudioSetKernelBufferMillisecs(index_, wrapper_, int32_t(now.milliseconds)) == 0;
    w32::Sleep(kAfterPushMs);
    MappingLease record = GetAsioInfo(index_, wrapper_);
    if (!record)
        return false;
    k::AsioInfo(record.get()).setSettingsPushed(pushed ? 1 : 0);
    last_ = now;
    uLog(1, "Initializing settings to buf msecs %d, sample rate %d, block samples %d", int(now.milliseconds),
         int(now.rate), int(now.frames));
    return true;
}

void StatusMonitor::applyFlagFiles(uint8_t* record)
{
    if (g_flagFilesApplied.exchange(true))
        return;
    k::AsioInfo info(record);
    info.setKernelLoopback(w32::PathFileExistsW(kKernelLoopbackFlagW) ? 1 : 0);
    info.setEraseBuffers(w32::PathFileExistsW(kEraseBuffersFlagW) ? 1 : 0);
    info.setClientTimingSwitch(w32::PathFileExistsW(kAsioNotifyTimingFlagW) ? 1 : 0);
    if (w32::PathFileExistsW(kAutoLaunchLogFlagW))
        w32::ShellExecuteA(0, "", kMonitorBatchFile, ThreadLogPath(), kMonitorBatchFolder, w32::SW_SHOWNORMAL);
    if (!w32::PathFileExistsW(kEnableDebugLogFlagW))
        SetThreadLogLevel(0);
}

void StatusMonitor::disconnect()
{
    uLog(1, "Detected driver disconnect, closing monitor thread device handle");
    uOrvoAudioClose(index_, wrapper_);
    wrapper_ = nullptr;
}

} // namespace

int32_t HeartbeatNudgeMillisecs(int32_t milliseconds)
{
    return milliseconds + kNudgeMillisecs <= kMaxBufferMillisecs ? milliseconds + kNudgeMillisecs
                                                                 : milliseconds - kNudgeMillisecs;
}

w32::DWORD AsioEventNotificationThread(w32::LPVOID parameter)
{
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    if (DeviceSlot* slot = DeviceSlotAt(index))
        StatusMonitor(index, *slot).run();
    return 0;
}

} // namespace orvo::asio
