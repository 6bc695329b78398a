// Boots the simulated machine: the USB bus, the kernel driver loaded, one
// mixer plugged in, streamed to a client and out again; then mixers on MIDI,
// found by discovery.

#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/device_slots.h"
#include "classcomp/kernel/driver.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"
#include "sim/machine/demo_client.h"
#include "sim/machine/demo_firmware.h"
#include "sim/machine/demo_midi.h"
#include "sim/machine/kernel_session.h"
#include "sim/machine/ascii_text.h"
#include "sim/machine/machine.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using orvo::machine::narrowAscii;

std::string guidText(const kplat::Guid& guid)
{
    std::u16string text;
    kplat::guidToString(guid, text);
    return narrowAscii(text);
}

} // namespace

int main()
{
    using namespace kplat;
    if (!orvo::machine::boot(true))
        return 1;
    std::puts("machine: USB bus up, kernel driver OrvoUAC2 loaded");

    int result = 0;
    {
        usb::HostController bus;
        sim::mixer::Mixer mixer(sim::mixer::profiles::qx1600(), 1);
        uint32_t port = bus.plug(mixer.usb('A'));
        Device* device = bus.device(port);
        if (!device) {
            std::fprintf(stderr, "mixer on port %u did not start: 0x%08X\n", port,
                         static_cast<uint32_t>(pnp::lastStartStatus()));
            result = 1;
        } else {
            const orvo::kernel::DeviceContext* context = orvo::kernel::GetDeviceContext(*device);
            uint32_t slot = context->slotIndex;
            kplat::Guid interfaceGuid = context->interfaceGuid;
            std::printf("mixer %s plugged into port %u: device added\n", mixer.profile().key.c_str(), port);
            std::printf("  slot              %u\n", slot);
            std::printf("  class identifier  %s\n", guidText(context->classId).c_str());
            std::printf("  interface GUID    %s\n", guidText(interfaceGuid).c_str());
            const auto links = io::deviceInterfaces(interfaceGuid);
            for (const auto& link : links)
                std::printf("  device interface  %s\n", narrowAscii(link).c_str());
            if (links.empty() || orvo::demo::runKernelClient(orvo::demo::win32Guid(interfaceGuid), 3) != 0)
                result = 1;
            bus.unplug(port);
            std::printf("mixer unplugged from port %u: device removed (slot %u free: %s, interfaces left: %zu)\n",
                        port, slot, orvo::kernel::GetDriverTables().slotInUse[slot] ? "no" : "yes",
                        io::deviceInterfaces(interfaceGuid).size());
        }
    }
    orvo::machine::shutdown();
    if (orvo::demo::runMidiDiscovery() != 0)
        result = 1;
    if (result == 0)
        result = runFirmwareUpdateDemo();
    std::puts("machine: shut down");
    return result;
}
