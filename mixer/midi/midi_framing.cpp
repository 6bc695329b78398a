#include "mixer/midi/midi_framing.h"

#include "platform/win32/clock.h"

#include <cstdio>
#include <cstring>

using Orvo::common::threads::CMutex;

namespace {

constexpr uint32_t kClosed = 0xFFFFFFFFu;

MidiPort g_ports[MAX_PORTS];
CMutex* g_tableLock = nullptr;
CMutex* g_txLock = nullptr;
CMutex* g_txOrderLock = nullptr;

bool isPort(MidiPortHandle port)
{
    for (auto& p : g_ports)
        if (&p == port)
            return true;
    return false;
}

bool isOpen(const MidiPort& p) { return p.portNumber.load() != kClosed; }

uint32_t next(uint32_t index) { return (index + 1) % MIDI_RING_SLOTS; }

// Waits up to the ring-full time for a slot to empty; elapsed time modulo 2^32.
bool waitEmpty(const std::atomic<uint32_t>& length)
{
    const uint32_t start = w32::GetTickCount();
    while (length.load() != 0 && w32::GetTickCount() - start < MIDI_RING_FULL_WAIT_MS)
        w32::Sleep(1);
    return length.load() == 0;
}

// Holds a CMutex only when this guard took it.
struct Held {
    explicit Held(CMutex* m) : mutex(m), took(m && m->Lock() == 1) {}
    ~Held() { release(); }
    void release()
    {
        if (took)
            mutex->Unlock();
        took = false;
    }
    void take() { took = mutex && mutex->Lock() == 1; }
    CMutex* mutex;
    bool took;
};

void resetPort(MidiPort& p)
{
    p.portNumber = kClosed;
    for (auto& s : p.tx) {
        std::memset(s.data, 0, sizeof s.data);
        s.length = 0;
        s.sealed = false;
    }
    p.txWrite = p.txRead = 0;
    for (auto& s : p.rx) {
        std::memset(s.data, 0, sizeof s.data);
        s.length = 0;
        s.lock = nullptr;
    }
    p.rxWrite = 0;
    p.rxRead = 0;
    p.channelCallback = nullptr;
    p.sysExCallback = nullptr;
    p.sendCallback = nullptr;
    p.sysExIdLength = 0;
    std::memset(p.sysExId, 0, sizeof p.sysExId);
    p.sysExPayload = nullptr;
}

// Appends bytes of a short message; the caller holds the transmit-order lock
// and `tx` (the transmit lock).
int queueBytes(MidiPort& p, Held& tx, const uint8_t* bytes, uint32_t n)
{
    const uint32_t number = p.portNumber.load();
    if (number == kClosed) {
        std::printf("MIDI: port %u aborting midiGetQueue, port closed!\r\n", number);
        return 0;
    }
    const uint32_t start = w32::GetTickCount();
    for (;;) {
        MidiTxSlot& slot = p.tx[p.txWrite];
        const uint32_t used = slot.length.load();
        if (!slot.sealed && MIDI_MAX_FRAME_SIZE - used >= n) {
            std::memcpy(slot.data + used, bytes, n);
            slot.length = used + n;
            return 1;
        }
        MidiTxSlot& following = p.tx[next(p.txWrite)];
        if (following.length.load() == 0 && next(p.txWrite) != p.txRead) {
            p.txWrite = next(p.txWrite);
            std::memcpy(following.data, bytes, n);
            following.sealed = false;
            following.length = n;
            return 1;
        }
        if (w32::GetTickCount() - start >= MIDI_RING_FULL_WAIT_MS) {
            std::printf("MIDI: port %u aborting midiGetQueue, txRing full!\r\n", number);
            return 0;
        }
        tx.release(); // the pump drains meanwhile
        waitEmpty(following.length);
        tx.take();
    }
}

int sendBytes(MidiPortHandle port, const uint8_t* bytes, uint32_t n)
{
    Held order(g_txOrderLock);
    Held tx(g_txLock);
    if (port)
        return queueBytes(*port, tx, bytes, n);
    int any = 0;
    for (auto& p : g_ports)
        if (isOpen(p))
            any |= queueBytes(p, tx, bytes, n);
    return any;
}

// ---- parser ----

const char* const kModeNames[8] = {
    "MIDI_CHAN_MODE_ALL_SOUND_OFF_C",  "MIDI_CHAN_MODE_RESET_ALL_CONTROLLERS_C", "MIDI_CHAN_MODE_SET_LOCAL_CONTROL_C",
    "MIDI_CHAN_MODE_ALL_NOTES_OFF_C",  "MIDI_CHAN_MODE_OMNI_MODE_OFF_C",         "MIDI_CHAN_MODE_OMNI_MODE_ON_C",
    "MIDI_CHAN_MODE_MONO_MODE_ON_C",   "MIDI_CHAN_MODE_POLY_MODE_ON_C",
};

void channelMessage(MidiPort& p, uint8_t channel, uint32_t type, uint8_t d1, int16_t d2)
{
    if (MidiChannelCallback cb = p.channelCallback.load())
        cb(&p, channel, type, d1, d2);
}

void abortSysEx(MidiPort& p, uint8_t status, bool anotherStart)
{
    if (p.sysExIdLength == 0)
        return;
    if (anotherStart)
        std::printf("MIDI: port %u received another SysEx start during SysEx id %d:%d:%d len %u, SysEx aborted!\r\n",
                    p.portNumber.load(), p.sysExId[0], p.sysExId[1], p.sysExId[2], p.sysExIdLength);
    else
        std::printf("MIDI: port %u received 8bit byte 0x%02x during SysEx id %d:%d:%d len %u, SysEx aborted!\r\n",
                    p.portNumber.load(), status, p.sysExId[0], p.sysExId[1], p.sysExId[2], p.sysExIdLength);
    p.sysExIdLength = 0;
    p.sysExPayload = nullptr;
}

uint32_t idWord(const MidiPort& p)
{
    return p.sysExIdLength | uint32_t(p.sysExId[0]) << 8 | uint32_t(p.sysExId[1]) << 16 | uint32_t(p.sysExId[2]) << 24;
}

void deliverSysEx(MidiPort& p, const uint8_t* end)
{
    if (MidiSysExCallback cb = p.sysExCallback.load())
        cb(&p, idWord(p), p.sysExPayload, static_cast<uint32_t>(end - p.sysExPayload));
}

// Parses one receive slot. Payload bytes of an open System Exclusive message
// are moved down over the real-time and system common messages that arrived
// inside it, so its payload is contiguous and holds only its own bytes.
void parse(MidiPort& p, uint8_t* data, uint32_t n)
{
    const uint32_t number = p.portNumber.load();
    uint8_t* out = data; // end of the open message's payload
    if (p.sysExIdLength != 0)
        p.sysExPayload = data;
    uint32_t i = 0;
    while (i < n) {
        const uint8_t b = data[i];
        const uint32_t left = n - i - 1; // bytes after this one
        if (b < 0x80) {
            if (p.sysExIdLength != 0)
                *out++ = b;
            ++i;
            continue;
        }
        if (b == 0xF0) {
            abortSysEx(p, b, true);
            ++i;
            if (left == 0) {
                std::printf("MIDI: port %u received SysEx 1 byte id without enough data? %u\r\n", number, left);
                continue;
            }
            const uint8_t id0 = data[i];
            if (id0 & 0x80) {
                std::printf("MIDI: port %u received SysEx with 8bit id 0x%02x\r\n", number, id0);
                continue; // the byte is looked at again as a status
            }
            if (id0 != 0) {
                p.sysExIdLength = 1;
                p.sysExId[0] = id0;
                p.sysExId[1] = p.sysExId[2] = 0;
                ++i;
            } else {
                if (left < 3) {
                    std::printf("MIDI: port %u received SysEx 3 byte id without enough data? %u\r\n", number, left);
                    continue;
                }
                const uint8_t id1 = data[i + 1], id2 = data[i + 2];
                if ((id1 | id2) & 0x80) {
                    std::printf("MIDI: port %u received SysEx with 8bit id1 0x%02x id2 0x%02x\r\n", number, id1, id2);
                    ++i; // the 8-bit byte is looked at again as a status
                    continue;
                }
                p.sysExIdLength = 3;
                p.sysExId[0] = 0;
                p.sysExId[1] = id1;
                p.sysExId[2] = id2;
                i += 3;
            }
            p.sysExPayload = data + i;
            out = data + i;
            continue;
        }
        if (b == 0xF7) {
            ++i;
            if (p.sysExIdLength != 0) {
                deliverSysEx(p, out);
                p.sysExIdLength = 0;
                p.sysExPayload = nullptr;
            } else {
                std::printf("MIDI: port %u received SysEx END without a start?\r\n", number);
            }
            continue;
        }
        switch (b) {
        case 0xF6: channelMessage(p, 0, MIDI_TUNE_REQUEST, 0, 0); ++i; continue;
        case 0xF8: channelMessage(p, 0, MIDI_TIMING_CLOCK, 0, 0); ++i; continue;
        case 0xFA: channelMessage(p, 0, MIDI_START, 0, 0); ++i; continue;
        case 0xFB: channelMessage(p, 0, MIDI_CONTINUE, 0, 0); ++i; continue;
        case 0xFC: channelMessage(p, 0, MIDI_STOP, 0, 0); ++i; continue;
        case 0xFE: channelMessage(p, 0, MIDI_ACTIVE_SENSING, 0, 0); ++i; continue;
        case 0xFF: channelMessage(p, 0, MIDI_RESET, 0, 0); ++i; continue;
        case 0xF1:
        case 0xF3: {
            const char* name = b == 0xF1 ? "TIME CODE" : "SONG SELECT";
            if (left < 1) {
                std::printf("MIDI: port %u received %s without enough data? %u\r\n", number, name, left);
                ++i;
                continue;
            }
            const uint8_t v = data[i + 1];
            i += 2;
            if (v & 0x80) {
                std::printf(b == 0xF1 ? "MIDI: port %u received %s 8bit key 0x%02x\r\n"
                                      : "MIDI: port %u received %s 8bit value 0x%02x\r\n",
                            number, name, v);
                continue;
            }
            if (b == 0xF1)
                channelMessage(p, 0, MIDI_TIME_CODE, v >> 4, v & 0x0F);
            else
                channelMessage(p, 0, MIDI_SONG_SELECT, 0, v);
            continue;
        }
        case 0xF2: {
            if (left < 2) {
                std::printf("MIDI: port %u received POSITION POINTER without enough data? %u\r\n", number, left);
                ++i;
                continue;
            }
            const uint8_t lsb = data[i + 1], msb = data[i + 2];
            i += 3;
            if ((lsb | msb) & 0x80) {
                std::printf("MIDI: port %u received POSITION POINTER 8bit key 0x%02x value 0x%02x\r\n", number, lsb,
                            msb);
                continue;
            }
            channelMessage(p, 0, MIDI_SONG_POSITION, 0, static_cast<int16_t>(msb << 7 | lsb));
            continue;
        }
        default:
            break;
        }
        // Channel statuses and the undefined 0xF4, 0xF5, 0xF9, 0xFD end an open message.
        abortSysEx(p, b, false);
        ++i;
        if (b >= 0xF0)
            continue;
        const uint8_t status = b & 0xF0;
        const uint8_t channel = static_cast<uint8_t>((b & 0x0F) + 1);
        const bool one = status == 0xC0 || status == 0xD0;
        static const char* const names[7] = {"NOTE OFF",       "NOTE ON",          "KEY PRESSURE", "CONTROL CHANGE",
                                             "PROGRAM CHANGE", "CHANNEL PRESSURE", "PITCH BEND"};
        const char* name = names[(status >> 4) - 8];
        const uint32_t need = one ? 1 : 2;
        if (left < need) {
            std::printf("MIDI: port %u received %s without enough data? %u\r\n", number, name, left);
            continue; // only the status byte is consumed
        }
        const uint8_t d1 = data[i];
        const uint8_t d2 = one ? 0 : data[i + 1];
        i += need;
        if (one) {
            if (d1 & 0x80) {
                std::printf("MIDI: port %u received %s 8bit key 0x%02x\r\n", number, name, d1);
                continue;
            }
            channelMessage(p, channel, status == 0xC0 ? MIDI_PROGRAM_CHANGE : MIDI_CHANNEL_PRESSURE, 0, d1);
            continue;
        }
        if ((d1 | d2) & 0x80) {
            std::printf("MIDI: port %u received %s 8bit key 0x%02x value 0x%02x\r\n", number, name, d1, d2);
            continue;
        }
        switch (status) {
        case 0x80: channelMessage(p, channel, MIDI_NOTE_OFF, d1, d2); break;
        case 0x90: channelMessage(p, channel, MIDI_NOTE_ON, d1, d2); break;
        case 0xA0: channelMessage(p, channel, MIDI_KEY_PRESSURE, d1, d2); break;
        case 0xE0: channelMessage(p, channel, MIDI_PITCH_BEND, 0, static_cast<int16_t>((d2 << 7 | d1) - 8192)); break;
        case 0xB0: {
            if (d1 < 120) {
                channelMessage(p, channel, MIDI_CONTROL_CHANGE, d1, d2);
                break;
            }
            const bool ok = d1 == 126 || d2 == 0 || (d1 == 122 && d2 == 127);
            if (!ok) {
                std::printf("MIDI: port %u received %s with value 0x%02x\r\n", number, kModeNames[d1 - 120], d2);
                break;
            }
            static const uint32_t modeTypes[8] = {MIDI_ALL_SOUND_OFF, MIDI_RESET_ALL_CONTROLLERS, MIDI_LOCAL_CONTROL,
                                                  MIDI_ALL_NOTES_OFF, MIDI_OMNI_OFF,              MIDI_OMNI_ON,
                                                  MIDI_MONO_ON,       MIDI_POLY_ON};
            channelMessage(p, channel, modeTypes[d1 - 120], d1, d2);
            break;
        }
        default: break;
        }
    }
    // A message still open goes out in pieces: this slot's part now.
    if (p.sysExIdLength != 0) {
        if (out > p.sysExPayload)
            deliverSysEx(p, out);
        p.sysExPayload = nullptr;
    }
}

bool serviceReceive(MidiPort& p)
{
    uint32_t r = p.rxRead.load();
    // Move past slots a writer has left empty, so the pump never stalls on one.
    while (p.rx[r].length.load() == 0 && r != p.rxWrite.load())
        r = next(r);
    p.rxRead = r;
    MidiRxSlot& slot = p.rx[r];
    if (slot.length.load() == 0)
        return false;
    if (slot.lock->TryLock() == 1) {
        parse(p, slot.data, slot.length.load());
        if (r != p.rxWrite.load())
            p.rxRead = next(r);
        slot.length = 0;
        slot.lock->Unlock();
    }
    return true;
}

bool serviceTransmit(MidiPort& p)
{
    if (!g_txLock || g_txLock->TryLock() != 1)
        return false;
    bool work = false;
    MidiTxSlot& slot = p.tx[p.txRead];
    const uint32_t length = slot.length.load();
    if (length != 0) {
        work = true;
        MidiSendCallback cb = p.sendCallback.load();
        if (!cb || cb(p.portNumber.load(), length, slot.data)) {
            const uint32_t following = next(p.txRead);
            if (p.txRead == p.txWrite)
                p.txWrite = following;
            p.txRead = following;
            slot.sealed = false;
            slot.length = 0;
        }
    }
    g_txLock->Unlock();
    return work;
}

} // namespace

