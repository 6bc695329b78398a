#include "mixer/midi/midi_framing.h"

#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> g_events;
std::vector<Bytes> g_sent;
bool g_sendOk = true;

std::string hex(const uint8_t* b, uint32_t n)
{
    std::string s;
    char buf[4];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

void onChannel(MidiPortHandle, uint8_t channel, uint32_t type, uint8_t d1, int16_t d2)
{
    g_events.push_back("ch" + std::to_string(channel) + " t" + std::to_string(type) + " " + std::to_string(d1) + " " +
                       std::to_string(d2));
}

void onSysEx(MidiPortHandle, uint32_t id, const uint8_t* payload, uint32_t n)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", id);
    g_events.push_back(std::string("sysex ") + buf + " [" + hex(payload, n) + "]");
}

bool onSend(uint32_t, uint32_t n, const uint8_t* data)
{
    if (!g_sendOk)
        return false;
    g_sent.emplace_back(data, data + n);
    return true;
}

class Framing : public ::testing::Test {
protected:
    w32::VirtualClock clock{0, true};
    MidiPortHandle port = nullptr;

    void SetUp() override
    {
        w32::setClock(&clock);
        g_events.clear();
        g_sent.clear();
        g_sendOk = true;
        midiInit();
        port = midiOpenPort(0);
        ASSERT_NE(port, nullptr);
        midiSetChannelCallback(port, &onChannel);
        midiSetSysExCallback(port, &onSysEx);
        midiSetSendCallback(port, &onSend);
    }
    void TearDown() override
    {
        midiClosePort(port);
        w32::setClock(nullptr);
    }
    void pump()
    {
        for (int i = 0; i < 200 && midiService(); ++i) {
        }
    }
    // Feeds chunks, each parsed before the next arrives, and returns the log.
    std::string receive(std::initializer_list<Bytes> chunks)
    {
        testing::internal::CaptureStdout();
        for (const Bytes& c : chunks) {
            EXPECT_EQ(midiRecvPayload(port, static_cast<uint32_t>(c.size()), c.data()), 1);
            pump();
        }
        return testing::internal::GetCapturedStdout();
    }
};

struct ParseCase {
    const char* name;
    std::vector<Bytes> chunks;
    std::vector<std::string> events;
    const char* log; // a part of what is printed, "" for nothing
};

