// No registry entries are written yet.

#include "classcomp/kernel/asio_registry.h"

namespace orvo::kernel {

void WriteAsioRegistryEntries(DeviceContext* context) { (void)context; }

void DeleteAsioRegistryEntries(DeviceContext* context) { (void)context; }

} // namespace orvo::kernel
