#pragma once
// A pairing of one MIDI input port with one output port, and the record of one
// mixer port found on such a pair.

#include "mixer/midi/device_descriptor.h"

#include <cstdint>
#include <string>

namespace Orvo {

struct MidiPortPair {
    uint32_t inputIndex = 0;
    std::string inputName;
    uint32_t outputIndex = 0;
    std::string outputName;

    bool sameAs(const MidiPortPair& o) const
    {
        return inputIndex == o.inputIndex && outputIndex == o.outputIndex && inputName == o.inputName &&
               outputName == o.outputName;
    }
};

enum DeviceState : uint8_t {
    kDeviceRemoved = 0,
    kDeviceApplication = 1,
    kDeviceBootloader = 2,
    kDeviceUpdating = 3,
};

struct MidiDevice {
    MidiDeviceDescriptor descriptor; // as received in the 'q' that made the record
    uint8_t state = kDeviceRemoved;
    MidiPortPair* portPair = nullptr; // the pair on which it last answered
};

} // namespace Orvo
