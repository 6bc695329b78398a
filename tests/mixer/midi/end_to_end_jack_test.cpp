// End to end over real MIDI: the orvo-sim-mixer program on virtual ports of a
// JACK server (scripts/with-jack), found and read by the device service
// through its RtMidi adapter.
#include "mixer/midi/midi_service.h"
#include "eventually.h"

#include "tests/sim/mixer/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace Orvo;
using Bytes = std::vector<uint8_t>;

using orvo::testing::eventually;

namespace {

struct Heard {
    std::mutex mutex;
    std::vector<Bytes> sysex;
    std::vector<std::pair<uint8_t, short>> controls;
    bool reading = true;

    static void onSysEx(Midi* m, MidiPortPair* pair, uint32_t id, const uint8_t* p, int n, void* self)
    {
        auto* h = static_cast<Heard*>(self);
        if (id != kMixerSysExId || n < 1)
            return;
        bool askValues = false;
        {
            std::lock_guard lock(h->mutex);
            h->sysex.emplace_back(p, p + n);
            askValues = p[0] == 0x08 && n >= 2 && h->reading;
            if (askValues)
                h->reading = false; // one dump, however many times the channel was asked
        }
        if (askValues) {
            const uint8_t values = 0x05;
            m->SendSysEx(pair, kMixerSysExId, &values, 1);
        }
    }
    static void onChannel(Midi*, MidiPortPair*, uint8_t channel, int type, uint8_t d1, short d2, void* self)
    {
        auto* h = static_cast<Heard*>(self);
        if (type != MIDI_CONTROL_CHANGE || channel != 15)
            return;
        std::lock_guard lock(h->mutex);
        h->controls.emplace_back(d1, d2);
    }
    bool ended()
    {
        std::lock_guard lock(mutex);
        return std::find(sysex.begin(), sysex.end(), Bytes{0x06}) != sysex.end();
    }
};

MidiDevice* findSerial(Midi* midi, uint32_t serial)
{
    for (size_t i = 0; i < midi->DeviceCount(); ++i) {
        MidiDevice* d = midi->DeviceAt(i);
        if (d && d->descriptor.serialNumber() == serial)
            return d;
    }
    return nullptr;
}

TEST(EndToEndOverJack, DiscoveryFindsTheSimulatedMixerAndReadsItsSettings)
{
    if (std::getenv("JACK_DEFAULT_SERVER") == nullptr)
        GTEST_SKIP() << "needs a JACK server (scripts/with-jack)";
    orvo::test::ChildProcess mixer({ORVO_SIM_MIXER_PATH, "--model", "2", "--serial", "4242", "--version", "1.0.5.133",
                                    "--region", "3", "--channel", "7"});
    ASSERT_TRUE(mixer.running());
    ASSERT_EQ(mixer.readLine(10000).rfind("ready", 0), 0u);

    Midi::SetPortFactory(nullptr); // the RtMidi adapter
    Midi* midi = Midi::GetInstance();
    Heard heard;
    midi->AddSysExListener(&Heard::onSysEx, &heard);
    midi->AddMessageListener(&Heard::onChannel, &heard);

    MidiDevice* d = nullptr;
    for (int attempt = 0; attempt < 3 && d == nullptr; ++attempt) {
        midi->RequestRescan(true);
        d = findSerial(midi, 4242);
    }
    ASSERT_NE(d, nullptr) << "the simulated mixer was not found";
    EXPECT_EQ(d->state, kDeviceApplication);
    EXPECT_EQ(d->descriptor.usbId(), kUsbIdSecondModel);
    EXPECT_EQ(d->descriptor.versionText(), "1.0.5");
    EXPECT_EQ(d->descriptor.firmwareBuild(), 133);
    EXPECT_EQ(d->descriptor.regionNumber(), 3u);
    EXPECT_EQ(d->descriptor.name(), "ZR90Alpha");
    EXPECT_EQ(d->descriptor.portLetter(), 'A');
    EXPECT_EQ(d->descriptor.identity().text(), "0x3a710019:00001092:A");

    // The settings read: 07, 08 ch, 05, the values, 06.
    ASSERT_TRUE(midi->OpenDevice(d->portPair));
    const uint8_t ask = 0x07;
    // Asked again while no answer comes: the server takes a new connection
    // only at its next cycle.
    bool ended = false;
    for (int attempt = 0; attempt < 20 && !ended; ++attempt) {
        ASSERT_TRUE(midi->SendSysEx(d->portPair, kMixerSysExId, &ask, 1));
        ended = eventually([&] { return heard.ended(); }, 1000);
    }
    ASSERT_TRUE(ended);
    {
        std::lock_guard lock(heard.mutex);
        // A descriptor answering a late query of the scan may come first.
        const auto channel = std::find_if(heard.sysex.begin(), heard.sysex.end(),
                                          [](const Bytes& m) { return m[0] == 0x08; });
        ASSERT_NE(channel, heard.sysex.end());
        EXPECT_EQ(*channel, (Bytes{0x08, 7}));
        EXPECT_EQ(heard.controls.size(), 18u); // every value of the second model
        for (const auto& [key, value] : heard.controls)
            EXPECT_LE(value, 127) << int{key};
    }

    // A parameter change reaches the mixer.
    ASSERT_TRUE(midi->SendControlChange(d->portPair, 15, 31, 100));
    bool arrived = false;
    for (int i = 0; i < 50 && !arrived; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        mixer.send("controls");
        arrived = mixer.readLine(5000).find(" 15:31:100") != std::string::npos;
    }
    EXPECT_TRUE(arrived);
    Midi::DestroyInstance();
    EXPECT_EQ(mixer.stop(), 0);
}

} // namespace
