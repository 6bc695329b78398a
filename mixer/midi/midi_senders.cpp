// The MIDI message senders of the device service: one per channel and system
// message, one for System Exclusive and one by message type. Each makes its
// target pair the open one when it is not, queues the message in the framing
// layer's transmit ring and wakes the service thread, which sends it.

#include "mixer/midi/midi_service.h"

namespace Orvo {

bool Midi::SelectPair(MidiPortPair* pair)
{
    if (pair == nullptr)
        return false;
    return pair == openPair_.load() || OpenDevice(pair);
}

bool Midi::SendTyped(MidiPortPair* pair, uint8_t channel, MidiMessageType type, uint8_t data1, uint16_t data2)
{
    if (!SelectPair(pair))
        return false;
    const int queued = midiSendMessage(framingPort_, channel, type, data1, data2);
    WakeService();
    return queued == 1;
}

bool Midi::SendNoteOff(MidiPortPair* p, uint8_t channel, uint8_t note, uint8_t velocity)
{
    return SendTyped(p, channel, MIDI_NOTE_OFF, note, velocity);
}

bool Midi::SendNoteOn(MidiPortPair* p, uint8_t channel, uint8_t note, uint8_t velocity)
{
    return SendTyped(p, channel, MIDI_NOTE_ON, note, velocity);
}

bool Midi::SendKeyPressure(MidiPortPair* p, uint8_t channel, uint8_t note, uint8_t pressure)
{
    return SendTyped(p, channel, MIDI_KEY_PRESSURE, note, pressure);
}

bool Midi::SendControlChange(MidiPortPair* p, uint8_t channel, uint8_t controller, uint8_t value)
{
    return SendTyped(p, channel, MIDI_CONTROL_CHANGE, controller, value);
}

bool Midi::SendProgramChange(MidiPortPair* p, uint8_t channel, uint8_t program)
{
    return SendTyped(p, channel, MIDI_PROGRAM_CHANGE, 0, program);
}

bool Midi::SendChannelPressure(MidiPortPair* p, uint8_t channel, uint8_t pressure)
{
    return SendTyped(p, channel, MIDI_CHANNEL_PRESSURE, 0, pressure);
}

bool Midi::SendPitchBend(MidiPortPair* p, uint8_t channel, short value)
{
    return SendTyped(p, channel, MIDI_PITCH_BEND, 0, static_cast<uint16_t>(value));
}

bool Midi::SendAllSoundOff(MidiPortPair* p, uint8_t channel) { return SendTyped(p, channel, MIDI_ALL_SOUND_OFF, 0, 0); }

bool Midi::SendResetAllControllers(MidiPortPair* p, uint8_t channel)
{
    return SendTyped(p, channel, MIDI_RESET_ALL_CONTROLLERS, 0, 0);
}

bool Midi::SendLocalControl(MidiPortPair* p, uint8_t channel, uint8_t on)
{
    return SendTyped(p, channel, MIDI_LOCAL_CONTROL, 0, on);
}

bool Midi::SendAllNotesOff(MidiPortPair* p, uint8_t channel) { return SendTyped(p, channel, MIDI_ALL_NOTES_OFF, 0, 0); }
bool Midi::SendOmniOff(MidiPortPair* p, uint8_t channel) { return SendTyped(p, channel, MIDI_OMNI_OFF, 0, 0); }
bool Midi::SendOmniOn(MidiPortPair* p, uint8_t channel) { return SendTyped(p, channel, MIDI_OMNI_ON, 0, 0); }

bool Midi::SendMonoOn(MidiPortPair* p, uint8_t channel, uint8_t channels)
{
    return SendTyped(p, channel, MIDI_MONO_ON, 0, channels);
}

bool Midi::SendPolyOn(MidiPortPair* p, uint8_t channel) { return SendTyped(p, channel, MIDI_POLY_ON, 0, 0); }

bool Midi::SendSysEx(MidiPortPair* p, uint32_t idWord, const uint8_t* payload, int length)
{
    if (length < 0 || (length > 0 && payload == nullptr) || !SelectPair(p))
        return false;
    const int queued = midiQueueSysEx(framingPort_, idWord, payload, static_cast<uint32_t>(length));
    WakeService();
    return queued == 1;
}

bool Midi::SendTimeCode(MidiPortPair* p, uint8_t type, uint8_t value)
{
    return SendTyped(p, 0, MIDI_TIME_CODE, type, value);
}

bool Midi::SendSongPosition(MidiPortPair* p, short position)
{
    return SendTyped(p, 0, MIDI_SONG_POSITION, 0, static_cast<uint16_t>(position));
}

bool Midi::SendSongSelect(MidiPortPair* p, uint8_t song) { return SendTyped(p, 0, MIDI_SONG_SELECT, 0, song); }
bool Midi::SendTuneRequest(MidiPortPair* p) { return SendTyped(p, 0, MIDI_TUNE_REQUEST, 0, 0); }
bool Midi::SendClock(MidiPortPair* p) { return SendTyped(p, 0, MIDI_TIMING_CLOCK, 0, 0); }
bool Midi::SendStart(MidiPortPair* p) { return SendTyped(p, 0, MIDI_START, 0, 0); }
bool Midi::SendContinue(MidiPortPair* p) { return SendTyped(p, 0, MIDI_CONTINUE, 0, 0); }
bool Midi::SendStop(MidiPortPair* p) { return SendTyped(p, 0, MIDI_STOP, 0, 0); }
bool Midi::SendActiveSensing(MidiPortPair* p) { return SendTyped(p, 0, MIDI_ACTIVE_SENSING, 0, 0); }
bool Midi::SendReset(MidiPortPair* p) { return SendTyped(p, 0, MIDI_RESET, 0, 0); }

bool Midi::SendMessage(MidiPortPair* p, uint8_t channel, int type, uint8_t data1, short data2)
{
    if (type < 0 || type >= static_cast<int>(MIDI_MESSAGE_TYPE_COUNT))
        return false; // nothing is sent for an unknown type
    return SendTyped(p, channel, static_cast<MidiMessageType>(type), data1, static_cast<uint16_t>(data2));
}

} // namespace Orvo
