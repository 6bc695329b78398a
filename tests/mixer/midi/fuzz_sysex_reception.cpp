// Random System Exclusive payloads through the reception rule, plus a
// pack/unpack round trip of the same bytes.
#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/sysex_pack.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    if (size > Orvo::kMaxSysExPayload)
        size = Orvo::kMaxSysExPayload;

    // Exact-size copies so ASan sees every read past the end.
    std::vector<uint8_t> payload(data, data + size);
    std::vector<uint8_t> scratch(Orvo::kMaxSysExPayload);
    const uint32_t id = (control & 1) ? Orvo::kMixerSysExId : 0x00000141u;
    const bool own = (control & 2) != 0;
    const auto r = Orvo::classifySysEx(own, id, payload.data(), payload.size(), 0x3A710018, 0x075BCD15,
                                       scratch.data(), scratch.size());
    if (r.kind == Orvo::SysExReception::Kind::Data &&
        (r.data < scratch.data() || r.data + r.length > scratch.data() + scratch.size()))
        std::abort();

    // Unpack into exactly the capacity the rule asks for.
    std::vector<uint8_t> out(midiUnpackCapacity(size));
    const size_t n = midiUnpack7(payload.data(), payload.size(), out.data(), out.size());
    if (n > out.size())
        std::abort();

    // Round trip.
    if (size > 0) {
        std::vector<uint8_t> packed(midiPackedSize(size));
        if (midiPack7(payload.data(), size, packed.data(), packed.size()) != packed.size())
            std::abort();
        for (uint8_t b : packed)
            if (b & 0x80)
                std::abort();
        std::vector<uint8_t> back(midiUnpackCapacity(packed.size()));
        if (midiUnpack7(packed.data(), packed.size(), back.data(), back.size()) != size ||
            std::memcmp(back.data(), payload.data(), size) != 0)
            std::abort();
    }
    return 0;
}
