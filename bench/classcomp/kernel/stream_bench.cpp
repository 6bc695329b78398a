// Streams simulated minutes through the kernel driver's isochronous engine
// against the simulated mixer on the virtual clock, and prints the CPU time
// per simulated second and the ratio to real time.

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/driver.h"
#include "classcomp/kernel/stream_buffers.h"
#include "classcomp/kernel/stream_engine.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_objects.h"
#include "platform/kernel/usb_bus.h"
#include "sim/mixer/profile.h"
#include "sim/mixer/usb_audio_device.h"

#include <ctime>
#include <cstdio>
#include <vector>

namespace {

using namespace kplat;
using namespace orvo::kernel;

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Result {
    double cpuPerSecondMs;
    double realTimeRatio;
    uint64_t blocks;
    uint64_t expectedBlocks;
    uint32_t readsFailed;
    uint32_t writesFailed;
};

Result run(uint32_t rate, uint8_t channels, uint32_t blockFrames, uint32_t seconds)
{
    kernelClock().useVirtual(0);
    pnp::loadDriver(&DriverEntry, u"OrvoUAC2");
    Result result{};
    {
        usb::HostController bus;
        sim::mixer::Profile profile = sim::mixer::profiles::qx1600();
        profile.playback.channelNames = sim::mixer::numberedNames(u"Out", channels);
        profile.record.channelNames = sim::mixer::numberedNames(u"In", channels);
        profile.initialRate = rate;
        sim::mixer::UsbAudioDevice device(profile, 1);
        uint32_t port = bus.plug(device);
        DeviceContext* c = GetDeviceContext(*bus.device(port));
        // The driver's USB configuration is not run here: select the
        // streaming interfaces the way it does.
        std::vector<usb::SettingPair> pairs;
        for (uint8_t i = 0; i < c->usbDevice->interfaceCount(); ++i)
            pairs.push_back({c->usbDevice->interface(i), static_cast<uint8_t>(i == 0 ? 0 : 1)});
        usb::SelectConfigParams params;
        params.pairs = pairs;
        c->usbDevice->selectConfig(params);
        c->playbackPipe = c->usbDevice->interface(1)->configuredPipe(0, &c->playbackPipeInfo);
        c->recordPipe = c->usbDevice->interface(2)->configuredPipe(0, &c->recordPipeInfo);
        c->lowerTarget = &c->device->ioTarget();
        c->inputChannels = c->outputChannels = channels;
        c->requestedSampleRate = rate;
        AllocateStreamBuffers(c);

        auto client = ob::Process::create();
        auto event = ob::Event::create(ob::Event::Kind::ManualReset, false);
        ob::Handle handle = 0;
        client->insert(event, ob::kSynchronize, handle);
        EventObject* object = nullptr;
        referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::Kernel, Caller{client->id(), 1, client},
                               &object);
        {
            SpinLockGuard guard(*c->streamLock);
            c->requestedBlockFrames = blockFrames;
            MarkRestartIfChanged(c);
            c->clients[c->clientCount++] = ClientEntry{0, 0x7FFFFFFF, nullptr, object, 1, 0};
            SetStreamingEnabled(c, true);
        }
        c->streamTimer->startRelative(msToTicks(1));
        kernelClock().advance(msToTicks(1000)); // the stream is running

        AsioInfo info(c->asioInfo);
        uint64_t before = info.asioBlockCount();
        double start = cpuSeconds();
        for (uint32_t s = 0; s < seconds; ++s)
            kernelClock().advance(kTicksPerSecond);
        double cpu = cpuSeconds() - start;
        result.blocks = info.asioBlockCount() - before;
        result.expectedBlocks = uint64_t(seconds) * rate / blockFrames;
        result.cpuPerSecondMs = cpu * 1000 / seconds;
        result.realTimeRatio = seconds / cpu;
        result.readsFailed = info.readsFailed();
        result.writesFailed = info.writesFailed();
        bus.unplug(port);
        dereferenceObject(object);
    }
    pnp::unloadDriver();
    return result;
}

} // namespace

int main()
{
    struct Config {
        uint32_t rate;
        uint8_t channels;
        uint32_t blockFrames;
    } configs[] = {{48000, 16, 48}, {48000, 16, 768}, {48000, 2, 48}, {48000, 2, 768}};
    constexpr uint32_t seconds = 60;
    std::printf("kernel stream engine, %u simulated seconds per stream (device simulated too)\n", seconds);
    std::printf("%-28s %10s %12s %14s %12s\n", "stream", "blocks", "cpu ms/s", "x real time", "% of a core");
    bool ok = true;
    for (const Config& k : configs) {
        Result r = run(k.rate, k.channels, k.blockFrames, seconds);
        char name[64];
        std::snprintf(name, sizeof name, "%u in/%u out, %u Hz, %u fr", k.channels, k.channels, k.rate, k.blockFrames);
        std::printf("%-28s %10llu %12.3f %14.0f %12.3f\n", name, static_cast<unsigned long long>(r.blocks),
                    r.cpuPerSecondMs, r.realTimeRatio, r.cpuPerSecondMs / 10.0);
        if (r.readsFailed || r.writesFailed || r.blocks + 2 < r.expectedBlocks || r.blocks > r.expectedBlocks + 2) {
            std::printf("  stream broken: %llu blocks (expected %llu), %u reads and %u writes failed\n",
                        static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.expectedBlocks),
                        r.readsFailed, r.writesFailed);
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
