// orvo-asio-host: an ASIO host program. It loads the driver named on the
// command line from the shared registry and drives it; with --machine it
// first boots the simulated machine in this process (the kernel driver
// runs in the host's process here) and plugs a mixer in.
//
//   orvo-asio-host [--driver NAME] [--seconds S] [--buffers] [--signal silence|ramp|sine|level|count] [--level L]
//                  [--record FILE] [--no-time-info] [--timing]
//                  [--machine [--model qx1600|zr90alpha] [--library FILE]]
//                  [--registry-root DIR] [--drive-root DIR]

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "sim/asiohost/asio_host.h"
#include "sim/machine/installation.h"
#include "sim/machine/machine.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace orvo::asiohost;

int usage()
{
    std::fprintf(stderr, "usage: orvo-asio-host [--driver NAME] [--seconds S] [--buffers] "
                         "[--signal silence|ramp|sine|level|count] [--level L] [--record FILE] [--no-time-info] [--timing] "
                         "[--machine [--model qx1600|zr90alpha] [--library FILE]] "
                         "[--registry-root DIR] [--drive-root DIR]\n");
    return 2;
}

// The first driver listed under Software\ASIO, for a machine with one mixer.
std::u16string firstDriver()
{
    w32::HKEY key = nullptr;
    if (w32::RegOpenKeyExW(w32::HKEY_LOCAL_MACHINE, u"Software\\ASIO", 0, w32::KEY_READ, &key))
        return {};
    char16_t name[256];
    w32::DWORD length = 256;
    const bool found = w32::RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
    w32::RegCloseKey(key);
    return found ? std::u16string(name, length) : std::u16string();
}

// The machine's view after the run: slips the kernel driver counted, and
// whether what the host played arrived at the mixer's OUT side.
void reportArrival(kplat::usb::HostController& bus, uint32_t port, const sim::mixer::UsbAudioDevice& device,
                   const HostOptions& options)
{
    if (kplat::Device* d = bus.device(port)) {
        if (orvo::kernel::DeviceContext* c = orvo::kernel::GetDeviceContext(*d); c && c->asioInfo) {
            orvo::kernel::AsioInfo info(c->asioInfo);
            std::printf("machine: slips %u, transfers read %u (failed %u), written %u (failed %u), measured rate %u\n",
                        info.slipsTotal() + info.pendingSlips(), info.readsCompleted(), info.readsFailed(),
                        info.writesCompleted(), info.writesFailed(), info.measuredSampleRate());
        }
    }
    const sim::mixer::PlaybackRecorder& played = device.playback();
    if (options.signal == HostOptions::Signal::Silence || played.frames() == 0)
        return;
    // The signal repeats: every nonzero frame of output 1 must be one of its samples.
    uint64_t sounding = 0, matching = 0;
    for (uint64_t f = 0; f < played.frames(); ++f) {
        const auto sample = static_cast<int32_t>(played.sample(f, 0));
        if (sample == 0)
            continue;
        ++sounding;
        if (options.signal == HostOptions::Signal::Count) {
            matching += sample > 0 && sample < (1 << 24) && (sample & 0xFF) == 0;
            continue;
        }
        for (uint64_t phase = 0; phase < 256; ++phase)
            if (AsioHost::signalSample(options, 0, phase) == sample) {
                ++matching;
                break;
            }
    }
    std::printf("machine: the mixer's output 1 received %llu frames, %llu of them sounding, %llu of those the host's "
                "signal: %s\n",
                static_cast<unsigned long long>(played.frames()), static_cast<unsigned long long>(sounding),
                static_cast<unsigned long long>(matching),
                sounding > 0 && matching == sounding ? "the played signal arrived" : "NOT the played signal");
}

// The statistics block of the device's status record (the one the driver's
// statistics log takes), once a second while the host streams: this
// second's transfers and slips, and the values as they stand. Nothing here
// clears the block, so the counts are differences. Ends when the returned
// thread is destroyed.
std::jthread printLiveStatistics(kplat::usb::HostController& bus, uint32_t port)
{
    kplat::Device* device = bus.device(port);
    orvo::kernel::DeviceContext* context = device ? orvo::kernel::GetDeviceContext(*device) : nullptr;
    if (!context || !context->asioInfo)
        return {};
    return std::jthread([record = context->asioInfo](std::stop_token stop) {
        const orvo::kernel::AsioInfo info(record);
        auto counts = [&] {
            return std::array<uint32_t, 9>{info.readsCompleted(), info.readsFailed(), info.readZeroLengthPackets(),
                                           info.writesCompleted(), info.writesFailed(), info.writeBadPackets(),
                                           info.slipsTotal(), info.readsWithoutBlock(), info.lateBlocks()};
        };
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        for (auto last = counts();;) {
            wake.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
            if (stop.stop_requested())
                return;
            const auto now = counts();
            uint32_t d[9];
            for (size_t i = 0; i < now.size(); ++i)
                d[i] = now[i] - last[i];
            last = now;
            std::printf("statistics: reads %u/%u/%u, writes %u/%u/%u, user slips %u, kern under/over %u/%u, "
                        "hosts streaming %u, est. sample rate %u\n",
                        d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], info.streamingClientCountCopy(),
                        info.measuredSampleRate());
            std::fflush(stdout);
        }
    });
}

} // namespace

