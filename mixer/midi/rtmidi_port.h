#pragma once
// The production MIDI ports: the port interface over RtMidi.
//
// Back end: the environment variable ORVO_MIDI_API ("alsa", "jack" or
// "dummy") when set, else the ALSA sequencer where /dev/snd/seq exists, else
// JACK. A back end that cannot be made yields no port object (never an
// exception). Received messages are handed over to a thread of the port
// object, so the callback never runs on a back end's real-time thread (JACK
// calls its input callback on the server's process thread).
//
// Device changes: RtMidi tells nothing of ports that come and go. A watcher
// thread compares the back end's port lists every 250 ms while port objects
// exist and raises the system's device-change notice when they differ.

#include "mixer/midi/midi_port.h"

#include <string>

namespace Orvo {

class RtMidiPortFactory final : public MidiPortFactory {
public:
    std::unique_ptr<MidiInPort> makeInput(const std::string& clientName, unsigned queueLimit) override;
    std::unique_ptr<MidiOutPort> makeOutput(const std::string& clientName) override;
    // The back end chosen as above, by its RtMidi name ("alsa", "jack", "dummy").
    static std::string apiName();
    // Messages dropped because the hand-over queue was full (all input ports).
    static unsigned long droppedMessages();
};

} // namespace Orvo
