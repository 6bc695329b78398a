#pragma once
// The kernel clock as the user-mode clock, so that one clock drives a whole
// simulated machine: install it with w32::setClock and user-mode tick counts,
// sleeps and timed waits follow the kernel clock. On a virtual kernel clock a
// sleeping user thread moves time on itself, running what falls due (timers,
// USB frames, completions) as the kernel would.

#include "platform/kernel/clock.h"
#include "platform/win32/clock.h"

namespace kplat {

class KernelTimeUserClock final : public w32::Clock {
public:
    uint32_t tickCount() override { return static_cast<uint32_t>(kernelClock().now() / kTicksPerMs); }
    void sleep(uint32_t ms) override { kernelClock().waitUntil(kernelClock().now() + msToTicks(ms)); }
};

} // namespace kplat