void midiInit()
{
    for (auto& p : g_ports)
        resetPort(p);
}

MidiPortHandle midiOpenPort(uint32_t portNumber)
{
    if (!g_tableLock)
        g_tableLock = new CMutex();
    if (!g_txLock)
        g_txLock = new CMutex();
    if (!g_txOrderLock)
        g_txOrderLock = new CMutex();
    if (portNumber >= MAX_PORTS)
        return nullptr;
    MidiPort& p = g_ports[portNumber];
    if (!isOpen(p)) {
        for (auto& s : p.rx)
            if (!s.lock)
                s.lock = new CMutex();
    }
    p.portNumber = portNumber;
    return &p;
}

int midiClosePort(MidiPortHandle port)
{
    if (!port || !isPort(port))
        return 0;
    port->portNumber = kClosed;
    for (auto& s : port->rx) {
        delete s.lock;
        s.lock = nullptr;
    }
    bool anyOpen = false;
    for (auto& p : g_ports)
        anyOpen |= isOpen(p);
    if (!anyOpen) {
        delete g_txLock;
        g_txLock = nullptr;
        delete g_txOrderLock;
        g_txOrderLock = nullptr;
        delete g_tableLock;
        g_tableLock = nullptr;
    }
    resetPort(*port);
    return 1;
}

