#include "sim/mixer/midi_mixer.h"

#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/sysex_pack.h"
#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using orvo::sim::MidiMixer;
using orvo::sim::MidiMixerConfig;
using Bytes = std::vector<uint8_t>;

// Collects what the mixer sends toward the host, per port.
struct Host {
    explicit Host(MidiMixer& m) : mixer(m), out(m.portCount())
    {
        for (unsigned p = 0; p < m.portCount(); ++p)
            m.setSink(p, [this, p](const uint8_t* b, size_t n) { out[p].emplace_back(b, b + n); });
    }
    void send(unsigned port, Bytes bytes) { mixer.receive(port, bytes.data(), bytes.size()); }
    void sysex(unsigned port, Bytes payload)
    {
        Bytes frame{0xF0, 0x00, 0x00, 0x4E};
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.push_back(0xF7);
        send(port, frame);
    }
    MidiMixer& mixer;
    std::vector<std::vector<Bytes>> out;
};

Bytes payloadOf(const Bytes& frame)
{
    EXPECT_GE(frame.size(), 5u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0xF0, 0x00, 0x00, 0x4E}));
    EXPECT_EQ(frame.back(), 0xF7);
    return Bytes(frame.begin() + 4, frame.end() - 1);
}

MidiMixerConfig twoPortConfig()
{
    MidiMixerConfig c;
    c.serialNumber = 123456789;
    c.regionNumber = 2;
    c.twoPorts = true;
    return c;
}

TEST(SimMidiMixer, AnswersDiscoveryWithItsDescriptor)
{
    MidiMixer mixer(twoPortConfig());
    Host host(mixer);
    EXPECT_EQ(mixer.inputName(0), "QX1600 A");
    EXPECT_EQ(mixer.outputName(1), "QX1600 B");
    host.sysex(1, {'p'});
    ASSERT_EQ(host.out[1].size(), 1u);
    EXPECT_TRUE(host.out[0].empty());
    const Bytes payload = payloadOf(host.out[1][0]);
    ASSERT_EQ(payload.size(), 56u);

    // Decoded by the product's reception rule: every field at its offset.
    uint8_t scratch[Orvo::kMaxSysExPayload];
    const auto r = Orvo::classifySysEx(true, Orvo::kMixerSysExId, payload.data(), payload.size(), 0, 0, scratch,
                                       sizeof scratch);
    ASSERT_EQ(r.kind, Orvo::SysExReception::Kind::Descriptor);
    EXPECT_EQ(r.descriptor.usbId(), 0x3A710018u);
    EXPECT_EQ(r.descriptor.versionText(), "1.0.5");
    EXPECT_EQ(r.descriptor.firmwareBuild(), 94);
    EXPECT_EQ(r.descriptor.serialNumber(), 123456789u);
    EXPECT_EQ(r.descriptor.regionNumber(), 2u);
    EXPECT_EQ(r.descriptor.name(), "QX1600");
    EXPECT_EQ(r.descriptor.portLetter(), 'B');
    EXPECT_EQ(mixer.queriesSeen(1), 1u);

    mixer.setBootloaderRunning(true);
    host.sysex(1, {'p'});
    const Bytes boot = payloadOf(host.out[1].at(1));
    const auto rb = Orvo::classifySysEx(true, Orvo::kMixerSysExId, boot.data(), boot.size(), 0, 0, scratch,
                                        sizeof scratch);
    ASSERT_EQ(rb.kind, Orvo::SysExReception::Kind::Descriptor);
    EXPECT_TRUE(rb.descriptor.fromBootloader());
    EXPECT_EQ(rb.descriptor.identity(), r.descriptor.identity());
}

TEST(SimMidiMixer, SettingsDialogue)
{
    MidiMixerConfig c;
    c.channel = 3;
    MidiMixer mixer(c);
    Host host(mixer);
    host.sysex(0, {0x07});
    ASSERT_EQ(host.out[0].size(), 1u);
    EXPECT_EQ(payloadOf(host.out[0][0]), (Bytes{0x08, 3}));

    host.sysex(0, {0x0B, 9});
    EXPECT_EQ(mixer.channel(), 9);
    host.sysex(0, {0x0B, 17}); // out of range: kept
    host.sysex(0, {0x0B});     // no argument: kept
    EXPECT_EQ(mixer.channel(), 9);

    host.out[0].clear();
    host.sysex(0, {0x05});
    const auto params = mixer.parameters();
    ASSERT_EQ(host.out[0].size(), params.size() + 1);
    size_t i = 0;
    for (const auto& [key, value] : params)
        EXPECT_EQ(host.out[0][i++], (Bytes{0xB8, key, value})); // channel 9
    EXPECT_EQ(payloadOf(host.out[0].back()), Bytes{0x06});
}

