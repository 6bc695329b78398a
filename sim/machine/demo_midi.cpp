#include "sim/machine/demo_midi.h"

#include "mixer/midi/midi_service.h"
#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_mixer_bus.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo::demo {

namespace {

struct Found {
    std::mutex mutex;
    std::vector<Orvo::MidiDevice*> devices;
    static void onDevice(Orvo::Midi*, Orvo::MidiDevice* d, void* self)
    {
        auto* f = static_cast<Found*>(self);
        std::lock_guard lock(f->mutex);
        if (d->state != Orvo::kDeviceRemoved)
            f->devices.push_back(d);
    }
    size_t count()
    {
        std::lock_guard lock(mutex);
        return devices.size();
    }
};

const char* modelName(uint32_t usbId)
{
    return usbId == Orvo::kUsbIdFirstModel ? "QX1600" : usbId == Orvo::kUsbIdSecondModel ? "ZR90Alpha" : "unknown";
}

const char* stateName(uint8_t state)
{
    switch (state) {
    case Orvo::kDeviceApplication:
        return "running";
    case Orvo::kDeviceBootloader:
        return "bootloader";
    case Orvo::kDeviceUpdating:
        return "updating";
    default:
        return "removed";
    }
}

} // namespace

int runMidiDiscovery()
{
    sim::MidiBus bus;
    sim::MidiMixerConfig first;
    first.serialNumber = 1;
    first.twoPorts = true; // ports A and B: two devices
    sim::MidiMixerConfig second;
    second.usbId = Orvo::kUsbIdSecondModel;
    second.name = "ZR90Alpha";
    second.serialNumber = 2;
    second.firmwareBuild = 133;
    second.channel = 15;
    sim::MidiMixer qx(first), zr(second);
    sim::MidiMixerOnBus qxOnBus(bus, qx), zrOnBus(bus, zr);
    std::printf("machine: simulated mixers on the MIDI bus: %s (ports A and B), %s\n", first.name.c_str(),
                second.name.c_str());

    Orvo::Midi::SetPortFactory(&bus);
    Orvo::Midi* midi = Orvo::Midi::GetInstance();
    Found found;
    midi->AddDeviceListener(&Found::onDevice, &found);
    midi->RequestRescan(true);
    for (int i = 0; i < 2000 && found.count() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::printf("machine: discovery over MIDI found %zu mixer ports\n", midi->DeviceCount());
    for (size_t i = 0; i < midi->DeviceCount(); ++i) {
        const Orvo::MidiDevice* d = midi->DeviceAt(i);
        const Orvo::MidiDeviceDescriptor& desc = d->descriptor;
        const Orvo::MidiPortPair* pair = d->portPair;
        std::printf("  %s  %-9s port %c  serial %s  firmware %s (build %u)  \"%s\"  %s on '%s'\n",
                    desc.identity().text().c_str(), modelName(desc.usbId()), desc.portLetter(),
                    desc.serialText().c_str(), desc.versionText().c_str(), unsigned{desc.firmwareBuild()},
                    desc.name().c_str(), stateName(d->state), pair ? pair->inputName.c_str() : "");
    }
    const int result = midi->DeviceCount() == 3 ? 0 : 1;
    Orvo::Midi::DestroyInstance();
    Orvo::Midi::SetPortFactory(nullptr);
    return result;
}

} // namespace orvo::demo
