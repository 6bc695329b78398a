#pragma once
// A simulated mixer: one model, one serial number, one or two USB ports (A
// and B, for two computers). Each port is a USB audio device of its own; the
// MIDI ports of the same mixer belong here too, beside the USB audio side.

#include "sim/mixer/profile.h"
#include "sim/mixer/usb_audio_device.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim::mixer {

struct MixerIdentity {
    uint32_t usbId = 0; // vendor << 16 | product
    uint32_t serialNumber = 0;
};

class Mixer {
public:
    // ports: 1 (port A only) or 2 (A and B).
    Mixer(const Profile& profile, uint32_t serialNumber, unsigned ports = 1);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    const Profile& profile() const { return profile_; }
    MixerIdentity identity() const { return {profile_.usbId(), serialNumber_}; }
    unsigned portCount() const { return static_cast<unsigned>(usb_.size()); }
    bool hasPort(char letter) const;

    // The USB audio device behind port 'A' or 'B'.
    UsbAudioDevice& usb(char letter = 'A');
    const UsbAudioDevice& usb(char letter = 'A') const;

private:
    Profile profile_;
    uint32_t serialNumber_;
    std::vector<std::unique_ptr<UsbAudioDevice>> usb_;
};

} // namespace sim::mixer
