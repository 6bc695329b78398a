// Random System Exclusive frames through the service's reception path: the
// framing layer's receive ring and parser, the own-protocol reception and on
// into the device records; plus a pack/unpack round trip of the same bytes.
// The input is cut into several payloads so records are made, found again and
// removed.
#include "mixer/midi/device_directory.h"
#include "mixer/midi/midi_framing.h"
#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/own_protocol.h"
#include "mixer/midi/sysex_pack.h"

#include <cstdio>
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

// The framing layer hands parsed payloads to the reception as the service does.
struct Framed {
    Orvo::MidiPortPair pair;
    Orvo::DeviceDirectory* devices = nullptr;
    Orvo::OwnProtocol* own = nullptr;
};
Framed g_framed;
MidiPortHandle g_port;

void onSysEx(MidiPortHandle, uint32_t id, const uint8_t* payload, uint32_t length)
{
    if (g_framed.own)
        g_framed.own->receive(id, payload, length, &g_framed.pair);
}

void throughFraming(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        midiInit();
        g_port = midiOpenPort(0);
        midiSetSysExCallback(g_port, &onSysEx);
        std::freopen("/dev/null", "w", stdout); // the parser logs every malformed message
        return true;
    }();
    (void)ready;
    Orvo::DeviceDirectory devices(nullptr);
    Orvo::OwnProtocol own(devices);
    own.setActive(true);
    own.address(0x3A710018, 0x075BCD15);
    g_framed.devices = &devices;
    g_framed.own = &own;
    // Frames cut at 0xF7; a frame's first byte picks the id and whether its
    // bytes are kept 7-bit (as a mixer sends them) or left raw.
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xF7)
            continue;
        if (i > start) {
            const uint8_t control = data[start];
            std::vector<uint8_t> frame{0xF0};
            if (control & 1)
                frame.insert(frame.end(), {0x00, 0x00, 0x4E});
            else
                frame.push_back(0x41);
            for (size_t k = start + 1; k < i; ++k)
                frame.push_back((control & 2) ? data[k] : static_cast<uint8_t>(data[k] & 0x7F));
            if (!(control & 4))
                frame.push_back(0xF7);
            midiRecvPayload(g_port, static_cast<uint32_t>(frame.size()), frame.data());
            if (midiReceivePending(g_port) > MIDI_RING_SLOTS / 2)
                midiService();
        }
        start = i + 1;
    }
    while (midiService()) {
    }
    midiFlushPort(g_port); // nothing of this input reaches the next one
    devices.dispatchDeviceEvents(nullptr, [](Orvo::MidiDevice* d) {
        if (d->state > Orvo::kDeviceUpdating)
            std::abort();
    });
    g_framed.own = nullptr;
    g_framed.devices = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    throughFraming(data, size);
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