int main(int argc, char** argv)
{
    HostOptions options;
    bool machine = false;
    std::string model = "qx1600";
#ifdef ORVO_ASIO_DRIVER_LIBRARY
    std::string library = ORVO_ASIO_DRIVER_LIBRARY;
#else
    std::string library;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--buffers")
            options.createBuffers = true;
        else if (arg == "--no-time-info")
            options.supportsTimeInfo = false;
        else if (arg == "--timing")
            options.timing = true;
        else if (arg == "--machine")
            machine = true;
        else if (!(v = value()))
            return usage();
        else if (arg == "--driver")
            options.driverName = reg::utf16(v);
        else if (arg == "--seconds")
            options.milliseconds = static_cast<uint32_t>(std::strtod(v, nullptr) * 1000);
        else if (arg == "--signal" && std::strcmp(v, "silence") == 0)
            options.signal = HostOptions::Signal::Silence;
        else if (arg == "--signal" && std::strcmp(v, "ramp") == 0)
            options.signal = HostOptions::Signal::Ramp;
        else if (arg == "--signal" && std::strcmp(v, "sine") == 0)
            options.signal = HostOptions::Signal::Sine;
        else if (arg == "--signal" && std::strcmp(v, "level") == 0)
            options.signal = HostOptions::Signal::Level;
        else if (arg == "--signal" && std::strcmp(v, "count") == 0)
            options.signal = HostOptions::Signal::Count;
        else if (arg == "--level")
            options.level = std::strtod(v, nullptr);
        else if (arg == "--record")
            options.recordPath = v;
        else if (arg == "--model")
            model = v;
        else if (!orvo::machine::takeInstallationOption(arg, v, library))
            return usage();
    }

    std::unique_ptr<kplat::usb::HostController> bus;
    std::unique_ptr<sim::mixer::Mixer> mixer;
    uint32_t port = 0;
    if (machine) {
        if (!orvo::machine::boot(true))
            return 1;
        if (!orvo::machine::installAsioDriver(library) || !orvo::machine::installControlPanel()) {
            std::fprintf(stderr, "cannot install the ASIO driver library '%s'\n", library.c_str());
            return 1;
        }
        bus = std::make_unique<kplat::usb::HostController>();
        mixer = std::make_unique<sim::mixer::Mixer>(
            model == "zr90alpha" ? sim::mixer::profiles::zr90Alpha() : sim::mixer::profiles::qx1600(), 1);
        port = bus->plug(mixer->usb('A'));
        if (!bus->device(port)) {
            std::fprintf(stderr, "the mixer did not start\n");
            bus->unplug(port);
            return 1;
        }
        std::printf("machine: mixer %s plugged in\n", mixer->profile().key.c_str());
        // What reaches the mixer's OUT side, for the report at the end.
        const uint32_t seconds = options.milliseconds / 1000 + 2;
        mixer->usb('A').playback().enable(mixer->profile().playback.channels(),
                                          uint64_t(mixer->profile().highestRate()) * seconds, 8000ull * seconds);
    }
    if (options.driverName.empty())
        options.driverName = firstDriver();
    if (options.driverName.empty()) {
        std::fprintf(stderr, "no ASIO driver is registered\n");
        return 1;
    }

    HostReport report(stdout);
    int result = 0;
    {
        AsioHost host(options, report);
        if (!host.load() || !host.init() || !host.startStreaming()) {
            result = 1;
        } else {
            // Joined as the run ends, before the driver goes.
            const std::jthread statistics = machine ? printLiveStatistics(*bus, port) : std::jthread();
            if (!host.run())
                result = 1;
        }
        host.release();
    }
    if (machine)
        reportArrival(*bus, port, mixer->usb('A'), options);
    if (machine) {
        bus->unplug(port); // the bus polls the mixer until it is unplugged
        mixer.reset();
        bus.reset();
        orvo::machine::shutdown();
    }
    return result;
}
