// Random System Exclusive payloads through the reception rule and on into the
// device records, plus a pack/unpack round trip of the same bytes. The input
// is cut into several payloads so records are made, found again and removed.
#include "mixer/midi/device_directory.h"
#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/own_protocol.h"
#include "mixer/midi/sysex_pack.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// One payload through the service's reception; descriptors go to the records.
void receive(Orvo::OwnProtocol& own, Orvo::DeviceDirectory& devices, Orvo::MidiPortPair* pair, uint8_t control,
             const uint8_t* data, size_t size)
{
    std::vector<uint8_t> payload(data, data + size);
    const uint32_t id = (control & 1) ? Orvo::kMixerSysExId : 0x00000141u;
    own.setActive((control & 2) != 0);
    own.receive(id, payload.data(), payload.size(), pair);
    if (control & 4)
        devices.beginProbing();
    if (control & 8)
        devices.pruneDevices();
    if ((control & 0x30) == 0x30 && devices.deviceCount() > 0)
        devices.forgetDevice(devices.deviceAt(0));
    const uint8_t* p;
    uint32_t n;
    if (own.mailbox().take(&p, &n) && n > 0 && p[n - 1] != p[n - 1])
        std::abort(); // the bytes are there to be read
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    {
        // Payloads separated by 0xF7, each led by a control byte.
        Orvo::MidiPortPair pairs[2];
        Orvo::DeviceDirectory devices(nullptr);
        Orvo::OwnProtocol own(devices);
        own.address(0x3A710018, 0x075BCD15);
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == 0xF7) {
                if (i > start)
                    receive(own, devices, &pairs[data[start] >> 7], data[start], data + start + 1, i - start - 1);
                start = i + 1;
            }
        }
        devices.dispatchDeviceEvents(&pairs[0], [](Orvo::MidiDevice* d) {
            if (d->state > Orvo::kDeviceUpdating)
                std::abort();
        });
    }
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