uint32_t midiPortNumber(MidiPortHandle port) { return port ? port->portNumber.load() : 0; }

int midiSetChannelCallback(MidiPortHandle port, MidiChannelCallback callback)
{
    if (!port)
        return 0;
    port->channelCallback = callback;
    return 1;
}

int midiSetSysExCallback(MidiPortHandle port, MidiSysExCallback callback)
{
    if (!port)
        return 0;
    port->sysExCallback = callback;
    return 1;
}

int midiSetSendCallback(MidiPortHandle port, MidiSendCallback callback)
{
    if (!port)
        return 0;
    port->sendCallback = callback;
    return 1;
}

int midiSendMessage(MidiPortHandle port, uint8_t channel, MidiMessageType type, uint8_t data1, uint16_t data2)
{
    const uint8_t ch = (channel - 1) & 0x0F;
    const uint8_t d1 = data1 & 0x7F, v = data2 & 0x7F;
    uint8_t b[3];
    uint32_t n = 0;
    auto put = [&](std::initializer_list<uint8_t> bytes) {
        for (uint8_t x : bytes)
            b[n++] = x;
    };
    switch (type) {
    case MIDI_NOTE_OFF: put({uint8_t(0x80 | ch), d1, v}); break;
    case MIDI_NOTE_ON: put({uint8_t(0x90 | ch), d1, v}); break;
    case MIDI_KEY_PRESSURE: put({uint8_t(0xA0 | ch), d1, v}); break;
    case MIDI_CONTROL_CHANGE: put({uint8_t(0xB0 | ch), uint8_t((d1 & 0x70) == 0x70 ? d1 & 0x77 : d1), v}); break;
    case MIDI_PROGRAM_CHANGE: put({uint8_t(0xC0 | ch), v}); break;
    case MIDI_CHANNEL_PRESSURE: put({uint8_t(0xD0 | ch), v}); break;
    case MIDI_PITCH_BEND: put({uint8_t(0xE0 | ch), uint8_t(data2 & 0x7F), uint8_t((data2 >> 7) & 0x7F)}); break;
    case MIDI_ALL_SOUND_OFF: put({uint8_t(0xB0 | ch), 120, 0}); break;
    case MIDI_RESET_ALL_CONTROLLERS: put({uint8_t(0xB0 | ch), 121, 0}); break;
    case MIDI_LOCAL_CONTROL: put({uint8_t(0xB0 | ch), 122, uint8_t(data2 ? 127 : 0)}); break;
    case MIDI_ALL_NOTES_OFF: put({uint8_t(0xB0 | ch), 123, 0}); break;
    case MIDI_OMNI_OFF: put({uint8_t(0xB0 | ch), 124, 0}); break;
    case MIDI_OMNI_ON: put({uint8_t(0xB0 | ch), 125, 0}); break;
    case MIDI_MONO_ON: put({uint8_t(0xB0 | ch), 126, v}); break;
    case MIDI_POLY_ON: put({uint8_t(0xB0 | ch), 127, 0}); break;
    case MIDI_TIME_CODE: put({0xF1, uint8_t((data1 & 7) << 4 | (data2 & 0x0F))}); break;
    case MIDI_SONG_POSITION: put({0xF2, uint8_t(data2 & 0x7F), uint8_t((data2 >> 7) & 0x7F)}); break;
    case MIDI_SONG_SELECT: put({0xF3, v}); break;
    case MIDI_TUNE_REQUEST: put({0xF6}); break;
    case MIDI_TIMING_CLOCK: put({0xF8}); break;
    case MIDI_START: put({0xFA}); break;
    case MIDI_CONTINUE: put({0xFB}); break;
    case MIDI_STOP: put({0xFC}); break;
    case MIDI_ACTIVE_SENSING: put({0xFE}); break;
    case MIDI_RESET: put({0xFF}); break;
    default: return 0;
    }
    return sendBytes(port, b, n);
}

