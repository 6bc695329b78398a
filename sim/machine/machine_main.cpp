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
//   capture PORT FRAMES       keep what the mixer's OUT side accepts from now
//                             on, at most FRAMES frames
//   played PORT [FILE]        end the capture: its frames, how many sound,
//                             output 1's commonest values, and the samples
//                             (32-bit little-endian, frame by frame) in FILE
//   buffer MS                 the user's buffer time for every mixer, as the
//                             buffer-size program sets it
//   state                     processes, connections, descriptors, devices
//   quit                      (also the end of standard input)
// At start it prints where the kernel clock's tick 0 lies on the steady clock.

#include "classcomp/kernel/device_context.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "sim/machine/captured_port.h"
#include "sim/machine/installation.h"
#include "sim/machine/kernel_session.h"
#include "sim/machine/ascii_text.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_server.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <algorithm>
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
        std::unique_ptr<sim::mixer::Mixer> mixer = std::move(it->second.mixer);
        bus_.unplug(port);
        mixers_.erase(it);
        std::printf("machine: unplugged port %u\n", port);
        if (again)
            plugMixer(std::move(mixer));
    }

    void capture(uint32_t port, uint64_t frames)
    {
        // Ten minutes at 48 kHz; packets carry at least 5 frames at the rates offered.
        constexpr uint64_t kMaxFrames = 48000ull * 600;
        auto it = mixers_.find(port);
        if (it == mixers_.end() || frames == 0 || frames > kMaxFrames) {
            std::printf("machine: no capture on port %u\n", port);
            return;
        }
        it->second.port->startCapture(frames, frames / 4 + 1);
        std::printf("capturing port=%u frames=%llu\n", port, static_cast<unsigned long long>(frames));
    }

    void played(uint32_t port, const std::string& file)
    {
        auto it = mixers_.find(port);
        if (it == mixers_.end()) {
            std::printf("machine: no mixer on port %u\n", port);
            return;
        }
        const sim::mixer::PlaybackRecorder taken = it->second.port->takeCapture();
        const std::span<const uint32_t> samples = taken.samples();
        bool written = false;
        if (!file.empty())
            if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
                written = std::fwrite(samples.data(), 4, samples.size(), f) == samples.size();
                written = std::fclose(f) == 0 && written;
            }
        uint64_t sounding = 0;
        std::map<uint32_t, uint64_t> firstOutput;
        for (uint64_t frame = 0; frame < taken.frames(); ++frame) {
            const auto sample = samples.subspan(frame * taken.channels(), taken.channels());
            sounding += std::any_of(sample.begin(), sample.end(), [](uint32_t v) { return v != 0; });
            ++firstOutput[sample[0]];
        }
        std::vector<std::pair<uint64_t, uint32_t>> commonest;
        for (auto [value, count] : firstOutput)
            commonest.emplace_back(count, value);
        std::sort(commonest.rbegin(), commonest.rend());
        commonest.resize(std::min<size_t>(commonest.size(), 3));
        std::string values;
        for (auto [count, value] : commonest) {
            char text[48];
            std::snprintf(text, sizeof text, " 0x%08X(%llu)", value, static_cast<unsigned long long>(count));
            values += text;
        }
        std::printf("played port=%u frames=%llu channels=%u dropped=%llu sounding=%llu file=%s output1=%s\n", port,
                    static_cast<unsigned long long>(taken.frames()), taken.channels(),
                    static_cast<unsigned long long>(taken.droppedPackets()),
                    static_cast<unsigned long long>(sounding), written ? file.c_str() : "-", values.c_str());
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
    struct Plugged {
        std::unique_ptr<sim::mixer::Mixer> mixer;
        std::unique_ptr<orvo::machine::CapturedPort> port;
    };

    void plugMixer(std::unique_ptr<sim::mixer::Mixer> mixer)
    {
        auto captured =
            std::make_unique<orvo::machine::CapturedPort>(mixer->usb('A'), mixer->profile().playback.channels());
        const uint32_t port = bus_.plug(*captured);
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
        mixers_[port] = Plugged{std::move(mixer), std::move(captured)};
    }

    orvo::machine::MachineServer& server_;
    kplat::usb::HostController bus_;
    std::map<uint32_t, Plugged> mixers_;
    uint32_t nextSerial_ = 1;
};

// What the buffer-size program writes when the user picks a buffer time
// for every mixer: the value under Global and under each mixer's own key
// (the drivers read a mixer's own value first, and their monitors store one
// there at their first push, so Global alone would reach no driver after it).
void setBufferTime(uint32_t milliseconds)
{
    w32::HKEY root = nullptr, global = nullptr;
    w32::LSTATUS e = w32::RegCreateKeyExW(w32::HKEY_CURRENT_USER, u"Software\\Orvo\\UAC2", 0, nullptr,
                                          w32::REG_OPTION_NON_VOLATILE, w32::KEY_READ, nullptr, &root, nullptr);
    if (e == w32::ERROR_SUCCESS)
        e = w32::RegCreateKeyExW(root, u"Global", 0, nullptr, w32::REG_OPTION_NON_VOLATILE, w32::KEY_SET_VALUE,
                                 nullptr, &global, nullptr);
    if (global)
        w32::RegCloseKey(global);
    for (w32::DWORD i = 0; e == w32::ERROR_SUCCESS; ++i) {
        char16_t name[256];
        w32::DWORD length = 256;
        if (w32::RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != w32::ERROR_SUCCESS)
            break;
        w32::HKEY key = nullptr;
        e = w32::RegOpenKeyExW(root, std::u16string(name, length).c_str(), 0, w32::KEY_SET_VALUE, &key);
        if (e != w32::ERROR_SUCCESS)
            break;
        e = w32::RegSetValueExW(key, u"BufferSizeMillisecs", 0, w32::REG_DWORD,
                                reinterpret_cast<const w32::BYTE*>(&milliseconds), sizeof milliseconds);
        w32::RegCloseKey(key);
    }
    if (root)
        w32::RegCloseKey(root);
    if (e == w32::ERROR_SUCCESS)
        std::printf("buffer ms=%u\n", milliseconds);
    else
        std::printf("machine: the buffer time is not set: error %ld\n", static_cast<long>(e));
}

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
        else if (arg == "--plug")
            plugs.push_back(v);
        else if (!orvo::machine::takeInstallationOption(arg, v, library))
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
            // Where the kernel clock's tick 0 lies on the steady clock (100 ns
            // ticks), for clients that time the record's block times.
            const kplat::Ticks origin = orvo::demo::wallTicks() - kplat::kernelClock().now();
            std::printf("machine: kernel clock origin=%llu\n", static_cast<unsigned long long>(origin));
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
                } else if (command == "capture") {
                    uint32_t port = 0;
                    uint64_t frames = 0;
                    words >> port >> frames;
                    machine.capture(port, frames);
                } else if (command == "played") {
                    uint32_t port = 0;
                    std::string file;
                    words >> port >> file;
                    machine.played(port, file);
                } else if (command == "buffer") {
                    uint32_t milliseconds = 0;
                    words >> milliseconds;
                    setBufferTime(milliseconds);
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
