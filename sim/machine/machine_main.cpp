// orvo-machine: the simulated machine in a process of its own. It holds what
// the machine's kernel holds (the kernel stand-in with the driver loaded,
// the USB bus with simulated mixers, the object manager, the registry root)
// and serves client processes on a Unix socket (machine_server.h).
//
// orvo-machine --socket PATH [--registry-root DIR] [--drive-root DIR] [--plug MODEL]
// Commands on standard input, one a line:
//   plug [qx1600|zr90alpha]   plug a mixer in (prints its port and interface)
//   unplug PORT               unplug it
//   replug PORT               unplug it and plug the same mixer in again
//   state                     processes, connections, descriptors, devices
//   quit                      (also the end of standard input)

#include "classcomp/kernel/device_context.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "sim/machine/installation.h"
#include "sim/machine/ascii_text.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_server.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

using orvo::machine::narrowAscii;

size_t userMappings(const orvo::kernel::DeviceContext& c)
{
    size_t n = 0;
    for (const kplat::Mdl* m : {c.recordRingMdl, c.statusRecordMdl, c.clippedRingMdl, c.unclippedRingMdl})
        if (m)
            n += kplat::mdlMappingCount(*m);
    return n;
}

class Machine {
public:
    explicit Machine(orvo::machine::MachineServer& server) : server_(server) {}

    void plug(const std::string& model)
    {
        auto mixer = std::make_unique<sim::mixer::Mixer>(
            model == "zr90alpha" ? sim::mixer::profiles::zr90Alpha() : sim::mixer::profiles::qx1600(),
            nextSerial_++);
        plugMixer(std::move(mixer));
    }

    void unplug(uint32_t port, bool again)
    {
        auto it = mixers_.find(port);
        if (it == mixers_.end()) {
            std::printf("machine: no mixer on port %u\n", port);
            return;
        }
        std::unique_ptr<sim::mixer::Mixer> mixer = std::move(it->second);
        mixers_.erase(it);
        bus_.unplug(port);
        std::printf("machine: unplugged port %u\n", port);
        if (again)
            plugMixer(std::move(mixer));
    }

    void state()
    {
        const orvo::machine::DescriptorCount fds = orvo::machine::countDescriptors();
        std::printf("state processes=%zu connections=%zu fds=%zu memfds=%zu devices=%zu\n", server_.processCount(),
                    server_.connectionCount(), fds.all, fds.memfds, mixers_.size());
        for (const auto& entry : mixers_) {
            const uint32_t port = entry.first;
            kplat::Device* device = bus_.device(port);
            if (!device)
                continue;
            const orvo::kernel::DeviceContext& c = *orvo::kernel::GetDeviceContext(*device);
            uint32_t clients, owner;
            {
                kplat::SpinLockGuard guard(*c.streamLock);
                clients = c.clientCount;
                owner = c.ownerProcessId;
            }
            std::printf("device port=%u slot=%u clients=%u owner=%u mappings=%zu\n", port, c.slotIndex, clients,
                        owner, userMappings(c));
        }
        std::fflush(stdout);
    }

    void unplugAll()
    {
        while (!mixers_.empty())
            unplug(mixers_.begin()->first, false);
    }

private:
    void plugMixer(std::unique_ptr<sim::mixer::Mixer> mixer)
    {
        const uint32_t port = bus_.plug(mixer->usb('A'));
        kplat::Device* device = bus_.device(port);
        if (!device) {
            std::printf("machine: the mixer on port %u did not start: 0x%08X\n", port,
                        static_cast<uint32_t>(kplat::pnp::lastStartStatus()));
            bus_.unplug(port);
            return;
        }
        const orvo::kernel::DeviceContext& c = *orvo::kernel::GetDeviceContext(*device);
        std::u16string guid;
        kplat::guidToString(c.interfaceGuid, guid);
        std::printf("plugged port=%u model=%s slot=%u interface=%s\n", port, mixer->profile().key.c_str(),
                    c.slotIndex, narrowAscii(guid).c_str());
        mixers_[port] = std::move(mixer);
    }

    orvo::machine::MachineServer& server_;
    kplat::usb::HostController bus_;
    std::map<uint32_t, std::unique_ptr<sim::mixer::Mixer>> mixers_;
    uint32_t nextSerial_ = 1;
};

int usage()
{
    std::fprintf(stderr, "usage: orvo-machine --socket PATH [--registry-root DIR] [--drive-root DIR] "
                         "[--library FILE] [--plug MODEL]...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string socketPath;
    std::vector<std::string> plugs;
#ifdef ORVO_ASIO_DRIVER_LIBRARY
    std::string library = ORVO_ASIO_DRIVER_LIBRARY;
#else
    std::string library;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* v = argv[++i];
        if (arg == "--socket")
            socketPath = v;
        else if (arg == "--registry-root")
            reg::Registry::setMachineRoot(v);
        else if (arg == "--drive-root")
            w32::setDriveRoot(v);
        else if (arg == "--library")
            library = v;
        else if (arg == "--plug")
            plugs.push_back(v);
        else
            return usage();
    }
    if (socketPath.empty())
        return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    orvo::machine::MachineServer server;
    if (!orvo::machine::boot(true))
        return 1;
    if (!library.empty() && !orvo::machine::installAsioDriver(library))
        std::fprintf(stderr, "machine: the ASIO driver library '%s' is not installed\n", library.c_str());
    orvo::machine::installControlPanel();
    int result = 0;
    {
        Machine machine(server);
        for (const std::string& model : plugs)
            machine.plug(model);
        if (!server.listen(socketPath)) {
            result = 1;
        } else {
            std::printf("machine: ready on %s\n", socketPath.c_str());
            std::string line;
            while (std::getline(std::cin, line)) {
                std::istringstream words(line);
                std::string command;
                words >> command;
                if (command == "plug") {
                    std::string model = "qx1600";
                    words >> model;
                    machine.plug(model);
                } else if (command == "unplug" || command == "replug") {
                    uint32_t port = 0;
                    words >> port;
                    machine.unplug(port, command == "replug");
                } else if (command == "state") {
                    machine.state();
                } else if (command == "quit") {
                    break;
                } else if (!command.empty()) {
                    std::printf("machine: unknown command '%s'\n", command.c_str());
                }
            }
        }
        server.stop();
        machine.unplugAll();
    }
    orvo::machine::shutdown();
    std::puts("machine: shut down");
    return result;
}
