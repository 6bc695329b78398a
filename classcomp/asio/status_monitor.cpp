#include "classcomp/asio/status_monitor.h"

#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_slots.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"

#include <cstdint>

namespace orvo::asio {

w32::DWORD AsioEventNotificationThread(w32::LPVOID parameter)
{
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    DeviceSlot* slot = DeviceSlotAt(index);
    if (!slot)
        return 0;
    uLog(2, "Begin ASIO event notification thread");
    // The creator stores this thread's identifier under the slot lock before
    // it leaves it; taking the lock once makes sure the store is seen.
    w32::EnterCriticalSection(&slot->lock);
    const w32::DWORD self = w32::GetCurrentThreadId();
    const w32::HANDLE wake = slot->monitorThreadId.load() == self ? slot->monitorWake : nullptr;
    w32::LeaveCriticalSection(&slot->lock);
    // Whoever ends this monitor clears the identifier before it sets the
    // event, so a wake (or a failed wait on a handle closed meanwhile) is
    // always followed by a fresh look at the identifier.
    while (wake && slot->monitorThreadId.load() == self && !slot->stopping.load())
        w32::WaitForSingleObject(wake, w32::INFINITE);
    uLog(2, "End ASIO event notification thread");
    return 0;
}

} // namespace orvo::asio
