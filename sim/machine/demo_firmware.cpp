// Demo: the simulated mixer found over MIDI by the device service and its
// firmware updated from the embedded image, with progress and the versions
// before and after.

#include "sim/machine/demo_firmware.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "mixer/midi/embedded_image.h"
#include "mixer/midi/midi_service.h"
#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_bootloader.h"
#include "sim/mixer/midi_mixer_bus.h"

namespace {

using namespace Orvo;

void printProgress(Midi*, MidiDevice*, uint8_t percent, int error, void* last)
{
    int& shown = *static_cast<int*>(last);
    if (percent == 100 || percent / 10 > shown / 10) {
        std::printf("  firmware update  %3u%%%s\n", percent, percent == 100 && error ? " (failed)" : "");
        shown = percent;
    }
}

MidiDevice* waitForDevice(Midi* midi, bool (*wanted)(const MidiDevice&))
{
    for (int i = 0; i < 100; ++i) {
        midi->RequestRescan(true);
        if (midi->DeviceCount() == 1 && wanted(*midi->DeviceAt(0)))
            return midi->DeviceAt(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nullptr;
}

void describe(const char* what, const MidiDevice& d)
{
    const MidiDeviceDescriptor& x = d.descriptor;
    std::printf("%s 0x%08x:%08x:%c firmware %u.%u.%u build %u\n", what, x.usbId(), x.serialNumber(), x.portLetter(),
                x.firmwareMajor(), x.firmwareMinor(), x.firmwarePatch(), x.firmwareBuild());
}

} // namespace

int runFirmwareUpdateDemo()
{
    using orvo::sim::MidiMixer;
    OBinFileBuffer image;
    if (!loadEmbeddedImage(image)) {
        std::fprintf(stderr, "the embedded firmware image does not load\n");
        return 1;
    }
    orvo::sim::MidiBus bus;
    bus.setPortsChangedHook([] {
        if (Midi* m = Midi::Instance())
            Midi::OnDeviceChange(m);
    });
    orvo::sim::MidiMixerConfig config;
    config.firmwareMinor = 0;
    config.firmwarePatch = 4;
    config.firmwareBuild = 10;
    MidiMixer mixer(config);
    orvo::sim::MidiMixerFirmware firmware(mixer, 300);
    int result = 1;
    {
        orvo::sim::MidiMixerOnBus attached(bus, mixer);
        Midi::SetPortFactory(&bus);
        Midi* midi = Midi::GetInstance();
        int shown = -10;
        midi->AddUpdateListener(&printProgress, &shown);
        MidiDevice* d = waitForDevice(midi, [](const MidiDevice& x) { return x.state == kDeviceApplication; });
        if (d == nullptr) {
            std::fprintf(stderr, "the mixer was not found on MIDI\n");
        } else {
            describe("mixer on MIDI (before)", *d);
            const ObinRegion* region = image.FindRegion(d->descriptor.usbId(), d->descriptor.regionNumber());
            if (region != nullptr) {
                const uint32_t v = region->header.version();
                std::printf("embedded image for it: %u.%u.%u build %u\n", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF,
                            v & 0xFF);
            }
            const int code = midi->UpdateFirmware(d, image, false);
            std::printf("firmware update result 0x%02x\n", static_cast<unsigned>(code));
            MidiDevice* after = waitForDevice(midi, [](const MidiDevice& x) {
                return x.state == kDeviceApplication && x.descriptor.firmwareVersion() == 0x0100055Eu;
            });
            if (after != nullptr)
                describe("mixer on MIDI (after)", *after);
            result = code == 0 && after != nullptr ? 0 : 1;
        }
        midi->RemoveUpdateListener(&printProgress);
        Midi::DestroyInstance();
        Midi::SetPortFactory(nullptr);
    }
    firmware.waitIdle();
    return result;
}