int midiQueueSysEx(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length)
{
    Held order(g_txOrderLock);
    Held tx(g_txLock);
    if (port)
        return midiSendSysEx(port, idWord, payload, length);
    int any = 0;
    for (auto& p : g_ports)
        if (isOpen(p))
            any |= midiSendSysEx(&p, idWord, payload, length);
    return any;
}

int midiSendSysEx(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length)
{
    if (!port) {
        std::printf("MIDI: send SysEx to invalid port handle NULL\r\n");
        return 0;
    }
    MidiPort& p = *port;
    const uint32_t number = p.portNumber.load();
    if (number == kClosed) {
        std::printf("MIDI: port %u aborting midiSendSysEx, port closed!\r\n", number);
        return 0;
    }
    if (length == 0)
        return 1;
    const uint32_t idLength = idWord & 0xFF;
    if (idLength != 1 && idLength != 3) {
        std::printf("MIDI: port %u send SysEx with invalid id length %u\r\n", number, idLength);
        return 0;
    }
    if (!payload) {
        std::printf("MIDI: port %u send SysEx with payload NULL\r\n", number);
        return 0;
    }
    const uint64_t size = uint64_t(idLength) + length + 2;
    if (size > MIDI_MAX_FRAME_SIZE) {
        std::printf("MIDI: port %u send SysEx %u bytes exceeds MIDI_MAX_FRAME_SIZE\r\n", number,
                    static_cast<uint32_t>(size));
        return 0;
    }
    const uint32_t start = w32::GetTickCount();
    MidiTxSlot* slot;
    for (;;) {
        slot = &p.tx[p.txWrite];
        if (slot->length.load() == 0)
            break;
        MidiTxSlot& following = p.tx[next(p.txWrite)];
        if (following.length.load() == 0 && next(p.txWrite) != p.txRead) {
            p.txWrite = next(p.txWrite);
            slot = &following;
            break;
        }
        if (w32::GetTickCount() - start >= MIDI_RING_FULL_WAIT_MS) {
            std::printf("MIDI: port %u send SysEx aborted, txRing full!\r\n", number);
            return 0;
        }
        if (g_txLock->Unlock() == 1) { // the caller's lock: let the pump drain meanwhile
            waitEmpty(following.length);
            g_txLock->Lock();
        } else {
            waitEmpty(following.length);
        }
    }
    uint8_t* d = slot->data;
    uint32_t n = 0;
    d[n++] = 0xF0;
    for (uint32_t k = 0; k < idLength; ++k)
        d[n++] = static_cast<uint8_t>(idWord >> (8 * (k + 1)));
    std::memcpy(d + n, payload, length);
    n += length;
    d[n++] = 0xF7;
    // The frame keeps its slot to itself: short messages after it start the next one.
    slot->sealed = true;
    slot->length = n;
    return 1;
}

