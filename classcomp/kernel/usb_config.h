#pragma once
// USB configuration of a device: vendor and speed checks, product and serial
// strings, the streaming interfaces and the selection of the configuration.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

kplat::Status EvtDevicePrepareHardware(kplat::Device& device);
kplat::Status CheckVendorAndConfigure(kplat::Device& device);
// Parses the configuration once, then selects it with its pipes; with
// `reselect` the sample rate is changed between the two selection passes.
kplat::Status ConfigureDevice(kplat::Device& device, bool reselect);

} // namespace orvo::kernel
