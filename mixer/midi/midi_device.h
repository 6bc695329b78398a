#pragma once
// A pairing of one MIDI input port with one output port, and the record of one
// mixer port found on such a pair.

#include "mixer/midi/device_descriptor.h"

#include <atomic>
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

// `state` and `portPair` belong to the device records' lock (DeviceListLock):
// every write is made holding it, so a decision that combines them with the
// lists is taken under it. They are atomic so that the threads that only
// read them (device listeners, dispatch, the update, the senders' callers)
// see a whole value without it.
struct MidiDevice {
    MidiDeviceDescriptor descriptor; // as received in the 'q' that made the record
    std::atomic<uint8_t> state{kDeviceRemoved};
    std::atomic<MidiPortPair*> portPair{nullptr}; // the pair on which it last answered
};

} // namespace Orvo