int midiRecvPayload(MidiPortHandle port, uint32_t length, const uint8_t* bytes)
{
    if (!port) {
        std::printf("MIDI: received from invalid port handle NULL\r\n");
        return 0;
    }
    MidiPort& p = *port;
    const uint32_t number = p.portNumber.load();
    if (length == 0)
        return 1;
    if (length > MIDI_MAX_FRAME_SIZE) {
        std::printf("MIDI: port %u received %u bytes which exceeds MIDI_MAX_FRAME_SIZE, discarding frame?\r\n", number,
                    length);
        return 0;
    }
    if (number == kClosed || !bytes) {
        std::printf("MIDI: port %u aborting midiRecvPayload, port closed!\r\n", number);
        return 0;
    }
    uint32_t w = p.rxWrite.load();
    MidiRxSlot* slot = &p.rx[w];
    bool locked = false;
    if (slot->length.load() != 0) {
        const bool fresh = bytes[0] == 0xF0 || MIDI_MAX_FRAME_SIZE - slot->length.load() < length;
        if (!fresh)
            locked = slot->lock->TryLock() == 1;
        if (locked && MIDI_MAX_FRAME_SIZE - slot->length.load() < length) {
            slot->lock->Unlock();
            locked = false;
        }
        if (!locked) {
            const uint32_t n = next(w);
            if (n == p.rxRead.load() && !waitEmpty(p.rx[n].length)) {
                std::printf("MIDI: port %u aborting midiRecvPayload, rxRing full!\r\n", number);
                return 0;
            }
            w = n;
            p.rxWrite = w;
            slot = &p.rx[w];
        }
    }
    if (!locked)
        slot->lock->Lock();
    const uint32_t used = slot->length.load();
    if (MIDI_MAX_FRAME_SIZE - used < length) { // the slot filled meanwhile: never past its end
        slot->lock->Unlock();
        std::printf("MIDI: port %u aborting midiRecvPayload, rxRing full!\r\n", number);
        return 0;
    }
    std::memcpy(slot->data + used, bytes, length);
    slot->length = used + length;
    slot->lock->Unlock();
    return 1;
}

