// The RtMidi adapter and the service over it, against virtual ports on the
// JACK server that scripts/with-jack starts (skipped without one). Not run
// under ThreadSanitizer: instrumented JACK clients miss the server's
// process-cycle deadlines and are dropped by it.
#include "mixer/midi/midi_service.h"
#include "eventually.h"
#include "mixer/midi/rtmidi_output_keeper.h"
#include "mixer/midi/rtmidi_port.h"

#include <rtmidi/RtMidi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Orvo;
using Bytes = std::vector<uint8_t>;

using orvo::testing::eventually;

namespace {

// The other end: virtual ports of a separate client, as a device would offer.
// What the input's callback uses is declared before the ports, so it outlives
// them; the output goes as the adapter's do.
struct Peer {
    std::string name = "orvo-peer-" + std::to_string(getpid());
    std::mutex mutex;
    std::vector<Bytes> received;
    std::unique_ptr<RtMidiIn> in; // what our output sends reaches here
    KeptRtMidiOut out;            // what it sends reaches our input

    Peer()
    {
        // Other programs on the server may run discovery and probe these
        // ports with the query F0 00 00 4E 70 F7: the peer ignores it.
        in = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, name + "-in");
        out = makeKeptRtMidiOut(RtMidi::UNIX_JACK, name + "-out");
        in->ignoreTypes(false, true, true);
        in->setCallback(
            [](double, std::vector<unsigned char>* m, void* self) {
                auto* p = static_cast<Peer*>(self);
                static const std::vector<unsigned char> query{0xF0, 0x00, 0x00, 0x4E, 0x70, 0xF7};
                if (*m == query)
                    return;
                std::lock_guard lock(p->mutex);
                p->received.emplace_back(m->begin(), m->end());
            },
            this);
        in->openVirtualPort("dev");
        out->openVirtualPort("dev");
    }
    void send(Bytes b) { out->sendMessage(&b); }
    std::vector<Bytes> take()
    {
        std::lock_guard lock(mutex);
        return std::move(received);
    }
};

int indexOf(MidiPortApi& port, const std::string& part)
{
    for (unsigned i = 0, n = port.portCount(); i < n; ++i)
        if (port.portName(i).find(part) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

// Opens the port whose name holds `part`. Other programs on the server add and
// remove ports meanwhile, shifting the indexes, so the name is checked again
// once the port is open.
bool openByName(MidiPortApi& port, const std::string& part, const char* localName)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int i = indexOf(port, part);
        if (i < 0)
            return false;
        port.openPort(static_cast<unsigned>(i), localName);
        if (port.isPortOpen() && port.portName(static_cast<unsigned>(i)).find(part) != std::string::npos)
            return true;
        port.closePort();
    }
    return false;
}

class OverJack : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("JACK_DEFAULT_SERVER"))
            GTEST_SKIP() << "no JACK server (run under scripts/with-jack)";
        setenv("ORVO_MIDI_API", "jack", 1);
    }
    RtMidiPortFactory factory;
};

std::atomic<int> g_changes{0};
int countChange(void*)
{
    ++g_changes;
    return 0;
}

struct Inbox {
    std::mutex mutex;
    std::vector<Bytes> messages;
    static void onInput(double, const uint8_t* b, size_t n, void* self)
    {
        auto* i = static_cast<Inbox*>(self);
        std::lock_guard lock(i->mutex);
        i->messages.emplace_back(b, b + n);
    }
    size_t size()
    {
        std::lock_guard lock(mutex);
        return messages.size();
    }
};

} // namespace

