#include "mixer/midi/mixer_protocol.h"

#include "mixer/midi/sysex_pack.h"

#include <cstring>

namespace Orvo {

size_t buildDataChannelPayload(uint32_t idA, uint32_t idB, const uint8_t* message, size_t n, uint8_t* out,
                               size_t capacity)
{
    if (n == 0 || n > kDataChannelMaxMessage || message == nullptr || out == nullptr)
        return 0;
    const size_t body = 8 + n;
    if (capacity < 1 + midiPackedSize(body))
        return 0;
    out[0] = static_cast<uint8_t>(ProtoCommand::Data);
    storeLe32(out + 1, idA);
    storeLe32(out + 5, idB);
    std::memmove(out + 9, message, n);
    return 1 + midiPack7(out + 1, body, out + 1, capacity - 1);
}

size_t buildFlashParamPayload(uint32_t idA, uint32_t idB, uint32_t value, uint8_t command, uint8_t* out,
                              size_t capacity)
{
    if (out == nullptr || capacity < 1 + midiPackedSize(kFlashParamBodySize))
        return 0;
    out[0] = static_cast<uint8_t>(ProtoCommand::FlashParam);
    storeLe32(out + 1, idA);
    storeLe32(out + 5, idB);
    storeLe32(out + 9, value);
    out[13] = command;
    return 1 + midiPack7(out + 1, kFlashParamBodySize, out + 1, capacity - 1);
}

SysExReception classifySysEx(bool ownProtocol, uint32_t idWord, const uint8_t* payload, size_t length,
                             uint32_t addressedA, uint32_t addressedB, uint8_t* scratch, size_t scratchCapacity)
{
    SysExReception r;
    if (!ownProtocol || idWord != kMixerSysExId)
        return r; // Listeners
    r.kind = SysExReception::Kind::Ignored;
    if (payload == nullptr || length == 0)
        return r;
    const size_t packed = length - 1;
    if (scratch == nullptr || scratchCapacity < midiUnpackCapacity(packed))
        return r;
    const size_t n = packed == 0 ? 0 : midiUnpack7(payload + 1, packed, scratch, scratchCapacity);
    switch (static_cast<ProtoCommand>(payload[0])) {
    case ProtoCommand::Descriptor:
        if (n == MidiDeviceDescriptor::kSize) {
            r.kind = SysExReception::Kind::Descriptor;
            r.descriptor = MidiDeviceDescriptor::fromBytes(scratch);
        }
        break;
    case ProtoCommand::Data:
        if (n > 8 && loadLe32(scratch) == addressedA && loadLe32(scratch + 4) == addressedB) {
            r.kind = SysExReception::Kind::Data;
            r.data = scratch + 8;
            r.length = n - 8;
        }
        break;
    case ProtoCommand::FlashParam:
        if (n == kFlashParamBodySize && scratch[12] == kFlashParamAck && loadLe32(scratch) == addressedA &&
            loadLe32(scratch + 4) == addressedB)
            r.kind = SysExReception::Kind::FlashAck;
        break;
    default:
        break;
    }
    return r;
}

} // namespace Orvo
