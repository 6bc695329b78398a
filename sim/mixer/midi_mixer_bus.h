#pragma once
// Puts a simulated mixer's MIDI ports on the in-process simulated MIDI bus and
// keeps them there while the mixer is plugged: one input and one output port
// per USB port of the mixer, added and removed as it is plugged and unplugged.

#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_mixer.h"

#include <memory>

namespace orvo::sim {

class MidiMixerOnBus {
public:
    // `position`: the index the mixer's first ports take in the bus's lists
    // (-1: at the end), so tests can shift the indexes of ports already there.
    MidiMixerOnBus(MidiBus& bus, MidiMixer& mixer, int position = -1);
    ~MidiMixerOnBus(); // takes the ports off the bus
    MidiMixerOnBus(const MidiMixerOnBus&) = delete;
    MidiMixerOnBus& operator=(const MidiMixerOnBus&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace orvo::sim