bool midiService()
{
    if (!g_tableLock || g_tableLock->TryLock() != 1)
        return false;
    bool work = false;
    for (auto& p : g_ports) {
        if (!isOpen(p))
            continue;
        work |= serviceReceive(p);
        work |= serviceTransmit(p);
    }
    g_tableLock->Unlock();
    return work;
}

bool midiServiceTransmit(MidiPortHandle port)
{
    if (!port || !isOpen(*port))
        return false;
    return serviceTransmit(*port);
}

int midiGetSendPayload(uint32_t portNumber, uint32_t* length, uint8_t** data)
{
    if (portNumber >= MAX_PORTS) {
        std::printf("MIDI: midiGetSendPayload with invalid port %u\r\n", portNumber);
        return 0;
    }
    if (!length || !data) {
        std::printf("MIDI: midiGetSendPayload from invalid length ppData NULL\r\n");
        return 0;
    }
    MidiPort& p = g_ports[portNumber];
    if (!isOpen(p) || !g_txLock || g_txLock->TryLock() != 1)
        return 0;
    int got = 0;
    MidiTxSlot& slot = p.tx[p.txRead];
    if (slot.length.load() != 0 && (p.txRead != p.txWrite || slot.sealed)) {
        *length = slot.length.load();
        *data = slot.data;
        if (p.txRead == p.txWrite)
            p.txWrite = next(p.txWrite);
        p.txRead = next(p.txRead);
        slot.sealed = false;
        slot.length = 0;
        got = 1;
    }
    g_txLock->Unlock();
    return got;
}

