#pragma once
// Audio class requests to the clock entity, and the interrupt pipe.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

// Every request waits at most this long.
inline constexpr kplat::Ticks kControlTimeout = 5 * kplat::kTicksPerSecond;
inline constexpr size_t kRangeReplyBytes = 182; // the count and 15 subranges
inline constexpr uint32_t kHighestListedRate = 192000;
inline constexpr size_t kInterruptMessageBytes = 6;

// Context of the interrupt work item.
struct WorkItemContext {
    DeviceContext* context;
};

bool GetClockValid(DeviceContext* context);
void ReadSampleRate(DeviceContext* context);
bool SetSampleRate(DeviceContext* context, uint32_t rate);
void ReadSampleRateRanges(DeviceContext* context);

// Continuous-reader completion of the interrupt pipe (dispatch level).
void OnInterruptData(kplat::usb::Pipe& pipe, const uint8_t* buffer, size_t length, void* context);
void InterruptWorkItem(kplat::WorkItem& item);

} // namespace orvo::kernel
