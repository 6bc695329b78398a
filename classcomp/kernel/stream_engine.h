#pragma once
// The isochronous streaming engine.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

// Under the stream lock. Mirrors the flag into the status record; switching
// off wakes every registered client.
void SetStreamingEnabled(DeviceContext* context, bool on);
void StreamTimerFunc(kplat::Timer& timer);

} // namespace orvo::kernel