void midiFlushReceive(MidiPortHandle port)
{
    if (!port || !isOpen(*port))
        return;
    for (auto& s : port->rx) {
        if (s.lock->TryLock() == 1) { // a slot being parsed now is left to the pump
            s.length = 0;
            s.lock->Unlock();
        }
    }
    port->rxRead = port->rxWrite.load();
}

uint32_t midiDropTransmit(MidiPortHandle port)
{
    if (!port || !isOpen(*port))
        return 0;
    Held tx(g_txLock);
    uint32_t dropped = 0;
    for (auto& s : port->tx) {
        dropped += s.length.load() != 0;
        s.length = 0;
        s.sealed = false;
    }
    port->txRead = port->txWrite;
    return dropped;
}

void midiFlushPort(MidiPortHandle port)
{
    if (!port || !isOpen(*port))
        return;
    midiFlushReceive(port);
    midiDropTransmit(port);
}

uint32_t midiTransmitPending(MidiPortHandle port)
{
    if (!port)
        return 0;
    uint32_t n = 0;
    for (auto& s : port->tx)
        n += s.length.load() != 0;
    return n;
}

uint32_t midiReceivePending(MidiPortHandle port)
{
    if (!port)
        return 0;
    uint32_t n = 0;
    for (auto& s : port->rx)
        n += s.length.load() != 0;
    return n;
}
