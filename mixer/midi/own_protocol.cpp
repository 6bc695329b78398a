#include "mixer/midi/own_protocol.h"

namespace Orvo {

bool OwnProtocol::receive(uint32_t idWord, const uint8_t* payload, size_t length, MidiPortPair* openPair)
{
    const auto r = classifySysEx(active_.load(), idWord, payload, length, idA_.load(), idB_.load(), scratch_,
                                 sizeof scratch_);
    switch (r.kind) {
    case SysExReception::Kind::Listeners:
        return false;
    case SysExReception::Kind::Descriptor:
        devices_.onDescriptor(r.descriptor, openPair);
        break;
    case SysExReception::Kind::Data:
        mailbox_.put(r.data, r.length);
        break;
    case SysExReception::Kind::FlashAck:
        ack_.store(true);
        break;
    case SysExReception::Kind::Ignored:
        break;
    }
    return true;
}

} // namespace Orvo
