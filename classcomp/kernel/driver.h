#pragma once
// Driver entry and the device lifecycle callbacks of the kernel driver.

#include "classcomp/kernel/device_context.h"
#include "platform/kernel/device.h"

#include <string>

namespace orvo::kernel {

// UUID creation is retried this often before device add gives up.
inline constexpr int kUuidAttempts = 16;
// Release hardware waits this long, in steps, for transfers and the stream
// timer to finish.
inline constexpr uint32_t kReleaseWaitMs = 1000;
inline constexpr uint32_t kReleaseWaitStepMs = 20;
// Timer resolution asked for while working (100 ns units).
inline constexpr uint32_t kTimerResolution = 10'000;

kplat::Status DriverEntry(kplat::DriverObject& driverObject, const std::u16string& registryPath);
void EvtDriverUnload(kplat::Driver& driver);
kplat::Status EvtDriverDeviceAdd(kplat::Driver& driver, kplat::DeviceInit& init);
kplat::Status EvtDeviceD0Entry(kplat::Device& device, kplat::PowerState previous);
kplat::Status EvtDeviceD0Exit(kplat::Device& device, kplat::PowerState target);
kplat::Status EvtDeviceReleaseHardware(kplat::Device& device);
void EvtDeviceDestroy(kplat::Object& device);

} // namespace orvo::kernel
