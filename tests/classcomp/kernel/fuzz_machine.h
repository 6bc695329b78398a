#pragma once
// The machine a kernel fuzz target runs on: the virtual clock and a registry
// of its own with the keys the driver writes under. Every value the driver
// writes rewrites a hive file, so the registry lives in memory where the
// machine has a memory file system.

#include "platform/kernel/clock.h"
#include "platform/registry/registry.h"

#include <unistd.h>

#include <filesystem>
#include <string>

namespace orvo::kernel::testing {

inline void setUpFuzzMachine(const char* name)
{
    kplat::kernelClock().useVirtual(0);
    const std::filesystem::path shm("/dev/shm");
    const auto root = (std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path()) /
                      (std::string("orvo-") + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    reg::Registry::setMachineRoot(root);
    reg::Registry& registry = reg::Registry::machine();
    for (const char16_t* path : {u"Software\\ASIO", u"Software\\Classes\\CLSID"}) {
        reg::KeyRef key;
        registry.create(registry.hiveRoot(reg::Hive::LocalMachine), path, false, key);
    }
}

} // namespace orvo::kernel::testing
