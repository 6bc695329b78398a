// Random byte streams, split at random chunk boundaries, through the receive
// ring and the parser. Checks that every SysEx piece handed out lies inside the
// slot and holds only 7-bit bytes, and that channels and types are in range.
#include "mixer/midi/midi_framing.h"

#include <cstdint>
#include <cstdlib>

namespace {

MidiPortHandle g_port;

void onChannel(MidiPortHandle port, uint8_t channel, uint32_t type, uint8_t, int16_t)
{
    if (port != g_port || channel > 16 || type >= MIDI_MESSAGE_TYPE_COUNT)
        std::abort();
}

void onSysEx(MidiPortHandle port, uint32_t id, const uint8_t* payload, uint32_t length)
{
    const uint32_t idLength = id & 0xFF;
    if (port != g_port || (idLength != 1 && idLength != 3) || length > MIDI_MAX_FRAME_SIZE)
        std::abort();
    for (uint32_t i = 0; i < length; ++i)
        if (payload[i] & 0x80)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        midiInit();
        g_port = midiOpenPort(0);
        midiSetChannelCallback(g_port, &onChannel);
        midiSetSysExCallback(g_port, &onSysEx);
        std::freopen("/dev/null", "w", stdout); // the parser logs every malformed message
        return true;
    }();
    (void)ready;
    // Each chunk: one length byte (chunk size, 0 = pump now), then the bytes.
    size_t i = 0;
    while (i < size) {
        const size_t want = data[i++];
        if (want == 0) {
            while (midiService()) {
            }
            continue;
        }
        const size_t n = want < size - i ? want : size - i;
        midiRecvPayload(g_port, static_cast<uint32_t>(n), data + i);
        i += n;
        if (midiReceivePending(g_port) > MIDI_RING_SLOTS / 2)
            midiService();
    }
    while (midiService()) {
    }
    return 0;
}
