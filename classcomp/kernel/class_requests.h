#pragma once
// Audio class requests to the clock entity, and the interrupt pipe.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

bool GetClockValid(DeviceContext* context);
void ReadSampleRate(DeviceContext* context);
bool SetSampleRate(DeviceContext* context, uint32_t rate);
void ReadSampleRateRanges(DeviceContext* context);

} // namespace orvo::kernel
