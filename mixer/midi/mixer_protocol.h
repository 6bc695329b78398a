#pragma once
// The mixers' own System Exclusive protocol: message codes, payload builders
// and the reception rule that tells the device service's own replies from the
// ones that go to the SysEx listeners. Payloads exclude F0, the id and F7.

#include "mixer/midi/le_bytes.h" // little-endian loadLe32 / storeLe32 on raw bytes
#include "mixer/midi/device_descriptor.h"

#include <cstddef>
#include <cstdint>

namespace Orvo {

// Manufacturer id 00 00 4E as an id word: length 3 in the low byte, then the
// id bytes in wire order.
constexpr uint32_t kMixerSysExId = 0x4E000003;

// Largest payload a frame can carry: 1,024 bytes less F0, the 3 id bytes, F7.
constexpr size_t kMaxSysExPayload = 1024 - 5;

// First byte of an own-protocol payload; the body behind it is packed 8-to-7.
enum class ProtoCommand : uint8_t {
    Query = 'p',           // host to mixer, no body
    Descriptor = 'q',      // mixer to host, 48-byte descriptor
    EnterBootloader = 'r', // host to mixer, no body
    Data = 's',            // both: id words A, B, then a firmware-update message
    FlashParam = 'x',      // both: id words A, B, value, command
};

// Mixer-settings payloads: a command byte and 7-bit arguments, not packed.
enum class MixerSysExCommand : uint8_t {
    AskValues = 0x05,  // host: send every control-panel value
    ValuesEnd = 0x06,  // mixer: end of the value dump
    AskChannel = 0x07, // host: report the MIDI channel
    Channel = 0x08,    // mixer: 08 ch, ch 1..16
    SetChannel = 0x0B, // host: 0B ch
};

// Commands of the flash-parameter message.
enum FlashParamCommand : uint8_t {
    PROTO_OFLASH_PARAM_CMD_UNLOCK1 = 1,
    PROTO_OFLASH_PARAM_CMD_UNLOCK2 = 2,
    PROTO_OFLASH_PARAM_CMD_WRITE3 = 3,
    PROTO_OFLASH_PARAM_CMD_WRITE4 = 4,
};
constexpr uint8_t kFlashParamAck = 0x7F; // command byte of the mixer's acknowledgement
constexpr uint32_t kFlashUnlockCode1 = 0x3E91D7A0;
constexpr uint32_t kFlashUnlockCode2 = 0x0B6C52F4;
constexpr size_t kFlashParamBodySize = 13;

// Longest firmware-update message one 's' can carry within a frame.
constexpr size_t kDataChannelMaxMessage = 882;

// 's' payload: the letter, then {A, B, message} packed. Returns the payload
// length, 0 when n is 0 or above kDataChannelMaxMessage or out is too small.
size_t buildDataChannelPayload(uint32_t idA, uint32_t idB, const uint8_t* message, size_t n, uint8_t* out,
                               size_t capacity);

// 'x' payload: the letter, then {A, B, value, command} packed (16 bytes).
// Returns 16, or 0 when out is too small.
size_t buildFlashParamPayload(uint32_t idA, uint32_t idB, uint32_t value, uint8_t command, uint8_t* out,
                              size_t capacity);

// What a received System Exclusive payload is to the device service.
struct SysExReception {
    enum class Kind {
        Listeners,  // not the service's: every SysEx listener gets it
        Ignored,    // the service's, but of no use (wrong size, other device, unknown letter)
        Descriptor, // a 'q' descriptor: the device-record logic takes it
        Data,       // an 's' for the addressed device: data/length hold the message
        FlashAck,   // an 'x' acknowledgement for the addressed device
    };
    Kind kind = Kind::Listeners;
    MidiDeviceDescriptor descriptor;
    const uint8_t* data = nullptr; // inside the caller's scratch buffer
    size_t length = 0;
};

// The reception rule. While ownProtocol is set, payloads with the mixers' id
// are the service's: the body after the letter is unpacked into scratch
// (which needs midiUnpackCapacity(length - 1) bytes; kMaxSysExPayload always
// suffices) and judged by the letter against the addressed id words. Every
// field is read only after the length has been checked.
SysExReception classifySysEx(bool ownProtocol, uint32_t idWord, const uint8_t* payload, size_t length,
                             uint32_t addressedA, uint32_t addressedB, uint8_t* scratch, size_t scratchCapacity);

} // namespace Orvo
