// Discovery, reception and the senders of the device service over the
// simulated MIDI bus, against the simulated mixer.
#include "mixer/midi/midi_service.h"
#include "eventually.h"
#include "paced_clock.h"

#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_mixer_bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace Orvo;
using orvo::sim::MidiBus;
using orvo::sim::MidiMixer;
using orvo::sim::MidiMixerConfig;
using orvo::sim::MidiMixerOnBus;
using Bytes = std::vector<uint8_t>;

using orvo::testing::eventually;

namespace {

MidiMixerConfig mixerConfig(uint32_t serial, const std::string& portName = "", bool twoPorts = false)
{
    MidiMixerConfig c;
    c.serialNumber = serial;
    c.portName = portName;
    c.twoPorts = twoPorts;
    return c;
}

// What the listeners heard.
struct Heard {
    struct DeviceEvent {
        MidiDevice* device;
        uint8_t state;
        DeviceIdentity identity;
    };
    std::mutex mutex;
    std::vector<DeviceEvent> devices;
    std::vector<Bytes> sysex;
    std::vector<std::tuple<uint8_t, int, uint8_t, short>> channel;
    std::function<void(Midi*, MidiPortPair*, const Bytes&)> onSysEx; // reacts on the service thread

    static void device(Midi*, MidiDevice* d, void* self)
    {
        auto* h = static_cast<Heard*>(self);
        std::lock_guard lock(h->mutex);
        // A removed record is deleted after the listeners: keep no reference but the address.
        h->devices.push_back({d, d->state, d->descriptor.identity()});
    }
    static void sysEx(Midi* m, MidiPortPair* pair, uint32_t id, const uint8_t* p, int n, void* self)
    {
        auto* h = static_cast<Heard*>(self);
        if (id != kMixerSysExId)
            return;
        const Bytes payload(p, p + n);
        std::function<void(Midi*, MidiPortPair*, const Bytes&)> react;
        {
            std::lock_guard lock(h->mutex);
            h->sysex.push_back(payload);
            react = h->onSysEx;
        }
        if (react)
            react(m, pair, payload);
    }
    static void channelMessage(Midi*, MidiPortPair*, uint8_t ch, int type, uint8_t d1, short d2, void* self)
    {
        auto* h = static_cast<Heard*>(self);
        std::lock_guard lock(h->mutex);
        h->channel.emplace_back(ch, type, d1, d2);
    }
    size_t sysexCount()
    {
        std::lock_guard lock(mutex);
        return sysex.size();
    }
    size_t deviceEvents()
    {
        std::lock_guard lock(mutex);
        return devices.size();
    }
    std::vector<DeviceEvent> takeDevices()
    {
        std::lock_guard lock(mutex);
        return std::move(devices);
    }
    std::vector<Bytes> takeSysEx()
    {
        std::lock_guard lock(mutex);
        return std::move(sysex);
    }
};

class Discovery : public ::testing::Test {
protected:
    orvo::testing::PacedClock paced; // first made, last gone
    void SetUp() override
    {
        bus.setPortsChangedHook(nullptr); // the tests ask for each rescan themselves
        Midi::SetPortFactory(&bus);
        midi = Midi::GetInstance();
        midi->AddDeviceListener(&Heard::device, &heard);
        midi->AddSysExListener(&Heard::sysEx, &heard);
        midi->AddMessageListener(&Heard::channelMessage, &heard);
    }
    void TearDown() override
    {
        Midi::DestroyInstance();
        Midi::SetPortFactory(nullptr);
    }
    // One rescan, and the device events it brings.
    std::vector<Heard::DeviceEvent> rescan(size_t expectedEvents)
    {
        midi->RequestRescan(true);
        EXPECT_TRUE(eventually([&] { return heard.deviceEvents() >= expectedEvents; })) << expectedEvents;
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // nothing more is coming
        return heard.takeDevices();
    }