class ParserTable : public Framing, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParserTable, Parses)
{
    const ParseCase& c = GetParam();
    testing::internal::CaptureStdout();
    for (const Bytes& chunk : c.chunks) {
        ASSERT_EQ(midiRecvPayload(port, static_cast<uint32_t>(chunk.size()), chunk.data()), 1);
        pump();
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(g_events, c.events);
    if (*c.log)
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
    else
        EXPECT_EQ(log, "");
}

const ParseCase kParseCases[] = {
    {"NoteOnVelocityZeroStaysNoteOn", {{0x90, 0x40, 0x00}}, {"ch1 t1 64 0"}, ""},
    {"NoteOffShort", {{0x80, 0x40}}, {}, "MIDI: port 0 received NOTE OFF without enough data? 1\r\n"},
    {"StatusAsDataDropsBoth", {{0x80, 0x90, 0x40, 0x01}}, {}, "received NOTE OFF 8bit key 0x90 value 0x40\r\n"},
    {"EightBitData", {{0xB2, 0x07, 0x85}}, {}, "received CONTROL CHANGE 8bit key 0x07 value 0x85\r\n"},
    {"ProgramChange", {{0xC5, 0x10}}, {"ch6 t4 0 16"}, ""},
    {"ChannelPressure8bit", {{0xD0, 0x90}}, {}, "received CHANNEL PRESSURE 8bit key 0x90\r\n"},
    {"ControlChange", {{0xBF, 0x07, 0x64}}, {"ch16 t3 7 100"}, ""},
    {"AllNotesOffWithValueRefused", {{0xB0, 123, 5}}, {}, "received MIDI_CHAN_MODE_ALL_NOTES_OFF_C with value 0x05\r\n"},
    {"AllNotesOff", {{0xB0, 123, 0}}, {"ch1 t10 123 0"}, ""},
    {"AllSoundOff", {{0xB0, 120, 0}}, {"ch1 t7 120 0"}, ""},
    {"ResetAllControllersRefused", {{0xB0, 121, 1}}, {}, "MIDI_CHAN_MODE_RESET_ALL_CONTROLLERS_C with value 0x01"},
    {"LocalControlOn", {{0xB0, 122, 127}}, {"ch1 t9 122 127"}, ""},
    {"LocalControlOddValue", {{0xB0, 122, 64}}, {}, "MIDI_CHAN_MODE_SET_LOCAL_CONTROL_C with value 0x40"},
    {"OmniOff", {{0xB0, 124, 0}}, {"ch1 t11 124 0"}, ""},
    {"OmniOnRefused", {{0xB0, 125, 9}}, {}, "MIDI_CHAN_MODE_OMNI_MODE_ON_C with value 0x09"},
    {"MonoOnAnyValue", {{0xB0, 126, 5}}, {"ch1 t13 126 5"}, ""},
    {"PolyOnRefused", {{0xB0, 127, 1}}, {}, "MIDI_CHAN_MODE_POLY_MODE_ON_C with value 0x01"},
    {"PitchBendCentre", {{0xE0, 0x00, 0x40}}, {"ch1 t6 0 0"}, ""},
    {"PitchBendEnds", {{0xE3, 0x7F, 0x7F, 0xE3, 0x00, 0x00}}, {"ch4 t6 0 8191", "ch4 t6 0 -8192"}, ""},
    {"SystemCommon", {{0xF1, 0x35, 0xF2, 0x01, 0x02, 0xF3, 0x05, 0xF6}},
     {"ch0 t15 3 5", "ch0 t16 0 257", "ch0 t17 0 5", "ch0 t18 0 0"}, ""},
    {"SongSelect8bit", {{0xF3, 0x85}}, {}, "received SONG SELECT 8bit value 0x85\r\n"},
    {"RealTime", {{0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF}},
     {"ch0 t19 0 0", "ch0 t20 0 0", "ch0 t21 0 0", "ch0 t22 0 0", "ch0 t23 0 0", "ch0 t24 0 0"}, ""},
    {"StrayDataAndUndefinedSkipped", {{0x05, 0xF4, 0xF9, 0x90, 0x01, 0x02}}, {"ch1 t1 1 2"}, ""},
    {"SysExThreeByteId", {{0xF0, 0x00, 0x00, 0x4E, 0x71, 0x01, 0x02, 0xF7}}, {"sysex 4E000003 [71 01 02]"}, ""},
    {"SysExOneByteId", {{0xF0, 0x7D, 0x01, 0xF7}}, {"sysex 00007D01 [01]"}, ""},
    {"RealTimeInsideSysEx", {{0xF0, 0x00, 0x00, 0x4E, 0x01, 0xF8, 0x02, 0xF7}},
     {"ch0 t19 0 0", "sysex 4E000003 [01 02]"}, ""},
    {"ChannelStatusAbortsSysEx", {{0xF0, 0x00, 0x00, 0x4E, 0x01, 0x90, 0x40, 0x7F}}, {"ch1 t1 64 127"},
     "received 8bit byte 0x90 during SysEx id 0:0:78 len 3, SysEx aborted!\r\n"},
    {"SysExStartAbortsSysEx", {{0xF0, 0x7D, 0x01, 0xF0, 0x7E, 0x02, 0xF7}}, {"sysex 00007E01 [02]"},
     "received another SysEx start during SysEx id 125:0:0 len 1, SysEx aborted!"},
    {"EndWithoutStart", {{0xF7}}, {}, "MIDI: port 0 received SysEx END without a start?\r\n"},
    {"EightBitId", {{0xF0, 0x90, 0x40, 0x01}}, {"ch1 t1 64 1"}, "received SysEx with 8bit id 0x90\r\n"},
    {"ShortThreeByteId", {{0xF0, 0x00, 0x00}}, {}, "received SysEx 3 byte id without enough data? 2\r\n"},
    {"LoneStart", {{0xF0}}, {}, "received SysEx 1 byte id without enough data? 0\r\n"},
    {"SysExAcrossSlots", {{0xF0, 0x00, 0x00, 0x4E, 0x01, 0x02}, {0x03, 0xF8, 0x04, 0xF7}},
     {"sysex 4E000003 [01 02]", "ch0 t19 0 0", "sysex 4E000003 [03 04]"}, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, ParserTable, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Framing, ShortMessagesShareASlotAndSysExTakesItsOwn)
{
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(midiSendMessage(port, 2, MIDI_CONTROL_CHANGE, 7, static_cast<uint16_t>(i)), 1);
    const uint8_t payload[] = {0x70};
    ASSERT_EQ(midiQueueSysEx(port, 0x4E000003, payload, 1), 1);
    ASSERT_EQ(midiSendMessage(port, 2, MIDI_CONTROL_CHANGE, 8, 1), 1);
    pump();
    ASSERT_EQ(g_sent.size(), 3u);
    EXPECT_EQ(g_sent[0].size(), 120u);
    EXPECT_EQ(Bytes(g_sent[0].begin(), g_sent[0].begin() + 6), (Bytes{0xB1, 7, 0, 0xB1, 7, 1}));
    EXPECT_EQ(g_sent[1], (Bytes{0xF0, 0x00, 0x00, 0x4E, 0x70, 0xF7}));
    EXPECT_EQ(g_sent[2], (Bytes{0xB1, 8, 1}));
}

TEST_F(Framing, BuildersProduceTheirBytes)
{
    struct Case {
        uint8_t channel;
        MidiMessageType type;
        uint8_t d1;
        uint16_t d2;
        Bytes bytes;
    };
    const Case cases[] = {
        {1, MIDI_NOTE_OFF, 0x40, 0x81, {0x80, 0x40, 0x01}},
        {16, MIDI_NOTE_ON, 0xC0, 0x7F, {0x9F, 0x40, 0x7F}},
        {3, MIDI_CONTROL_CHANGE, 120, 1, {0xB2, 112, 1}},
        {3, MIDI_CONTROL_CHANGE, 127, 1, {0xB2, 119, 1}},
        {3, MIDI_CONTROL_CHANGE, 0x6F, 1, {0xB2, 0x6F, 1}},
        {1, MIDI_PROGRAM_CHANGE, 9, 5, {0xC0, 5}},
        {1, MIDI_PITCH_BEND, 0, 8192, {0xE0, 0x00, 0x40}},
        {1, MIDI_PITCH_BEND, 0, 16383, {0xE0, 0x7F, 0x7F}},
        {1, MIDI_LOCAL_CONTROL, 0, 3, {0xB0, 122, 127}},
        {1, MIDI_MONO_ON, 0, 0x84, {0xB0, 126, 4}},
        {1, MIDI_POLY_ON, 0, 9, {0xB0, 127, 0}},
        {5, MIDI_TIME_CODE, 0x0B, 0x1F, {0xF1, 0x3F}},
        {1, MIDI_SONG_POSITION, 0, 257, {0xF2, 0x01, 0x02}},
        {1, MIDI_SONG_SELECT, 0, 0x85, {0xF3, 0x05}},
        {1, MIDI_RESET, 0, 0, {0xFF}},
    };
    for (const Case& c : cases) {
        g_sent.clear();
        ASSERT_EQ(midiSendMessage(port, c.channel, c.type, c.d1, c.d2), 1);
        pump();
        ASSERT_EQ(g_sent.size(), 1u);
        EXPECT_EQ(g_sent[0], c.bytes) << "type " << c.type;
    }
    EXPECT_EQ(midiSendMessage(port, 1, 25, 0, 0), 0);
}

TEST_F(Framing, SysExFrameLimits)
{
    std::vector<uint8_t> payload(1024 - 3 - 2, 0x11);
    EXPECT_EQ(midiQueueSysEx(port, 0x4E000003, payload.data(), static_cast<uint32_t>(payload.size())), 1);
    payload.push_back(0x11);
    testing::internal::CaptureStdout();
    EXPECT_EQ(midiQueueSysEx(port, 0x4E000003, payload.data(), static_cast<uint32_t>(payload.size())), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MIDI: port 0 send SysEx 1025 bytes exceeds MIDI_MAX_FRAME_SIZE\r\n");
    EXPECT_EQ(midiQueueSysEx(port, 0x4E000003, payload.data(), 0), 1);
    pump();
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].size(), 1024u);
}

TEST_F(Framing, FullTransmitRingFailsAfterTheWait)
{
    const uint8_t payload[] = {0x01};
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(midiQueueSysEx(port, 0x4E000003, payload, 1), 1);
    const uint64_t before = clock.now64();
    testing::internal::CaptureStdout();
    EXPECT_EQ(midiQueueSysEx(port, 0x4E000003, payload, 1), 0);
    EXPECT_EQ(midiSendMessage(port, 1, MIDI_NOTE_ON, 1, 1), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_GE(clock.now64() - before, 300u);
    EXPECT_NE(log.find("MIDI: port 0 send SysEx aborted, txRing full!\r\n"), std::string::npos);
    EXPECT_NE(log.find("MIDI: port 0 aborting midiGetQueue, txRing full!\r\n"), std::string::npos);
    pump();
    EXPECT_EQ(g_sent.size(), 32u);
}

TEST_F(Framing, FailedSendIsOfferedAgain)
{
    midiSendMessage(port, 1, MIDI_NOTE_ON, 1, 1);
    g_sendOk = false;
    EXPECT_TRUE(midiService());
    EXPECT_TRUE(midiService());
    g_sendOk = true;
    pump();
    EXPECT_EQ(g_sent, std::vector<Bytes>{Bytes({0x90, 1, 1})});
}

// A sender waiting for a full ring is not overtaken by a later sender whose
// short message would still fit into the slot being filled.
TEST_F(Framing, FullRingKeepsOrder)
{
    for (uint8_t i = 0; i < 31; ++i)
        ASSERT_EQ(midiQueueSysEx(port, 0x4E000003, &i, 1), 1);
    ASSERT_EQ(midiSendMessage(port, 1, MIDI_CONTROL_CHANGE, 1, 1), 1); // slot 31, room left
    clock.setAutoAdvance(false);
    const uint8_t big[] = {0x55};
    std::atomic<int> a{-1}, b{-1};
    std::thread first([&] { a = midiQueueSysEx(port, 0x4E000003, big, 1); }); // needs an empty slot: waits
    for (int i = 0; i < 2000 && clock.blockedCount() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread second([&] { b = midiSendMessage(port, 1, MIDI_CONTROL_CHANGE, 2, 2); });
    for (int i = 0; i < 2000 && clock.blockedCount() < 2; ++i) // behind the first, on the order lock
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pump(); // the pump drains while both wait
    clock.setAutoAdvance(true);
    first.join();
    second.join();
    pump();
    ASSERT_EQ(a.load(), 1);
    ASSERT_EQ(b.load(), 1);
    ASSERT_EQ(g_sent.size(), 34u);
    for (uint8_t i = 0; i < 31; ++i)
        EXPECT_EQ(g_sent[i], (Bytes{0xF0, 0, 0, 0x4E, i, 0xF7}));
    EXPECT_EQ(g_sent[31], (Bytes{0xB0, 1, 1}));
    EXPECT_EQ(g_sent[32], (Bytes{0xF0, 0, 0, 0x4E, 0x55, 0xF7}));
    EXPECT_EQ(g_sent[33], (Bytes{0xB0, 2, 2}));
}

TEST_F(Framing, ReceivedChunkLimitsAndClosedPort)
{
    std::vector<uint8_t> big(1025, 0x90);
    testing::internal::CaptureStdout();
    EXPECT_EQ(midiRecvPayload(port, 1025, big.data()), 0);
    EXPECT_EQ(midiRecvPayload(nullptr, 1, big.data()), 0);
    EXPECT_EQ(midiRecvPayload(port, 0, big.data()), 1);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("MIDI: port 0 received 1025 bytes which exceeds MIDI_MAX_FRAME_SIZE, discarding frame?\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("MIDI: received from invalid port handle NULL\r\n"), std::string::npos);
    EXPECT_EQ(midiReceivePending(port), 0u);
}

TEST_F(Framing, EachReceivedSysExStartsASlot)
{
    const Bytes a{0x90, 1, 1}, s{0xF0, 0x7D, 1, 0xF7}, b{0x90, 2, 2};
    midiRecvPayload(port, 3, a.data());
    midiRecvPayload(port, 3, b.data());
    EXPECT_EQ(midiReceivePending(port), 1u);
    midiRecvPayload(port, 4, s.data());
    EXPECT_EQ(midiReceivePending(port), 2u);
    pump();
    EXPECT_EQ(g_events, (std::vector<std::string>{"ch1 t1 1 1", "ch1 t1 2 2", "sysex 00007D01 [01]"}));
}

// A writer that moved on while the pump parsed can leave the read slot empty
// behind a later slot with data: the pump must move past it.
TEST_F(Framing, ReceiveRingDoesNotStallOnAnEmptySlot)
{
    const Bytes a{0x90, 1, 1};
    port->rxRead = 5;
    port->rxWrite = 6;
    port->rx[6].data[0] = 0x90;
    port->rx[6].data[1] = 3;
    port->rx[6].data[2] = 3;
    port->rx[6].length = 3;
    pump();
    EXPECT_EQ(g_events, std::vector<std::string>{"ch1 t1 3 3"});
    midiRecvPayload(port, 3, a.data());
    pump();
    EXPECT_EQ(g_events.back(), "ch1 t1 1 1");
}

TEST_F(Framing, ChunkArrivingWhileTheSlotIsParsedGoesToTheNextSlot)
{
    static MidiPortHandle s_port;
    s_port = port;
    midiSetChannelCallback(port, [](MidiPortHandle p, uint8_t, uint32_t type, uint8_t d1, int16_t d2) {
        onChannel(p, 1, type, d1, d2);
        if (d1 == 1) { // a writer on another thread while this slot is locked
            std::thread([] {
                const Bytes b{0x90, 2, 2};
                midiRecvPayload(s_port, 3, b.data());
            }).join();
        }
    });
    const Bytes a{0x90, 1, 1};
    midiRecvPayload(port, 3, a.data());
    pump();
    EXPECT_EQ(g_events, (std::vector<std::string>{"ch1 t1 1 1", "ch1 t1 2 2"}));
    EXPECT_EQ(midiReceivePending(port), 0u);
}

TEST_F(Framing, ClosedPortRefuses)
{
    midiClosePort(port);
    testing::internal::CaptureStdout();
    const uint8_t b[] = {0x90, 1, 1};
    EXPECT_EQ(midiRecvPayload(port, 3, b), 0);
    EXPECT_EQ(midiClosePort(reinterpret_cast<MidiPortHandle>(&clock)), 0);
    EXPECT_EQ(midiOpenPort(1), nullptr);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("aborting midiRecvPayload, port closed!"), std::string::npos);
    port = midiOpenPort(0);
}

TEST_F(Framing, PullTakesOnlyFinishedFrames)
{
    uint32_t n = 0;
    uint8_t* data = nullptr;
    midiSendMessage(port, 1, MIDI_NOTE_ON, 1, 1);
    EXPECT_EQ(midiGetSendPayload(0, &n, &data), 0); // still being filled
    const uint8_t p[] = {0x70};
    midiQueueSysEx(port, 0x4E000003, p, 1);
    ASSERT_EQ(midiGetSendPayload(0, &n, &data), 1);
    EXPECT_EQ(Bytes(data, data + n), (Bytes{0x90, 1, 1}));
    ASSERT_EQ(midiGetSendPayload(0, &n, &data), 1);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(midiGetSendPayload(0, &n, &data), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(midiGetSendPayload(1, &n, &data), 0);
    EXPECT_EQ(midiGetSendPayload(0, nullptr, &data), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MIDI: midiGetSendPayload with invalid port 1\r\nMIDI: midiGetSendPayload from invalid length ppData NULL\r\n");
}

TEST_F(Framing, FlushEmptiesBothRings)
{
    midiSendMessage(port, 1, MIDI_NOTE_ON, 1, 1);
    const uint8_t b[] = {0x90, 1, 1};
    midiRecvPayload(port, 3, b);
    midiFlushPort(port);
    EXPECT_EQ(midiTransmitPending(port), 0u);
    EXPECT_EQ(midiReceivePending(port), 0u);
    EXPECT_FALSE(midiService());
    midiSendMessage(port, 1, MIDI_NOTE_ON, 2, 2);
    pump();
    EXPECT_EQ(g_sent, std::vector<Bytes>{Bytes({0x90, 2, 2})});
}

} // namespace
