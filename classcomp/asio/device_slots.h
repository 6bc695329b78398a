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
    w32::HANDLE monitorThread = nullptr;       // under `lock`; null or INVALID_HANDLE_VALUE: none
    w32::HANDLE monitorWake = nullptr;         // wakes the monitor early when it is told to end
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
// Process detach: closes every registered handle and waits briefly for the monitors.
void ShutdownDeviceSlots();

} // namespace orvo::asio