    MidiBus bus;
    Heard heard;
    Midi* midi = nullptr;
};

TEST_F(Discovery, PlugUnplugReplugOneMixer)
{
    MidiMixer mixer(mixerConfig(123456789));
    MidiMixerOnBus attached(bus, mixer);
    auto events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, kDeviceApplication);
    EXPECT_EQ(events[0].identity, (DeviceIdentity{kUsbIdFirstModel, 123456789, 'A'}));
    ASSERT_EQ(midi->DeviceCount(), 1u);
    MidiDevice* d = midi->DeviceAt(0);
    EXPECT_EQ(d->descriptor.versionText(), "1.0.5");
    EXPECT_EQ(d->descriptor.name(), "QX1600");
    EXPECT_EQ(d->portPair.load()->inputName, "QX1600");

    mixer.setPlugged(false);
    events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].device, d);
    EXPECT_EQ(events[0].state, kDeviceRemoved);
    EXPECT_EQ(midi->DeviceCount(), 0u);

    mixer.setPlugged(true);
    events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, kDeviceApplication);
    EXPECT_EQ(midi->DeviceCount(), 1u);
}

TEST_F(Discovery, UnplugOneOfTwoMixers)
{
    MidiMixer first(mixerConfig(1));
    MidiMixer second(mixerConfig(2, "2- QX1600"));
    MidiMixerOnBus a(bus, first);
    MidiMixerOnBus b(bus, second);
    EXPECT_EQ(rescan(2).size(), 2u);
    MidiDevice* stays = midi->FindDevice(midi->DeviceAt(0)->descriptor.serialNumber() == 2 ? midi->DeviceAt(0)->descriptor
                                                                                             : midi->DeviceAt(1)->descriptor);
    ASSERT_NE(stays, nullptr);
    ASSERT_EQ(stays->descriptor.serialNumber(), 2u);

    first.setPlugged(false); // the second mixer's ports move down one index
    const auto events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].identity.serialNumber, 1u);
    EXPECT_EQ(events[0].state, kDeviceRemoved);
    ASSERT_EQ(midi->DeviceCount(), 1u);
    EXPECT_EQ(midi->DeviceAt(0), stays);
    EXPECT_EQ(stays->state, kDeviceApplication);
    EXPECT_EQ(stays->portPair.load()->inputIndex, 0u);

    first.setPlugged(true);
    EXPECT_EQ(rescan(1).size(), 1u);
    EXPECT_EQ(midi->DeviceCount(), 2u);
}

TEST_F(Discovery, BothPortsOfOneMixerAreTwoDevices)
{
    MidiMixer mixer(mixerConfig(7, "", true));
    MidiMixerOnBus attached(bus, mixer);
    const auto events = rescan(2);
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(midi->DeviceCount(), 2u);
    MidiDevice* a = midi->DeviceAt(0);
    MidiDevice* b = midi->DeviceAt(1);
    EXPECT_EQ(a->descriptor.portLetter(), 'A');
    EXPECT_EQ(b->descriptor.portLetter(), 'B');
    EXPECT_EQ(a->descriptor.serialNumber(), b->descriptor.serialNumber());
    EXPECT_NE(a->portPair, b->portPair);
    EXPECT_EQ(b->portPair.load()->inputName, "QX1600 B");

    mixer.setPortPlugged(1, false); // the other computer's cable comes out
    const auto gone = rescan(1);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].identity.portLetter, 'B');
    EXPECT_EQ(midi->DeviceCount(), 1u);
}