TEST(SimMidiMixer, SecondModelDumpsOnChannelFifteen)
{
    MidiMixerConfig c;
    c.usbId = 0x3A710019;
    c.name = "ZR90Alpha";
    c.channel = 2;
    MidiMixer mixer(c);
    Host host(mixer);
    host.sysex(0, {0x05});
    ASSERT_GT(host.out[0].size(), 1u);
    for (size_t i = 0; i + 1 < host.out[0].size(); ++i)
        EXPECT_EQ(host.out[0][i][0], 0xBE);
    EXPECT_TRUE(mixer.parameters().count(32));
}

TEST(SimMidiMixer, RecordsControlChangesAcrossChunks)
{
    MidiMixer mixer(MidiMixerConfig{});
    Host host(mixer);
    host.send(0, {0xB0, 'O'});
    host.send(0, {100, 0xF8, 0xB4}); // a clock byte between messages is ignored
    host.send(0, {'B', 7, 'C', 3});  // running status
    host.send(0, {0x90, 60, 100});   // not a control change: not recorded
    const std::vector<MidiMixer::ControlChange> expected{{0, 1, 'O', 100}, {0, 5, 'B', 7}, {0, 5, 'C', 3}};
    EXPECT_EQ(mixer.receivedControlChanges(), expected);
    EXPECT_EQ(mixer.parameters().at('O'), 100);

    // A System Exclusive frame split anywhere is still one message.
    host.send(0, {0xF0, 0x00});
    host.send(0, {0x00, 0x4E, 0x07});
    host.send(0, {0xF7});
    EXPECT_EQ(host.out[0].size(), 1u);
}

TEST(SimMidiMixer, SilentAndMalformedOnDemand)
{
    MidiMixer mixer(MidiMixerConfig{});
    Host host(mixer);
    mixer.setSilent(true);
    host.sysex(0, {'p'});
    host.sysex(0, {0x07});
    EXPECT_TRUE(host.out[0].empty());
    EXPECT_EQ(mixer.queriesSeen(0), 1u);
    mixer.setSilent(false);

    uint8_t scratch[Orvo::kMaxSysExPayload];
    for (auto how : {MidiMixer::Malformed::ShortDescriptor, MidiMixer::Malformed::LongDescriptor}) {
        host.out[0].clear();
        mixer.setMalformed(how);
        host.sysex(0, {'p'});
        const Bytes payload = payloadOf(host.out[0].at(0));
        EXPECT_EQ(Orvo::classifySysEx(true, Orvo::kMixerSysExId, payload.data(), payload.size(), 0, 0, scratch,
                                      sizeof scratch)
                      .kind,
                  Orvo::SysExReception::Kind::Ignored);
    }
    host.out[0].clear();
    mixer.setMalformed(MidiMixer::Malformed::ChannelWithoutData);
    host.sysex(0, {0x07});
    EXPECT_EQ(payloadOf(host.out[0].at(0)), Bytes{0x08});
}

TEST(SimMidiMixer, UnpluggedPortIsDeaf)
{
    MidiMixer mixer(twoPortConfig());
    Host host(mixer);
    std::vector<std::pair<unsigned, bool>> plugs;
    mixer.setPlugHook([&](unsigned p, bool on) { plugs.emplace_back(p, on); });
    mixer.setPortPlugged(0, false);
    host.sysex(0, {'p'});
    host.sysex(1, {'p'});
    EXPECT_TRUE(host.out[0].empty());
    EXPECT_EQ(host.out[1].size(), 1u);
    mixer.setPlugged(true);
    mixer.setPlugged(true); // no change, no second notice
    EXPECT_EQ(plugs, (std::vector<std::pair<unsigned, bool>>{{0, false}, {0, true}}));
}

struct RecordingBootloader : orvo::sim::MidiMixerBootloader {
    void onEnterBootloader(MidiMixer&, unsigned port) override { entered.push_back(port); }
    void onData(MidiMixer& m, unsigned port, const uint8_t* msg, size_t n) override
    {
        data.emplace_back(msg, msg + n);
        const uint8_t ready = 0x80;
        m.sendData(port, &ready, 1);
    }
    void onFlashParam(MidiMixer& m, unsigned port, uint32_t value, uint8_t command) override
    {
        flash.emplace_back(value, command);
        m.sendFlashAck(port, value);
    }
    std::vector<unsigned> entered;
    std::vector<Bytes> data;
    std::vector<std::pair<uint32_t, uint8_t>> flash;
};

