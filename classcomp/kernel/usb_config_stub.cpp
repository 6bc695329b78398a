// Preparing the hardware before the USB configuration exists: the device
// gets its USB target and descriptor, nothing is checked or selected yet.

#include "classcomp/kernel/usb_config.h"

namespace orvo::kernel {

using namespace kplat;

Status EvtDevicePrepareHardware(Device& device) { return CheckVendorAndConfigure(device); }

Status CheckVendorAndConfigure(Device& device)
{
    DeviceContext* context = GetDeviceContext(device);
    if (!context->usbDevice) {
        Status s = usb::TargetDevice::create(device, ObjectAttributes{}, &context->usbDevice);
        if (failed(s))
            return s;
    }
    usb::DeviceDescriptor descriptor;
    context->usbDevice->retrieveDeviceDescriptor(descriptor);
    static_assert(sizeof context->deviceDescriptor == sizeof descriptor.raw);
    for (size_t i = 0; i < descriptor.raw.size(); ++i)
        context->deviceDescriptor[i] = descriptor.raw[i];
    return status::kSuccess;
}

Status ConfigureDevice(Device& device, bool reselect)
{
    (void)device;
    (void)reselect;
    return status::kSuccess;
}

} // namespace orvo::kernel