TEST_F(Discovery, SilentExcludedAndLateMixers)
{
    MidiMixer silent(mixerConfig(1, "Silent"));
    silent.setSilent(true);
    MidiMixerConfig other = mixerConfig(2, "my korva-tan");
    MidiMixer excluded(other);
    MidiMixer late(mixerConfig(3, "Late"));
    late.setReplyDelay(250);
    MidiMixerOnBus s(bus, silent), e(bus, excluded), l(bus, late);
    const auto events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].identity.serialNumber, 3u);
    EXPECT_EQ(silent.queriesSeen(0), 10u);
    EXPECT_EQ(excluded.queriesSeen(0), 0u);
    // Found after its first answer came in: three more queries, not ten.
    EXPECT_LT(late.queriesSeen(0), 10u);
    EXPECT_GE(late.queriesSeen(0), 4u);
}

TEST_F(Discovery, RestartedIntoItsBootloaderByOtherMeans)
{
    MidiMixer mixer(mixerConfig(11));
    MidiMixerOnBus attached(bus, mixer);
    rescan(1);
    MidiDevice* d = midi->DeviceAt(0);
    // The mixer restarts: its ports go, and come back from the bootloader.
    mixer.setPlugged(false);
    mixer.setBootloaderRunning(true);
    rescan(1);
    mixer.setPlugged(true);
    auto events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, kDeviceBootloader); // no update of ours runs: not "updating"
    // Back in the application: the same record.
    ASSERT_EQ(midi->DeviceCount(), 1u);
    d = midi->DeviceAt(0);
    mixer.setBootloaderRunning(false);
    midi->Pairs().replace({}); // the next scan sees a changed list, as after a re-enumeration
    events = rescan(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].device, d);
    EXPECT_EQ(events[0].state, kDeviceApplication);
}

TEST_F(Discovery, MalformedDescriptorsMakeNoRecord)
{
    MidiMixer shortOne(mixerConfig(1, "Short"));
    shortOne.setMalformed(MidiMixer::Malformed::ShortDescriptor);
    MidiMixer broken(mixerConfig(2, "Broken"));
    broken.setMalformed(MidiMixer::Malformed::BrokenFrame);
    MidiMixerOnBus a(bus, shortOne), b(bus, broken);
    EXPECT_TRUE(rescan(0).empty());
    EXPECT_EQ(midi->DeviceCount(), 0u);
    EXPECT_EQ(shortOne.queriesSeen(0), 10u);
}

TEST_F(Discovery, OwnRepliesOnlyWhileTheFlagIsSet)
{
    MidiMixer mixer(mixerConfig(5));
    MidiMixerOnBus attached(bus, mixer);
    PortPairList::Pairs pairs;
    pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{0, "QX1600", 0, "QX1600"}));
    midi->Pairs().replace(std::move(pairs));
    MidiPortPair* pair = midi->PortPairAt(0);

    // Flag clear: the descriptor reaches the SysEx listeners and makes no record.
    const uint8_t query = 'p';
    ASSERT_TRUE(midi->SendSysEx(pair, kMixerSysExId, &query, 1));
    ASSERT_TRUE(eventually([&] { return heard.sysexCount() > 0; }));
    auto got = heard.takeSysEx();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 56u);
    EXPECT_EQ(got[0][0], 'q');
    EXPECT_EQ(midi->DeviceCount(), 0u);

    // Flag set: the settings reply is dropped.
    midi->Protocol().setActive(true);
    const uint8_t ask = 0x07;
    ASSERT_TRUE(midi->SendSysEx(pair, kMixerSysExId, &ask, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(heard.takeSysEx().empty());
    midi->Protocol().setActive(false);
    ASSERT_TRUE(midi->SendSysEx(pair, kMixerSysExId, &ask, 1));
    ASSERT_TRUE(eventually([&] { return heard.sysexCount() > 0; }));
    EXPECT_EQ(heard.takeSysEx().at(0), (Bytes{0x08, 1}));
}

TEST_F(Discovery, SettingsReadReturnsEveryValue)
{
    MidiMixerConfig c = mixerConfig(9);
    c.channel = 4;
    MidiMixer mixer(c);
    mixer.setParameter('O', 99);
    MidiMixerOnBus attached(bus, mixer);
    rescan(1);
    MidiPortPair* pair = midi->DeviceAt(0)->portPair;
    // As the model does: 07, and 05 from the listener once 08 ch is in.
    heard.onSysEx = [](Midi* m, MidiPortPair* p, const Bytes& payload) {
        if (payload.size() >= 2 && payload[0] == 0x08) {
            const uint8_t values = 0x05;
            m->SendSysEx(p, kMixerSysExId, &values, 1);
        }
    };
    ASSERT_TRUE(midi->OpenDevice(pair));
    const uint8_t ask = 0x07;
    ASSERT_TRUE(midi->SendSysEx(pair, kMixerSysExId, &ask, 1));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(heard.mutex);
        return !heard.sysex.empty() && heard.sysex.back() == Bytes{0x06};
    }));
    std::lock_guard lock(heard.mutex);
    EXPECT_EQ(heard.sysex.front(), (Bytes{0x08, 4}));
    std::vector<std::tuple<uint8_t, int, uint8_t, short>> expected;
    for (const auto& [key, value] : mixer.parameters())
        expected.emplace_back(4, MIDI_CONTROL_CHANGE, key, value);
    EXPECT_EQ(heard.channel, expected);
}