TEST(SimMidiMixer, BootloaderHookGetsAddressedMessages)
{
    MidiMixer mixer(twoPortConfig());
    Host host(mixer);
    RecordingBootloader boot;
    mixer.setBootloader(&boot);
    const uint32_t a = 0x3A710018, b = 123456789;

    host.sysex(1, {'r'});
    EXPECT_EQ(boot.entered, std::vector<unsigned>{1});

    uint8_t buf[1024];
    const uint8_t request = 0xC0;
    size_t n = Orvo::buildDataChannelPayload(a, b, &request, 1, buf, sizeof buf);
    host.sysex(0, Bytes(buf, buf + n));
    n = Orvo::buildDataChannelPayload(a, b + 1, &request, 1, buf, sizeof buf); // another mixer's
    host.sysex(0, Bytes(buf, buf + n));
    ASSERT_EQ(boot.data, std::vector<Bytes>{Bytes{0xC0}});

    // The reply comes back addressed, and the product takes it as data.
    const Bytes reply = payloadOf(host.out[0].at(0));
    uint8_t scratch[Orvo::kMaxSysExPayload];
    auto r = Orvo::classifySysEx(true, Orvo::kMixerSysExId, reply.data(), reply.size(), a, b, scratch, sizeof scratch);
    ASSERT_EQ(r.kind, Orvo::SysExReception::Kind::Data);
    EXPECT_EQ(Bytes(r.data, r.data + r.length), Bytes{0x80});

    n = Orvo::buildFlashParamPayload(a, b, Orvo::kFlashUnlockCode1, 1, buf, sizeof buf);
    host.sysex(0, Bytes(buf, buf + n));
    ASSERT_EQ(boot.flash.size(), 1u);
    EXPECT_EQ(boot.flash[0], (std::pair<uint32_t, uint8_t>{Orvo::kFlashUnlockCode1, 1}));
    const Bytes ack = payloadOf(host.out[0].at(1));
    r = Orvo::classifySysEx(true, Orvo::kMixerSysExId, ack.data(), ack.size(), a, b, scratch, sizeof scratch);
    EXPECT_EQ(r.kind, Orvo::SysExReception::Kind::FlashAck);
}

TEST(SimMidiMixer, PackingAgreesWithTheProduct)
{
    Bytes body(48);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 37 + 0x80);
    const Bytes packed = MidiMixer::pack(body.data(), body.size());
    Bytes viaProduct(55);
    ASSERT_EQ(midiPack7(body.data(), body.size(), viaProduct.data(), viaProduct.size()), 55u);
    EXPECT_EQ(packed, viaProduct);
    EXPECT_EQ(MidiMixer::unpack(packed.data(), packed.size()), body);
}

} // namespace

namespace {

TEST(SimMidiMixer, LateRepliesLeaveAfterTheirDelay)
{
    w32::VirtualClock clock(5000, false);
    w32::Clock* previous = w32::setClock(&clock);
    {
        MidiMixer mixer(MidiMixerConfig{});
        std::mutex m;
        std::vector<uint32_t> arrivals;
        mixer.setSink(0, [&](const uint8_t*, size_t) {
            std::lock_guard lock(m);
            arrivals.push_back(w32::GetTickCount());
        });
        mixer.setReplyDelay(250);
        const Bytes query{0xF0, 0x00, 0x00, 0x4E, 'p', 0xF7};
        mixer.receive(0, query.data(), query.size());
        while (clock.blockedCount() == 0)
            std::this_thread::yield();
        clock.advance(249);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        {
            std::lock_guard lock(m);
            EXPECT_TRUE(arrivals.empty());
        }
        clock.advance(1);
        for (int i = 0; i < 2000; ++i) {
            std::lock_guard lock(m);
            if (!arrivals.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard lock(m);
        EXPECT_EQ(arrivals, std::vector<uint32_t>{5250});
    }
    w32::setClock(previous);
}

// A late reply still inside the old sink when its owner swaps it out: the swap
// waits, so the owner may free what that sink refers to once it returns.
TEST(SimMidiMixer, SwappingTheSinkWaitsForALateReplyInsideIt)
{
    MidiMixer mixer(MidiMixerConfig{});
    std::atomic<bool> entered{false}, release{false}, left{false};
    mixer.setSink(0, [&](const uint8_t*, size_t) {
        entered = true;
        while (!release)
            std::this_thread::yield();
        left = true;
    });
    mixer.setReplyDelay(1);
    const Bytes query{0xF0, 0x00, 0x00, 0x4E, 'p', 0xF7};
    mixer.receive(0, query.data(), query.size());
    while (!entered)
        std::this_thread::yield();
    std::atomic<bool> swapped{false};
    std::thread owner([&] {
        mixer.setSink(0, nullptr);
        swapped = true;
        EXPECT_TRUE(left.load());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(swapped.load());
    release = true;
    owner.join();
    EXPECT_TRUE(swapped.load());
}

} // namespace
