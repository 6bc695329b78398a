#include "sim/mixer/midi_mixer_bus.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

using orvo::sim::MidiBus;
using orvo::sim::MidiMixer;
using orvo::sim::MidiMixerConfig;
using orvo::sim::MidiMixerOnBus;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

struct Received {
    std::mutex mutex;
    std::vector<Bytes> messages;
    static void onInput(double, const uint8_t* b, size_t n, void* self)
    {
        auto* r = static_cast<Received*>(self);
        std::lock_guard lock(r->mutex);
        r->messages.emplace_back(b, b + n);
    }
};

class MixerOnBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        in->setInputCallback(&Received::onInput, &received);
        in->ignoreTypes(false, true, true);
    }
    // Sends 'p' on the pair at `index` and returns the replies.
    std::vector<Bytes> query(unsigned index)
    {
        in->openPort(index, "RtMidi Input");
        out->openPort(index, "RtMidi Output");
        const Bytes p{0xF0, 0x00, 0x00, 0x4E, 'p', 0xF7};
        out->sendMessage(p.data(), p.size());
        bus.flush();
        in->closePort();
        out->closePort();
        std::lock_guard lock(received.mutex);
        return std::move(received.messages);
    }

    MidiBus bus;
    Received received;
    std::unique_ptr<Orvo::MidiInPort> in = bus.makeInput("RtMidi Input Client", 100);
    std::unique_ptr<Orvo::MidiOutPort> out = bus.makeOutput("RtMidi Output Client");
};

TEST_F(MixerOnBusTest, PortsFollowThePlug)
{
    int changes = 0;
    bus.setPortsChangedHook([&] { ++changes; });
    MidiMixerConfig c;
    c.twoPorts = true;
    MidiMixer mixer(c);
    {
        MidiMixerOnBus attached(bus, mixer);
        EXPECT_EQ(bus.inputNames(), (Names{"QX1600 A", "QX1600 B"}));
        EXPECT_EQ(bus.outputNames(), (Names{"QX1600 A", "QX1600 B"}));
        const auto replies = query(1);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].size(), 61u);
        EXPECT_EQ(replies[0][4], 'q');
        EXPECT_EQ(mixer.queriesSeen(1), 1u);

        mixer.setPortPlugged(0, false);
        EXPECT_EQ(bus.inputNames(), Names{"QX1600 B"});
        mixer.setPlugged(false);
        EXPECT_TRUE(bus.inputNames().empty());
        EXPECT_TRUE(bus.outputNames().empty());
        mixer.setPlugged(true);
        EXPECT_EQ(bus.inputNames(), (Names{"QX1600 A", "QX1600 B"}));
        EXPECT_GT(changes, 0);
    }
    EXPECT_TRUE(bus.inputNames().empty()); // detaching takes the ports away
}

TEST_F(MixerOnBusTest, SecondMixerShiftsTheFirstOnesIndexes)
{
    MidiMixerConfig c1;
    c1.serialNumber = 1;
    MidiMixer first(c1);
    MidiMixerConfig c2;
    c2.serialNumber = 2;
    c2.portName = "2- QX1600";
    MidiMixer second(c2);
    MidiMixerOnBus a(bus, first);
    MidiMixerOnBus b(bus, second, 0);
    EXPECT_EQ(bus.inputNames(), (Names{"2- QX1600", "QX1600"}));
    const auto replies = query(1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(first.queriesSeen(0), 1u);
    EXPECT_EQ(second.queriesSeen(0), 0u);
}

} // namespace