// The 27 senders, each producing exactly its bytes on the wire.
struct Wire {
    std::mutex mutex;
    Bytes bytes;
    void add(const uint8_t* p, size_t n)
    {
        std::lock_guard lock(mutex);
        bytes.insert(bytes.end(), p, p + n);
    }
    Bytes take()
    {
        std::lock_guard lock(mutex);
        return std::move(bytes);
    }
    size_t size()
    {
        std::lock_guard lock(mutex);
        return bytes.size();
    }
};

class Senders : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus.setPortsChangedHook(nullptr);
        for (int i = 0; i < 2; ++i) {
            const std::string name = i == 0 ? "Mixer" : "Other";
            bus.addInputPort(name);
            bus.addOutputPort(name, [this, i](const uint8_t* p, size_t n) { wire[i].add(p, n); });
        }
        Midi::SetPortFactory(&bus);
        midi = Midi::GetInstance();
        PortPairList::Pairs pairs;
        pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{0, "Mixer", 0, "Mixer"}));
        pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{1, "Other", 1, "Other"}));
        midi->Pairs().replace(std::move(pairs));
        pair = midi->PortPairAt(0);
        other = midi->PortPairAt(1);
    }
    void TearDown() override
    {
        Midi::DestroyInstance();
        Midi::SetPortFactory(nullptr);
    }
    Bytes sent(size_t port, size_t count)
    {
        EXPECT_TRUE(eventually([&] { return wire[port].size() >= count; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return wire[port].take();
    }

    MidiBus bus;
    Wire wire[2];
    Midi* midi = nullptr;
    MidiPortPair* pair = nullptr;
    MidiPortPair* other = nullptr;
};

struct SenderCase {
    const char* name;
    std::function<bool(Midi*, MidiPortPair*)> send;
    Bytes bytes;
};

TEST_F(Senders, EachSendsExactlyItsBytes)
{
    const uint8_t payload[] = {0x0B, 0x03};
    const std::vector<SenderCase> table{
        {"NoteOff", [](Midi* m, MidiPortPair* p) { return m->SendNoteOff(p, 1, 60, 0x85); }, {0x80, 60, 0x05}},
        {"NoteOn", [](Midi* m, MidiPortPair* p) { return m->SendNoteOn(p, 16, 61, 100); }, {0x9F, 61, 100}},
        {"KeyPressure", [](Midi* m, MidiPortPair* p) { return m->SendKeyPressure(p, 3, 62, 7); }, {0xA2, 62, 7}},
        {"ControlChange", [](Midi* m, MidiPortPair* p) { return m->SendControlChange(p, 2, 'O', 99); },
         {0xB1, 'O', 99}},
        {"ControlChange 121 goes as 113", [](Midi* m, MidiPortPair* p) { return m->SendControlChange(p, 1, 121, 1); },
         {0xB0, 113, 1}},
        {"ProgramChange", [](Midi* m, MidiPortPair* p) { return m->SendProgramChange(p, 5, 9); }, {0xC4, 9}},
        {"ChannelPressure", [](Midi* m, MidiPortPair* p) { return m->SendChannelPressure(p, 6, 0x7F); }, {0xD5, 0x7F}},
        {"PitchBend centre", [](Midi* m, MidiPortPair* p) { return m->SendPitchBend(p, 1, 8192); },
         {0xE0, 0x00, 0x40}},
        {"PitchBend top", [](Midi* m, MidiPortPair* p) { return m->SendPitchBend(p, 2, 16383); }, {0xE1, 0x7F, 0x7F}},
        {"AllSoundOff", [](Midi* m, MidiPortPair* p) { return m->SendAllSoundOff(p, 1); }, {0xB0, 120, 0}},
        {"ResetAllControllers", [](Midi* m, MidiPortPair* p) { return m->SendResetAllControllers(p, 1); },
         {0xB0, 121, 0}},
        {"LocalControl on", [](Midi* m, MidiPortPair* p) { return m->SendLocalControl(p, 1, 5); }, {0xB0, 122, 127}},
        {"LocalControl off", [](Midi* m, MidiPortPair* p) { return m->SendLocalControl(p, 1, 0); }, {0xB0, 122, 0}},
        {"AllNotesOff", [](Midi* m, MidiPortPair* p) { return m->SendAllNotesOff(p, 4); }, {0xB3, 123, 0}},
        {"OmniOff", [](Midi* m, MidiPortPair* p) { return m->SendOmniOff(p, 1); }, {0xB0, 124, 0}},
        {"OmniOn", [](Midi* m, MidiPortPair* p) { return m->SendOmniOn(p, 1); }, {0xB0, 125, 0}},
        {"MonoOn", [](Midi* m, MidiPortPair* p) { return m->SendMonoOn(p, 1, 4); }, {0xB0, 126, 4}},
        {"PolyOn", [](Midi* m, MidiPortPair* p) { return m->SendPolyOn(p, 1); }, {0xB0, 127, 0}},
        {"SysEx", [&](Midi* m, MidiPortPair* p) { return m->SendSysEx(p, kMixerSysExId, payload, 2); },
         {0xF0, 0x00, 0x00, 0x4E, 0x0B, 0x03, 0xF7}},
        {"TimeCode", [](Midi* m, MidiPortPair* p) { return m->SendTimeCode(p, 3, 0x1A); }, {0xF1, 0x3A}},
        {"SongPosition", [](Midi* m, MidiPortPair* p) { return m->SendSongPosition(p, 0x1234); }, {0xF2, 0x34, 0x24}},
        {"SongSelect", [](Midi* m, MidiPortPair* p) { return m->SendSongSelect(p, 0x85); }, {0xF3, 0x05}},
        {"TuneRequest", [](Midi* m, MidiPortPair* p) { return m->SendTuneRequest(p); }, {0xF6}},
        {"Clock", [](Midi* m, MidiPortPair* p) { return m->SendClock(p); }, {0xF8}},
        {"Start", [](Midi* m, MidiPortPair* p) { return m->SendStart(p); }, {0xFA}},
        {"Continue", [](Midi* m, MidiPortPair* p) { return m->SendContinue(p); }, {0xFB}},
        {"Stop", [](Midi* m, MidiPortPair* p) { return m->SendStop(p); }, {0xFC}},
        {"ActiveSensing", [](Midi* m, MidiPortPair* p) { return m->SendActiveSensing(p); }, {0xFE}},
        {"Reset", [](Midi* m, MidiPortPair* p) { return m->SendReset(p); }, {0xFF}},
        {"Message by type", [](Midi* m, MidiPortPair* p) { return m->SendMessage(p, 2, MIDI_CONTROL_CHANGE, 7, 64); },
         {0xB1, 7, 64}},
        {"Message pitch bend", [](Midi* m, MidiPortPair* p) { return m->SendMessage(p, 1, MIDI_PITCH_BEND, 0, 0); },
         {0xE0, 0x00, 0x00}},
    };
    for (const auto& c : table) {
        ASSERT_TRUE(c.send(midi, pair)) << c.name;
        EXPECT_EQ(sent(0, c.bytes.size()), c.bytes) << c.name;
    }
    EXPECT_TRUE(wire[1].take().empty());
}

TEST_F(Senders, RefusalsQueueNothing)
{
    MidiPortPair stranger{0, "Mixer", 0, "Mixer"}; // equal fields, but not in the pair list
    EXPECT_FALSE(midi->SendNoteOn(&stranger, 1, 60, 1));
    EXPECT_FALSE(midi->SendControlChange(nullptr, 1, 1, 1));
    EXPECT_EQ(midi->OpenPair(), nullptr);
    EXPECT_FALSE(midi->SendMessage(pair, 1, 25, 1, 1));
    EXPECT_FALSE(midi->SendMessage(pair, 1, -1, 1, 1));
    EXPECT_TRUE(midi->SendSysEx(pair, kMixerSysExId, nullptr, 0)); // empty: nothing queued
    EXPECT_FALSE(midi->SendSysEx(pair, kMixerSysExId, nullptr, -1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(wire[0].take().empty());
}

TEST_F(Senders, EachTargetBecomesTheOpenPairInTurn)
{
    ASSERT_TRUE(midi->SendNoteOn(pair, 1, 1, 1));
    EXPECT_EQ(midi->OpenPair(), pair);
    ASSERT_TRUE(midi->SendNoteOn(other, 1, 2, 2));
    EXPECT_EQ(midi->OpenPair(), other);
    ASSERT_TRUE(midi->SendNoteOn(pair, 1, 3, 3));
    EXPECT_EQ(midi->OpenPair(), pair);
    // Nothing crossed to the wrong port on the way.
    EXPECT_EQ(sent(0, 6), (Bytes{0x90, 1, 1, 0x90, 3, 3}));
    EXPECT_EQ(sent(1, 3), (Bytes{0x90, 2, 2}));
}

} // namespace

// The service's discovery steps by their own names: exclusion, park, probe
// (which finds the parked record again) and prune.
TEST_F(Discovery, DiscoveryStepsOfTheService)
{
    MidiMixer mixer(mixerConfig(11, "QX1600"));
    MidiMixerOnBus attached(bus, mixer);
    bus.addInputPort("ZK42 pad");
    bus.addOutputPort("ZK42 pad", nullptr);
    rescan(1);
    ASSERT_EQ(midi->PortPairCount(), 2u);
    EXPECT_FALSE(Midi::IsPortPairAllowed(nullptr));
    EXPECT_TRUE(Midi::IsPortPairAllowed(midi->PortPairAt(0)));
    EXPECT_FALSE(Midi::IsPortPairAllowed(midi->PortPairAt(1)));
    ASSERT_EQ(midi->DeviceCount(), 1u);
    MidiDevice* d = midi->DeviceAt(0);
    MidiPortPair* pair = d->portPair;

    midi->ForgetDevice(d);
    EXPECT_EQ(midi->DeviceCount(), 0u);
    {
        common::threads::CMutexGuard exclusive(Midi::locks().exclusive); // as a scan holds it
        midi->Protocol().setActive(true);
        EXPECT_TRUE(midi->ProbePortPair(pair, 10)); // as a scan probes
        midi->Protocol().setActive(false);
    }
    ASSERT_EQ(midi->DeviceCount(), 1u);
    EXPECT_EQ(midi->DeviceAt(0), d); // the parked record, found again
    EXPECT_FALSE(midi->PruneDevices());
}
