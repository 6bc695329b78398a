#include "classcomp/asio/status_monitor.h"

#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_slots.h"
#include "platform/win32/clock.h"
#include "platform/win32/handles.h"

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
    w32::LeaveCriticalSection(&slot->lock);
    while (slot->monitorThreadId.load() == self && !slot->stopping.load())
        w32::Sleep(kMonitorLookMs);
    EndStatusMonitor(index, self);
    uLog(2, "End ASIO event notification thread");
    return 0;
}

} // namespace orvo::asio
