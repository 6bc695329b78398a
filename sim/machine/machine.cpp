#include "sim/machine/machine.h"

#include "classcomp/kernel/driver.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/registry/registry.h"

#include <cstdio>

namespace orvo::machine {

bool boot(bool realTime)
{
    reg::Registry& registry = reg::Registry::machine();
    registry.reboot();
    for (const char16_t* path : {u"Software\\ASIO", u"Software\\Classes\\CLSID"}) {
        reg::KeyRef key;
        registry.create(registry.hiveRoot(reg::Hive::LocalMachine), path, false, key);
    }
    if (realTime)
        kplat::kernelClock().useRealTime();
    const kplat::Status s = kplat::pnp::loadDriver(&orvo::kernel::DriverEntry, u"OrvoUAC2");
    if (kplat::failed(s)) {
        std::fprintf(stderr, "kernel driver did not load: 0x%08X\n", static_cast<uint32_t>(s));
        return false;
    }
    return true;
}

void shutdown() { kplat::pnp::unloadDriver(); }

} // namespace orvo::machine
