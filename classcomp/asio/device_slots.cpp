#include "classcomp/asio/device_slots.h"

#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/status_monitor.h"
#include "classcomp/asio/usb_device_open.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"

#include <atomic>
#include <new>
#include <vector>

namespace orvo::asio {

namespace {

DeviceSlot g_slots[kDeviceSlots];
std::atomic<bool> g_slotLocksReady{false};

constexpr w32::DWORD kMonitorEndWaitMs = 500;
constexpr w32::DWORD kDetachMonitorWaitMs = 100;

bool hasThread(w32::HANDLE h)
{
    return h != nullptr && h != w32::INVALID_HANDLE_VALUE;
}

// Monitors told to end that had not ended when their slot stopped waiting.
// The library's code must not be unloaded under them: process detach waits
// for each before it returns.
w32::CRITICAL_SECTION g_endingLock;
std::vector<w32::HANDLE> g_ending;

void initEndingList()
{
    w32::InitializeCriticalSection(&g_endingLock);
}

// Keeps the handle of a monitor that is still ending; drops those that ended.
void rememberEnding(w32::HANDLE thread)
{
    w32::EnterCriticalSection(&g_endingLock);
    std::erase_if(g_ending, [](w32::HANDLE h) {
        if (w32::WaitForSingleObject(h, 0) != w32::WAIT_OBJECT_0)
            return false;
        w32::CloseHandle(h);
        return true;
    });
    g_ending.push_back(thread);
    w32::LeaveCriticalSection(&g_endingLock);
}

void waitForEndingMonitors()
{
    w32::EnterCriticalSection(&g_endingLock);
    for (w32::HANDLE h : g_ending) {
        w32::WaitForSingleObject(h, w32::INFINITE);
        w32::CloseHandle(h);
    }
    g_ending.clear();
    w32::LeaveCriticalSection(&g_endingLock);
}

// Under the slot lock: starts the slot's monitor when none runs.
void startMonitorLocked(int index, DeviceSlot& slot)
{
    if (slot.monitorThreadId.load() != 0)
        return;
    w32::HANDLE wake = w32::CreateEventW(nullptr, w32::FALSE, w32::FALSE, nullptr);
    if (!wake)
        return;
    w32::DWORD id = 0;
    w32::HANDLE thread = w32::CreateThread(nullptr, 0, &AsioEventNotificationThread,
                                           reinterpret_cast<w32::LPVOID>(intptr_t(index)), 0, &id);
    if (!thread) {
        w32::CloseHandle(wake);
        return;
    }
    slot.monitorWake = wake;
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
        initEndingList();
    }
    for (DeviceSlot& slot : g_slots)
        slot.stopping.store(false);
}

void ReleaseDeviceSlotTable()
{
    if (!g_slotLocksReady.exchange(false))
        return;
    for (DeviceSlot& slot : g_slots)
        w32::DeleteCriticalSection(&slot.lock);
    w32::DeleteCriticalSection(&g_endingLock);
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
    if (wrapper) {
        wrapper->closing.store(true);
        for (uint32_t i = 0; i < slot->wrapperCount; ++i) {
            if (slot->wrappers[i] != wrapper)
                continue;
            for (uint32_t j = i + 1; j < slot->wrapperCount; ++j)
                slot->wrappers[j - 1] = slot->wrappers[j];
            slot->wrappers[--slot->wrapperCount] = nullptr;
            if (slot->wrapperCount == 0 && hasThread(slot->monitorThread)) {
                const w32::HANDLE thread = slot->monitorThread;
                const w32::HANDLE wake = slot->monitorWake;
                const w32::DWORD id = slot->monitorThreadId.load();
                slot->monitorThread = w32::INVALID_HANDLE_VALUE;
                slot->monitorWake = nullptr;
                slot->monitorThreadId.store(0);
                w32::SetEvent(wake);
                bool ended = false;
                if (id != w32::GetCurrentThreadId()) {
                    ended = w32::WaitForSingleObject(thread, kMonitorEndWaitMs) == w32::WAIT_OBJECT_0;
                    if (!ended)
                        uLog(1, "Failed to wait for status monitor thread (0x%x) to close.", w32::handleValue(thread));
                }
                // Set before it is closed: the monitor looks at its
                // identifier again whenever its wait ends or fails.
                w32::CloseHandle(wake);
                if (ended)
                    w32::CloseHandle(thread);
                else
                    rememberEnding(thread);
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
}

void ShutdownDeviceSlots()
{
    bool wasStopping[kDeviceSlots];
    for (int i = 0; i < kDeviceSlots; ++i) {
        DeviceSlot& slot = g_slots[i];
        wasStopping[i] = slot.stopping.exchange(true);
        for (uint32_t w = 0; w < slot.wrapperCount; ++w)
            if (slot.wrappers[w])
                CloseWrapperHandle(*slot.wrappers[w]);
    }
    for (int i = 0; i < kDeviceSlots; ++i) {
        DeviceSlot& slot = g_slots[i];
        if (wasStopping[i] || !hasThread(slot.monitorThread))
            continue;
        slot.stopping.store(true);
        if (slot.monitorWake)
            w32::SetEvent(slot.monitorWake);
        uLog(1, "Waiting for monitor status thread on index %d...", i);
        const w32::DWORD result = w32::WaitForSingleObject(slot.monitorThread, kDetachMonitorWaitMs);
        if (result != 0)
            uLog(1, "(Error waiting: %08x)", result);
        uLog(1, "...done waiting.");
        rememberEnding(slot.monitorThread);
        slot.monitorThread = w32::INVALID_HANDLE_VALUE;
    }
    // The library may be unloaded when this returns: no monitor may still
    // be running its code. Each ends as soon as it sees its slot stopping.
    if (g_slotLocksReady.load())
        waitForEndingMonitors();
    for (DeviceSlot& slot : g_slots) {
        if (!hasThread(slot.monitorThread) && slot.monitorWake) {
            w32::CloseHandle(slot.monitorWake);
            slot.monitorWake = nullptr;
            slot.monitorThreadId.store(0);
        }
    }
}

} // namespace orvo::asio
