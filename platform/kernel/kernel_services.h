#pragma once
// Kernel services: time, UUIDs, timer resolution, GUID text and delays.

#include "platform/kernel/clock.h"
#include "platform/kernel/guid.h"
#include "platform/kernel/status.h"

#include <cstdint>
#include <string>

namespace kplat {

// Interrupt time: 100 ns units since boot, from the kernel clock.
Ticks queryInterruptTime();
// System tick count and the length of one tick in 100 ns units (15.625 ms,
// as on the real platform at its default resolution).
uint64_t queryTickCount();
uint32_t queryTimeIncrement();
constexpr uint32_t kTimeIncrement = 156'250;

// A random UUID (passive level). Fails with status::kRetry when the fault is
// armed.
Status createUuid(Guid& out);

// Requests (set = true) or releases (set = false) a system timer resolution
// in 100 ns units (below dispatch level); returns the resolution now in
// force. The stand-in keeps the balance of requests so that tests can check
// every request is released.
uint32_t setTimerResolution(uint32_t desired, bool set);
int32_t timerResolutionBalance();
void resetTimerResolution();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case (passive level;
// allocates: may fail).
Status guidToString(const Guid& guid, std::u16string& out);

// A kernel timer that a thread waits on (passive level).
class KernelTimer {
public:
    // Negative due times are relative (100 ns units), positive ones absolute.
    void set(int64_t dueTime);
    // Blocks until the timer is due; returns status::kSuccess.
    Status wait();

private:
    Ticks due_ = 0;
};

// Blocks the calling thread for a relative interval (passive level).
void delayExecution(Ticks interval);

} // namespace kplat
