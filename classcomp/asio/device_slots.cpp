#include "classcomp/asio/device_slots.h"

#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/driver_threads.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/status_monitor.h"
#include "classcomp/asio/usb_device_open.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"

#include <atomic>
#include <new>

namespace orvo::asio {

namespace {

DeviceSlot g_slots[kDeviceSlots];
std::atomic<bool> g_slotLocksReady{false};

constexpr w32::DWORD kMonitorEndWaitMs = 500;
constexpr w32::DWORD kDetachThreadsWaitMs = 1000;
// A thread still ran when detach stopped waiting: what it may still touch
// (the slot locks) is never freed.
std::atomic<bool> g_threadsOutlivedDetach{false};

// Under the slot lock: starts the slot's monitor when none runs. The lock
// is held until the identifier is stored, and the monitor takes it once
// before it first compares its identifier, so it never sees a stale one
// (threads cannot be created suspended here).
void startMonitorLocked(int index, DeviceSlot& slot)
{
    if (slot.monitorThreadId.load() != 0)
        return;
    w32::DWORD id = 0;
    w32::HANDLE thread =
        StartDriverThread(&AsioEventNotificationThread, reinterpret_cast<w32::LPVOID>(intptr_t(index)), &id);
    if (!thread)
        return;
    slot.monitorThread = thread;
    slot.monitorThreadId.store(id);
}

void closeAllHandles(AudioDeviceInterfaceWrapper& wrapper)
{
    CloseWrapperHandle(wrapper);
    for (const auto& r : wrapper.retired)
        w32::CloseHandle(r.handle);
    wrapper.retired.clear();
}

} // namespace

void InitDeviceSlotTable()
{
    uLog(1, "Creating critical section");
    if (!g_slotLocksReady.exchange(true)) {
        for (DeviceSlot& slot : g_slots)
            w32::InitializeCriticalSection(&slot.lock);
    }
    for (DeviceSlot& slot : g_slots)
        slot.stopping.store(false);
}

void ReleaseDeviceSlotTable()
{
    if (g_threadsOutlivedDetach.load() || !g_slotLocksReady.exchange(false))
        return;
    for (DeviceSlot& slot : g_slots)
        w32::DeleteCriticalSection(&slot.lock);
}

DeviceSlot* DeviceSlotAt(int slot)
{
    return slot >= 0 && slot < kDeviceSlots ? &g_slots[slot] : nullptr;
}

void OpenSlotDevice(int index, AudioDeviceInterfaceWrapper& wrapper)
{
    uLog(1, "Attempting to open hardware device of index: %d", index);
    DeviceSlot* slot = DeviceSlotAt(index);
    w32::GUID guid;
    w32::HANDLE handle = w32::INVALID_HANDLE_VALUE;
    if (slot && !slot->stopping.load() && uRegistryTryReadKernelInterfaceGuid(index, guid))
        handle = OpenUsbDevice(guid, false);
    w32::EnterCriticalSection(&wrapper.lock);
    if (wrapper.handle != w32::INVALID_HANDLE_VALUE)
        CloseWrapperHandle(wrapper);
    wrapper.handle = handle;
    wrapper.processIdSent = false;
    w32::LeaveCriticalSection(&wrapper.lock);
}

AudioDeviceInterfaceWrapper* uCreateOrvoAudioDeviceInterfaceWrapper(int index, bool registerWrapper)
{
    uLog(1, "Trying to create device wrapper...");
    DeviceSlot* slot = DeviceSlotAt(index);
    if (!slot)
        return nullptr;
    w32::EnterCriticalSection(&slot->lock);
    if (slot->wrapperCount >= kMaxWrappersPerSlot) {
        uLog(1, "... and failed to create device wrapper, because we've consumed %d devices out of %d",
             int(slot->wrapperCount), int(kMaxWrappersPerSlot));
        w32::LeaveCriticalSection(&slot->lock);
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) AudioDeviceInterfaceWrapper;
    if (!wrapper) {
        w32::LeaveCriticalSection(&slot->lock);
        return nullptr;
    }
    // The lock first: opening runs under it like every later re-open.
    w32::InitializeCriticalSection(&wrapper->lock);
    OpenSlotDevice(index, *wrapper);
    const bool opened = wrapper->handle != w32::INVALID_HANDLE_VALUE;
    if (!opened)
        uLog(1, "... and failed to create device wrapper; returned INVALID_HANDLE_VALUE");
    else
        uLog(1, "... OK: opened handle %08x, %d of %d\n\n", w32::handleValue(wrapper->handle),
             int(slot->wrapperCount), int(kMaxWrappersPerSlot));
    if (opened && registerWrapper) {
        slot->wrappers[slot->wrapperCount++] = wrapper;
        startMonitorLocked(index, *slot);
    }
    w32::LeaveCriticalSection(&slot->lock);
    return wrapper;
}

void DeleteDeviceInterfaceWrapper(int index, AudioDeviceInterfaceWrapper* wrapper)
{
    uLog(1, "Deleting device wrapper");
    DeviceSlot* slot = DeviceSlotAt(index);
    if (!slot)
        return;
    const bool locked = !slot->stopping.load();
    if (locked)
        w32::EnterCriticalSection(&slot->lock);
    w32::HANDLE endingMonitor = nullptr;
    w32::DWORD endingId = 0;
    if (wrapper) {
        wrapper->closing.store(true);
        for (uint32_t i = 0; i < slot->wrapperCount; ++i) {
            if (slot->wrappers[i] != wrapper)
                continue;
            for (uint32_t j = i + 1; j < slot->wrapperCount; ++j)
                slot->wrappers[j - 1] = slot->wrappers[j];
            slot->wrappers[--slot->wrapperCount] = nullptr;
            if (slot->wrapperCount == 0 && slot->monitorThread) {
                // Told to end: its identifier no longer matches, which it
                // sees within one of its 10 ms waits.
                endingMonitor = slot->monitorThread;
                endingId = slot->monitorThreadId.load();
                slot->monitorThread = nullptr;
                slot->monitorThreadId.store(0);
            }
            break;
        }
        // Leases must be gone by now: nobody holds pointers into this
        // wrapper's mappings once its owner deletes it.
        closeAllHandles(*wrapper);
        w32::DeleteCriticalSection(&wrapper->lock);
        delete wrapper;
    }
    if (locked)
        w32::LeaveCriticalSection(&slot->lock);
    // The monitor's own clean-up takes the slot lock, so it is waited for
    // only once the lock is left. One that outlasts the wait runs on and
    // ends by itself; the library does not say it may unload meanwhile.
    if (endingMonitor) {
        if (endingId != w32::GetCurrentThreadId() &&
            w32::WaitForSingleObject(endingMonitor, kMonitorEndWaitMs) != w32::WAIT_OBJECT_0)
            uLog(1, "Failed to wait for status monitor thread (0x%x) to close.", w32::handleValue(endingMonitor));
        w32::CloseHandle(endingMonitor);
    }
}

void EndStatusMonitor(int index, w32::DWORD self)
{
    DeviceSlot* slot = DeviceSlotAt(index);
    if (!slot)
        return;
    const bool locked = g_slotLocksReady.load();
    if (locked)
        w32::EnterCriticalSection(&slot->lock);
    if (slot->monitorThreadId.load() == self) {
        // Ended on its own (the slot stopping): nobody else closes it.
        w32::CloseHandle(slot->monitorThread);
        slot->monitorThread = nullptr;
        slot->monitorThreadId.store(0);
    }
    if (locked)
        w32::LeaveCriticalSection(&slot->lock);
}

void ShutdownDeviceSlots()
{
    bool monitored[kDeviceSlots];
    for (int i = 0; i < kDeviceSlots; ++i) {
        DeviceSlot& slot = g_slots[i];
        slot.stopping.store(true);
        monitored[i] = slot.monitorThreadId.load() != 0;
        for (uint32_t w = 0; w < slot.wrapperCount; ++w)
            if (slot.wrappers[w])
                CloseWrapperHandle(*slot.wrappers[w]);
    }
    // Every monitor and statistics thread sees its slot stopping within one
    // of its 10 ms waits and ends. The library may be unmapped when this
    // returns, so it waits for them, but never without a bound: the loader
    // is held meanwhile.
    bool any = false;
    for (int i = 0; i < kDeviceSlots; ++i) {
        if (monitored[i]) {
            uLog(1, "Waiting for monitor status thread on index %d...", i);
            any = true;
        }
    }
    if (!WaitForDriverThreads(kDetachThreadsWaitMs)) {
        uLog(1, "(Error waiting: %08x)", unsigned(w32::WAIT_TIMEOUT));
        g_threadsOutlivedDetach.store(true);
    }
    if (any)
        uLog(1, "...done waiting.");
}

} // namespace orvo::asio
