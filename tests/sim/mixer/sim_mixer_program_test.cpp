// The orvo-sim-mixer program over real MIDI: a JACK server (scripts/with-jack)
// and plain RtMidi on the host side.
#include "child_process.h"

#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/rtmidi_output_keeper.h"

#include <RtMidi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

struct Received {
    std::mutex mutex;
    std::vector<Bytes> messages;
    static void callback(double, std::vector<unsigned char>* m, void* user)
    {
        auto* self = static_cast<Received*>(user);
        std::lock_guard lock(self->mutex);
        self->messages.emplace_back(m->begin(), m->end());
    }
    // Waits until a message ends with F0 00 00 4E <first> ... F7 and returns its payload.
    Bytes waitSysEx(uint8_t first, int ms = 10000)
    {
        for (int t = 0; t < ms; t += 5) {
            {
                std::lock_guard lock(mutex);
                for (const auto& m : messages)
                    if (m.size() >= 6 && m[0] == 0xF0 && m[4] == first && m.back() == 0xF7)
                        return Bytes(m.begin() + 4, m.end() - 1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return {};
    }
};

// Sends `request` until a reply led by `first` arrives: a new connection on
// the server may take a cycle or two, and what is sent before it is lost.
Bytes ask(RtMidiOut& out, Received& received, const Bytes& request, uint8_t first)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        out.sendMessage(request.data(), request.size());
        const Bytes reply = received.waitSysEx(first, 500);
        if (!reply.empty())
            return reply;
    }
    return {};
}

int findPort(RtMidi& midi, const std::string& part)
{
    for (unsigned i = 0; i < midi.getPortCount(); ++i)
        if (midi.getPortName(i).find(part) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

TEST(SimMixerProgram, AnswersOverJackAndUnplugs)
{
    if (std::getenv("JACK_DEFAULT_SERVER") == nullptr)
        GTEST_SKIP() << "needs a JACK server (scripts/with-jack)";
    orvo::test::ChildProcess mixer({ORVO_SIM_MIXER_PATH, "--model", "2", "--serial", "4242", "--name", "ZR90 test",
                                    "--version", "1.2.3.4", "--channel", "5"});
    ASSERT_TRUE(mixer.running());
    ASSERT_EQ(mixer.readLine(10000).rfind("ready", 0), 0u);

    // What the input's callback fills outlives the input.
    Received received;
    RtMidiIn in(RtMidi::UNIX_JACK, "program test in");
    const Orvo::KeptRtMidiOut kept = Orvo::makeKeptRtMidiOut(RtMidi::UNIX_JACK, "program test out");
    RtMidiOut& out = *kept;
    in.ignoreTypes(false, true, true);
    in.setCallback(&Received::callback, &received);
    const int i = findPort(in, "ZR90 test");
    const int o = findPort(out, "ZR90 test");
    ASSERT_GE(i, 0);
    ASSERT_GE(o, 0);
    in.openPort(static_cast<unsigned>(i));
    out.openPort(static_cast<unsigned>(o));

    const Bytes query{0xF0, 0x00, 0x00, 0x4E, 'p', 0xF7};
    const Bytes q = ask(out, received, query, 'q');
    uint8_t scratch[Orvo::kMaxSysExPayload];
    const auto r = Orvo::classifySysEx(true, Orvo::kMixerSysExId, q.data(), q.size(), 0, 0, scratch, sizeof scratch);
    ASSERT_EQ(r.kind, Orvo::SysExReception::Kind::Descriptor);
    EXPECT_EQ(r.descriptor.usbId(), Orvo::kUsbIdSecondModel);
    EXPECT_EQ(r.descriptor.serialNumber(), 4242u);
    EXPECT_EQ(r.descriptor.firmwareVersion(), 0x01020304u);
    EXPECT_EQ(r.descriptor.name(), "ZR90 test");
    EXPECT_EQ(r.descriptor.portLetter(), 'A');

    const Bytes askChannel{0xF0, 0x00, 0x00, 0x4E, 0x07, 0xF7};
    EXPECT_EQ(ask(out, received, askChannel, 0x08), (Bytes{0x08, 5}));
    const Bytes askValues{0xF0, 0x00, 0x00, 0x4E, 0x05, 0xF7};
    out.sendMessage(askValues.data(), askValues.size());
    ASSERT_EQ(received.waitSysEx(0x06), Bytes{0x06});
    {
        std::lock_guard lock(received.mutex);
        size_t controls = 0;
        for (const auto& m : received.messages)
            if (m.size() == 3 && m[0] == 0xBE) // channel 15 for the second model
                ++controls;
        EXPECT_EQ(controls, 18u);
    }

    const Bytes control{0xB2, 31, 100};
    out.sendMessage(control.data(), control.size());
    std::string controls;
    for (int i = 0; i < 250 && controls != "controls 1 3:31:100"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        mixer.send("controls");
        controls = mixer.readLine(5000);
    }
    EXPECT_EQ(controls, "controls 1 3:31:100");

    in.closePort();
    out.closePort();
    mixer.send("unplug");
    EXPECT_EQ(mixer.readLine(5000), "unplugged");
    EXPECT_LT(findPort(in, "ZR90 test"), 0);
    mixer.send("plug");
    EXPECT_EQ(mixer.readLine(5000), "plugged");
    EXPECT_GE(findPort(out, "ZR90 test"), 0);
    EXPECT_EQ(mixer.stop(), 0);
}

} // namespace
