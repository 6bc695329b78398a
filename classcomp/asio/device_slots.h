#pragma once
// The process-wide device table: one record per device slot with the
// registered device wrappers and the slot's status monitor.
//
// Lock order: a slot's lock, then (inside requests) a wrapper's lock; no
// path takes a slot lock while holding a wrapper lock.

#include "classcomp/asio/device_wrapper.h"
#include "platform/win32/critical_section.h"
#include "platform/win32/types.h"

#include <atomic>
#include <cstdint>

namespace orvo::asio {

inline constexpr int kDeviceSlots = 100;
inline constexpr uint32_t kMaxWrappersPerSlot = 512;

struct DeviceSlot {
    w32::CRITICAL_SECTION lock{};
    AudioDeviceInterfaceWrapper* wrappers[kMaxWrappersPerSlot] = {};
    uint32_t wrapperCount = 0;                 // under `lock`
    std::atomic<uint32_t> monitorThreadId{0};  // 0: no status monitor runs (or it is told to end)
    w32::HANDLE monitorThread = nullptr;       // under `lock`; null: none
    std::atomic<bool> stopping{false};         // process detach: opens nothing, takes no lock on delete
    std::atomic<uint32_t> heartbeatRestarts{0};
};

// Initialises the slot locks (once per process) and clears the stopping flags.
void InitDeviceSlotTable();
// After process detach, as the library is unloaded: the locks go with it.
void ReleaseDeviceSlotTable();
DeviceSlot* DeviceSlotAt(int slot);

// A wrapper with the slot's device opened (its handle may be invalid; callers
// test it), or null when the slot holds 512 wrappers or memory runs out.
// `registerWrapper` lists a wrapper whose handle opened under its slot; the
// first listed wrapper of a slot starts the slot's status monitor.
AudioDeviceInterfaceWrapper* uCreateOrvoAudioDeviceInterfaceWrapper(int slot, bool registerWrapper);
void DeleteDeviceInterfaceWrapper(int slot, AudioDeviceInterfaceWrapper* wrapper);
// Opens the slot's device into the wrapper's handle (held under its lock).
void OpenSlotDevice(int slot, AudioDeviceInterfaceWrapper& wrapper);
// The monitor's last act for its slot: when the slot still names it (it
// ended on its own), it is no longer named there. A newer monitor's entry
// is left alone.
void EndStatusMonitor(int slot, w32::DWORD self);
// Process detach: closes every registered handle and waits, bounded, for
// the driver's threads.
void ShutdownDeviceSlots();

} // namespace orvo::asio
