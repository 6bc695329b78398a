#pragma once
// Simulated mixers on the simulated MIDI bus for the control panel's tests:
// the bus as the device service's port factory, a paced clock for the
// service's time-outs, and the mixers plugged while they live.

// Before any Qt header: the simulated mixer has a member named like Qt's
// `emit` keyword. Tests include this header first.
#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_mixer_bus.h"

#include "mixer/midi/midi_service.h"
#include "mixer/model/mixer_model.h"
#include "paced_clock.h"

#include <memory>
#include <string>
#include <vector>

namespace orvo::testing {

constexpr uint32_t kFirstModel = 0x3A710018;
constexpr uint32_t kSecondModel = 0x3A710019;

inline sim::MidiMixerConfig mixerConfig(uint32_t usbId, uint32_t serial, bool twoPorts = false,
                                        const std::string& portName = "") {
    sim::MidiMixerConfig c;
    c.usbId = usbId;
    c.serialNumber = serial;
    c.name = usbId == kSecondModel ? "ZR90Alpha" : "QX1600";
    c.portName = portName;
    c.twoPorts = twoPorts;
    if (usbId == kSecondModel) {
        c.firmwareBuild = 133;
        c.channel = 15;
    }
    return c;
}

struct PluggedMixer {
    PluggedMixer(sim::MidiBus& bus, const sim::MidiMixerConfig& config) : mixer(config), onBus(bus, mixer) {}
    sim::MidiMixer mixer;
    sim::MidiMixerOnBus onBus;
};

// One test's simulated world. Made before the window, ended after it.
// Rescans come only when a test asks (plug, rescan), never by themselves
// during a settings read: a probe that meets a read can miss the mixer's
// answer, and the service then reports the mixer removed and found again.
class SimulatedMixers {
public:
    SimulatedMixers() : paced(std::make_unique<PacedClock>()), bus(std::make_unique<sim::MidiBus>()) {
        bus->setPortsChangedHook(nullptr);
        Orvo::Midi::SetPortFactory(bus.get());
    }
    ~SimulatedMixers() {
        model::shutdownDeviceService();
        Orvo::Midi::SetPortFactory(nullptr);
        mixers.clear();
        bus.reset();
        paced.reset();
    }
    PluggedMixer& plug(const sim::MidiMixerConfig& config, bool rescan = true) {
        mixers.push_back(std::make_unique<PluggedMixer>(*bus, config));
        if (rescan)
            Orvo::Midi::GetInstance()->RequestRescan(false);
        return *mixers.back();
    }
    static void rescan() { Orvo::Midi::GetInstance()->RequestRescan(false); }

    std::unique_ptr<PacedClock> paced;
    std::unique_ptr<sim::MidiBus> bus;
    std::vector<std::unique_ptr<PluggedMixer>> mixers;
};

}  // namespace orvo::testing
