#pragma once
// The I/O manager and the PnP manager of the kernel side.
//
// PnP: a bus reports a device; the loaded driver's device-add callback and
// the device's lifecycle callbacks run in the framework's order on the
// reporting thread.
//
// I/O: device interfaces are registered by class GUID under a symbolic link
// and can be enumerated and opened while their device is started. The
// user-mode layer calls openDeviceInterface / deviceIoControl / closeFile for
// CreateFile / DeviceIoControl / CloseHandle, passing the calling process
// and thread. Device I/O control is METHOD_BUFFERED: the input is copied into
// one system buffer that also receives the output.

#include "platform/kernel/device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kplat {

namespace pnp {

using DriverEntry = Status (*)(DriverObject& driverObject, const std::u16string& registryPath);

// Loads the driver that binds to every device the buses report (calls its
// entry point). One driver at a time.
Status loadDriver(DriverEntry entry, const std::u16string& serviceName);
// Unloads it; every device it drove must be gone.
void unloadDriver();
bool driverLoaded();

using NodeId = uint32_t;

// Bus side: a device appeared. Returns its node, or 0 when the device did not
// start (lastStartStatus() says why; the stack has been torn down again).
NodeId deviceArrived(std::shared_ptr<BusDevice> bus);
Status lastStartStatus();
// Bus side: the device is gone (surprise removal). Its queues are purged
// before D0 exit.
void surpriseRemoved(NodeId node);
// Power: leave (D0 exit to D3) or re-enter (D0 entry from D3) the working
// state. Power-managed queues stop before D0 exit and start again, presenting
// what they held, after D0 entry.
Status setLowPower(NodeId node, bool lowPower);

Device* deviceOf(NodeId node);
// Devices not yet destroyed (removed ones wait for their last file to close).
size_t liveDeviceCount();

} // namespace pnp

namespace io {

class OpenFile;
using FileRef = std::shared_ptr<OpenFile>;

// Enabled interfaces of a class, in the order they were registered.
std::vector<std::u16string> deviceInterfaces(const Guid& interfaceClass);
Status openDeviceInterface(const std::u16string& symbolicLink, const Caller& caller, FileRef& out);
Status deviceIoControl(const FileRef& file, uint32_t ioControlCode, const void* input, uint32_t inputLength,
                       void* output, uint32_t outputLength, uint32_t* bytesReturned, const Caller& caller);
// Cleanup and close; the file is invalid afterwards.
Status closeFile(const FileRef& file);

// --- for the framework ------------------------------------------------------
std::u16string registerDeviceInterface(Device& device, const Guid& interfaceClass, const char16_t* referenceString);
void unregisterDeviceInterface(const std::u16string& symbolicLink);
void setDeviceInterfacesEnabled(Device& device, bool enabled);

} // namespace io

// The I/O control code layout.
constexpr uint32_t controlCode(uint32_t deviceType, uint32_t function, uint32_t method, uint32_t access)
{
    return deviceType << 16 | access << 14 | function << 2 | method;
}
constexpr uint32_t kMethodBuffered = 0;
constexpr uint32_t kFileAnyAccess = 0;

} // namespace kplat
