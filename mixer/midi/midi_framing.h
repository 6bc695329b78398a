#pragma once
// The MIDI framing layer: typed messages and System Exclusive payloads into a
// transmit ring of raw frames, received byte chunks through a receive ring
// into typed messages and whole System Exclusive payloads. The pump
// (midiService) does one receive and one transmit slot per call; it never
// touches the MIDI port: a send callback takes the frames. Results are 1 for
// success and 0 for failure; every failure prints one "MIDI: " line.
//
// Locks: the port-table lock (pump), the transmit-order lock (held by a sender
// for its whole call, so a sender waiting for a full ring is not overtaken),
// then the transmit lock (indexes and slots, shared with the pump); one lock
// per receive slot. No allocation after midiOpenPort.

#include "mixer/common/threads/threads.h"

#include <atomic>
#include <cstdint>

#define MAX_PORTS 1u
#define MIDI_RING_SLOTS 32u
#define MIDI_MAX_FRAME_SIZE 1024u
#define MIDI_RING_FULL_WAIT_MS 150u

typedef uint32_t MidiMessageType; // 0..24, see midiSendMessage

enum : MidiMessageType {
    MIDI_NOTE_OFF = 0,
    MIDI_NOTE_ON = 1,
    MIDI_KEY_PRESSURE = 2,
    MIDI_CONTROL_CHANGE = 3,
    MIDI_PROGRAM_CHANGE = 4,
    MIDI_CHANNEL_PRESSURE = 5,
    MIDI_PITCH_BEND = 6,
    MIDI_ALL_SOUND_OFF = 7,
    MIDI_RESET_ALL_CONTROLLERS = 8,
    MIDI_LOCAL_CONTROL = 9,
    MIDI_ALL_NOTES_OFF = 10,
    MIDI_OMNI_OFF = 11,
    MIDI_OMNI_ON = 12,
    MIDI_MONO_ON = 13,
    MIDI_POLY_ON = 14,
    MIDI_TIME_CODE = 15,
    MIDI_SONG_POSITION = 16,
    MIDI_SONG_SELECT = 17,
    MIDI_TUNE_REQUEST = 18,
    MIDI_TIMING_CLOCK = 19,
    MIDI_START = 20,
    MIDI_CONTINUE = 21,
    MIDI_STOP = 22,
    MIDI_ACTIVE_SENSING = 23,
    MIDI_RESET = 24,
    MIDI_MESSAGE_TYPE_COUNT = 25,
};

struct MidiPort;
typedef MidiPort* MidiPortHandle;

// channel 1..16 (0 for system messages), data2 as the table of types gives it.
typedef void (*MidiChannelCallback)(MidiPortHandle port, uint8_t channel, uint32_t type, uint8_t data1, int16_t data2);
// The payload excludes F0, the id bytes and F7; valid only during the call.
typedef void (*MidiSysExCallback)(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length);
// Sends one whole transmit slot as one unit; true when the bytes went out.
typedef bool (*MidiSendCallback)(uint32_t portNumber, uint32_t length, const uint8_t* data);

struct MidiTxSlot {
    uint8_t data[MIDI_MAX_FRAME_SIZE];
    std::atomic<uint32_t> length; // 0 = empty; read without the lock only to wait for 0
    bool sealed;                  // holds a System Exclusive frame: nothing is appended behind it
};

struct MidiRxSlot {
    uint8_t data[MIDI_MAX_FRAME_SIZE];
    std::atomic<uint32_t> length;
    Orvo::common::threads::CMutex* lock;
};

struct MidiPort {
    std::atomic<uint32_t> portNumber; // 0 open, 0xFFFFFFFF closed
    MidiTxSlot tx[MIDI_RING_SLOTS];
    uint32_t txWrite, txRead; // under the transmit lock
    MidiRxSlot rx[MIDI_RING_SLOTS];
    std::atomic<uint32_t> rxWrite, rxRead;
    std::atomic<MidiChannelCallback> channelCallback;
    std::atomic<MidiSysExCallback> sysExCallback;
    std::atomic<MidiSendCallback> sendCallback;
    // Parser state (pump only).
    uint8_t sysExIdLength; // 0 none, else 1 or 3
    uint8_t sysExId[3];
    uint8_t* sysExPayload; // first payload byte of the open message in the slot being parsed
};

void midiInit();
MidiPortHandle midiOpenPort(uint32_t portNumber);
int midiClosePort(MidiPortHandle port);
uint32_t midiPortNumber(MidiPortHandle port);
int midiSetChannelCallback(MidiPortHandle port, MidiChannelCallback callback);
int midiSetSysExCallback(MidiPortHandle port, MidiSysExCallback callback);
int midiSetSendCallback(MidiPortHandle port, MidiSendCallback callback);

// Null port: every open port.
int midiSendMessage(MidiPortHandle port, uint8_t channel, MidiMessageType type, uint8_t data1, uint16_t data2);
int midiQueueSysEx(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length);
// The caller holds the transmit lock (midiQueueSysEx takes it); it is released
// while the ring is full.
int midiSendSysEx(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length);
int midiRecvPayload(MidiPortHandle port, uint32_t length, const uint8_t* bytes);

bool midiService();
// Hands the oldest finished transmit frame (never the slot still being
// filled) and marks it free; the bytes stay valid until the ring comes round.
int midiGetSendPayload(uint32_t portNumber, uint32_t* length, uint8_t** data);
void midiFlushPort(MidiPortHandle port);

// Sends one transmit slot through the send callback, as the pump's transmit
// side does but without the port-table lock, so the service can drain the
// ring from any thread (its own pump included). True when a slot was offered.
bool midiServiceTransmit(MidiPortHandle port);
// Slots holding data in each ring.
uint32_t midiTransmitPending(MidiPortHandle port);
uint32_t midiReceivePending(MidiPortHandle port);
// Empties the receive ring but for a slot being parsed now.
void midiFlushReceive(MidiPortHandle port);
// Empties the transmit ring (waiting for a send in progress) and returns how
// many frames were thrown away unsent.
uint32_t midiDropTransmit(MidiPortHandle port);
