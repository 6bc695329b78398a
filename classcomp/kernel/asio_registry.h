#pragma once
// The registry entries through which audio applications find the ASIO driver
// of a device.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

void WriteAsioRegistryEntries(DeviceContext* context);
void DeleteAsioRegistryEntries(DeviceContext* context);

} // namespace orvo::kernel