TEST_F(OverJack, AdapterCarriesMessagesBothWays)
{
    EXPECT_EQ(RtMidiPortFactory::apiName(), "jack");
    Peer peer;
    auto in = factory.makeInput(kMidiInputClientName, kMidiInputQueueLimit);
    auto out = factory.makeOutput(kMidiOutputClientName);
    ASSERT_TRUE(in && out);
    Inbox inbox;
    in->ignoreTypes(false, true, true);
    in->setInputCallback(&Inbox::onInput, &inbox);
    ASSERT_TRUE(openByName(*in, peer.name + "-out", kMidiInputPortName));
    ASSERT_TRUE(openByName(*out, peer.name + "-in", kMidiOutputPortName));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the server takes the new connections

    const Bytes cc{0xB0, 7, 100}, sysex{0xF0, 0x00, 0x00, 0x4E, 0x07, 0xF7};
    ASSERT_TRUE(out->sendMessage(cc.data(), cc.size()));
    ASSERT_TRUE(out->sendMessage(sysex.data(), sysex.size()));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(peer.mutex);
        return peer.received.size() == 2;
    }));
    EXPECT_EQ(peer.take(), (std::vector<Bytes>{cc, sysex}));

    peer.send({0x91, 1, 2});
    peer.send({0xF0, 0x00, 0x00, 0x4E, 0x08, 0x03, 0xF7});
    ASSERT_TRUE(eventually([&] { return inbox.size() == 2; }));
    EXPECT_EQ(inbox.messages[0], (Bytes{0x91, 1, 2}));
    EXPECT_EQ(inbox.messages[1], (Bytes{0xF0, 0x00, 0x00, 0x4E, 0x08, 0x03, 0xF7}));

    in->closePort();
    peer.send({0x91, 3, 4});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(inbox.size(), 2u); // nothing after the close
}

TEST_F(OverJack, SendWithoutAnOpenPortFails)
{
    auto out = factory.makeOutput(kMidiOutputClientName);
    ASSERT_TRUE(out);
    std::vector<MidiPortErrorType> errors;
    out->setErrorCallback([](MidiPortErrorType t, const std::string&, void* e) {
        static_cast<std::vector<MidiPortErrorType>*>(e)->push_back(t);
    }, &errors);
    const uint8_t b[] = {0xF8};
    EXPECT_FALSE(out->sendMessage(b, 1));
    EXPECT_EQ(errors.size(), 1u);
    out->openPort(100000, kMidiOutputPortName); // no such port: reported, not thrown
    EXPECT_FALSE(out->isPortOpen());
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(OverJack, PortsComingAndGoingAreDeviceChanges)
{
    auto in = factory.makeInput(kMidiInputClientName, kMidiInputQueueLimit);
    ASSERT_TRUE(in);
    g_changes = 0;
    in->setDeviceChangeCallback(&countChange, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the watcher has its first list
    const int before = g_changes.load();
    auto extra = makeKeptRtMidiOut(RtMidi::UNIX_JACK, "orvo-appearing-" + std::to_string(getpid()));
    extra->openVirtualPort("new");
    ASSERT_TRUE(eventually([&] { return g_changes.load() > before; }));
    const int appeared = g_changes.load();
    extra.reset();
    EXPECT_TRUE(eventually([&] { return g_changes.load() > appeared; }));
}

TEST_F(OverJack, ServiceOverRtMidi)
{
    Midi::SetPortFactory(nullptr);
    Midi* midi = Midi::GetInstance();
    ASSERT_TRUE(midi->havePortObjects());
    Peer peer;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    struct Heard {
        std::mutex mutex;
        std::vector<std::pair<MidiPortPair*, int>> values;
    } heard;
    midi->AddMessageListener(
        [](Midi*, MidiPortPair* pair, uint8_t, int type, uint8_t, short value, void* user) {
            auto* h = static_cast<Heard*>(user);
            std::lock_guard lock(h->mutex);
            if (type == MIDI_CONTROL_CHANGE)
                h->values.emplace_back(pair, value);
        },
        &heard);

    // The pair for the peer's ports (found by name; discovery would probe them).
    Midi::Locks& l = Midi::locks();
    ASSERT_EQ(l.selection.Lock(), 1); // no scan runs meanwhile (device changes only count)
    MidiPortPair* pair = nullptr;
    for (int attempt = 0; attempt < 50 && !pair; ++attempt) {
        int input = -1, output = -1;
        for (unsigned i = 0; i < midi->inputCount(); ++i)
            if (midi->inputName(i).find(peer.name + "-out") != std::string::npos)
                input = static_cast<int>(i);
        for (unsigned k = 0; k < midi->outputCount(); ++k)
            if (midi->outputName(k).find(peer.name + "-in") != std::string::npos)
                output = static_cast<int>(k);
        ASSERT_GE(input, 0);
        ASSERT_GE(output, 0);
        PortPairList::Pairs pairs;
        pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{static_cast<uint32_t>(input), midi->inputName(input),
                                                                    static_cast<uint32_t>(output),
                                                                    midi->outputName(output)}));
        midi->ClosePortPair();
        midi->Pairs().replace(std::move(pairs));
        MidiPortPair* listed = midi->PortPairAt(0);
        // Indexes shift while other programs add ports: check the names once open.
        if (midi->OpenPortPair(listed) && midi->inputName(listed->inputIndex) == listed->inputName &&
            midi->outputName(listed->outputIndex) == listed->outputName)
            pair = listed;
    }
    ASSERT_NE(pair, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the server takes the new connections

    ASSERT_EQ(midiSendMessage(midi->FramingPort(), 2, MIDI_CONTROL_CHANGE, 9, 33), 1);
    midi->WakeService();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(peer.mutex);
        return !peer.received.empty();
    }));
    EXPECT_EQ(peer.take(), std::vector<Bytes>{Bytes({0xB1, 9, 33})});

    peer.send({0xB4, 5, 77});
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(heard.mutex);
        return !heard.values.empty();
    }));
    EXPECT_EQ(heard.values[0], std::make_pair(pair, 77));

    // A port appearing is a device change for both port objects.
    const uint32_t before = midi->PendingRescans();
    auto extra = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, "orvo-appearing-" + std::to_string(getpid()));
    extra->openVirtualPort("new");
    EXPECT_TRUE(eventually([&] { return midi->PendingRescans() >= before + 2; }));
    extra.reset();
    EXPECT_TRUE(eventually([&] { return midi->PendingRescans() >= before + 4; }));

    Midi::DestroyInstance(); // with rescans pending and held back
    l.selection.Unlock();
}

