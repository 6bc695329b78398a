// The clock entity is not asked yet: the rate stays unknown (0).

#include "classcomp/kernel/class_requests.h"

namespace orvo::kernel {

bool GetClockValid(DeviceContext* context)
{
    (void)context;
    return false;
}

void ReadSampleRate(DeviceContext* context) { (void)context; }

bool SetSampleRate(DeviceContext* context, uint32_t rate)
{
    (void)context;
    (void)rate;
    return false;
}

void ReadSampleRateRanges(DeviceContext* context) { (void)context; }

} // namespace orvo::kernel