// On a running server a released output is destroyed once the server has
// moved on, not kept: a kept one would stay on the server until the process
// ends.
TEST_F(OverJack, ReleasedOutputIsDestroyedNotKept)
{
    const unsigned long before = keptRtMidiOutputs();
    auto out = makeKeptRtMidiOut(RtMidi::UNIX_JACK, "orvo-released-" + std::to_string(getpid()));
    out->openVirtualPort("gone");
    const uint8_t note[] = {0x90, 60, 1};
    out->sendMessage(note, sizeof note);
    out.reset();
    EXPECT_EQ(keptRtMidiOutputs(), before);
}


// The back end named in the environment is used; one that cannot be made
// (here ALSA without a sound device) yields no port object, never an exception.
TEST(RtMidiBackEnd, ChosenByTheEnvironmentAndFailingQuietly)
{
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "this machine has an ALSA sequencer";
    setenv("ORVO_MIDI_API", "alsa", 1);
    EXPECT_EQ(RtMidiPortFactory::apiName(), "alsa");
    RtMidiPortFactory factory;
    std::unique_ptr<MidiInPort> in;
    std::unique_ptr<MidiOutPort> out;
    EXPECT_NO_THROW(in = factory.makeInput(kMidiInputClientName, kMidiInputQueueLimit));
    EXPECT_NO_THROW(out = factory.makeOutput(kMidiOutputClientName));
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
    unsetenv("ORVO_MIDI_API");
    EXPECT_EQ(RtMidiPortFactory::apiName(), "jack"); // no sequencer: JACK
}
