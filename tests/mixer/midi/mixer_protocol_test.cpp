#include "mixer/midi/mixer_protocol.h"

#include "mixer/midi/sysex_pack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace Orvo;
using Bytes = std::vector<uint8_t>;
using Kind = SysExReception::Kind;

constexpr uint32_t kA = 0x3A710018;
constexpr uint32_t kB = 123456789;

Bytes packedPayload(char letter, const Bytes& body)
{
    Bytes out(1 + midiPackedSize(body.size()) + 1);
    out[0] = static_cast<uint8_t>(letter);
    const size_t m = body.empty() ? 0 : midiPack7(body.data(), body.size(), out.data() + 1, out.size() - 1);
    out.resize(1 + m);
    return out;
}

Bytes words(std::initializer_list<uint32_t> ws, Bytes tail = {})
{
    Bytes out;
    for (uint32_t w : ws)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

struct ReceptionCase {
    const char* what;
    bool own;
    uint32_t id;
    Bytes payload;
    Kind expected;
};
void PrintTo(const ReceptionCase& c, std::ostream* os) { *os << c.what; }

class ReceptionTable : public ::testing::TestWithParam<ReceptionCase> {};

TEST_P(ReceptionTable, Classifies)
{
    const auto& c = GetParam();
    uint8_t scratch[kMaxSysExPayload];
    const auto r = classifySysEx(c.own, c.id, c.payload.data(), c.payload.size(), kA, kB, scratch, sizeof scratch);
    EXPECT_EQ(r.kind, c.expected) << c.what;
}

const Bytes kDescriptorBody(48, 0x81);

INSTANTIATE_TEST_SUITE_P(
    Rule, ReceptionTable,
    ::testing::Values(
        ReceptionCase{"q with the flag clear goes to the listeners", false, kMixerSysExId,
                      packedPayload('q', kDescriptorBody), Kind::Listeners},
        ReceptionCase{"settings reply while the flag is set is dropped", true, kMixerSysExId, {0x08, 0x0A},
                      Kind::Ignored},
        ReceptionCase{"settings reply while the flag is clear goes to the listeners", false, kMixerSysExId,
                      {0x08, 0x0A}, Kind::Listeners},
        ReceptionCase{"another id goes to the listeners whatever the flag", true, 0x00000141,
                      packedPayload('q', kDescriptorBody), Kind::Listeners},
        ReceptionCase{"q of 48 bytes", true, kMixerSysExId, packedPayload('q', kDescriptorBody), Kind::Descriptor},
        ReceptionCase{"q of 47 bytes", true, kMixerSysExId, packedPayload('q', Bytes(47, 1)), Kind::Ignored},
        ReceptionCase{"q of 49 bytes", true, kMixerSysExId, packedPayload('q', Bytes(49, 1)), Kind::Ignored},
        ReceptionCase{"q letter alone", true, kMixerSysExId, {'q'}, Kind::Ignored},
        ReceptionCase{"empty payload", true, kMixerSysExId, {}, Kind::Ignored},
        ReceptionCase{"s for the addressed device", true, kMixerSysExId, packedPayload('s', words({kA, kB}, {0x80})),
                      Kind::Data},
        ReceptionCase{"s with no message after the id words", true, kMixerSysExId,
                      packedPayload('s', words({kA, kB})), Kind::Ignored},
        ReceptionCase{"s shorter than its id words", true, kMixerSysExId, packedPayload('s', Bytes{1, 2, 3}),
                      Kind::Ignored},
        ReceptionCase{"s for another serial", true, kMixerSysExId, packedPayload('s', words({kA, kB + 1}, {0x80})),
                      Kind::Ignored},
        ReceptionCase{"x acknowledgement", true, kMixerSysExId, packedPayload('x', words({kA, kB, 0}, {0x7F})),
                      Kind::FlashAck},
        ReceptionCase{"x that is not an acknowledgement", true, kMixerSysExId,
                      packedPayload('x', words({kA, kB, 0}, {0x01})), Kind::Ignored},
        ReceptionCase{"x acknowledgement for another device", true, kMixerSysExId,
                      packedPayload('x', words({kA + 1, kB, 0}, {0x7F})), Kind::Ignored},
        ReceptionCase{"x one byte too long", true, kMixerSysExId,
                      packedPayload('x', words({kA, kB, 0}, {0x7F, 0x00})), Kind::Ignored},
        ReceptionCase{"x short", true, kMixerSysExId, packedPayload('x', words({kA, kB})), Kind::Ignored},
        ReceptionCase{"p echoed back", true, kMixerSysExId, {'p'}, Kind::Ignored},
        ReceptionCase{"unknown letter", true, kMixerSysExId, packedPayload('z', kDescriptorBody), Kind::Ignored}));

TEST(Reception, DescriptorUnpackedIntact)
{
    MidiDeviceDescriptor d;
    d.setUsbId(kA);
    d.setFirmwareVersion(1, 0, 5, 94);
    d.setSerialNumber(kB);
    d.setRegionNumber(3);
    d.setName("QX1600");
    d.setPortLetter('A');
    const Bytes payload = packedPayload('q', Bytes(d.data(), d.data() + 48));
    ASSERT_EQ(payload.size(), 56u);
    uint8_t scratch[64];
    const auto r = classifySysEx(true, kMixerSysExId, payload.data(), payload.size(), 0, 0, scratch, sizeof scratch);
    ASSERT_EQ(r.kind, Kind::Descriptor);
    EXPECT_EQ(r.descriptor, d);
}

TEST(Reception, ScratchTooSmallIsIgnoredNotOverrun)
{
    const Bytes payload = packedPayload('q', kDescriptorBody);
    uint8_t scratch[49] = {};
    EXPECT_EQ(classifySysEx(true, kMixerSysExId, payload.data(), payload.size(), 0, 0, scratch, 48).kind,
              Kind::Ignored);
}

TEST(DataChannel, BuildsAndComesBack)
{
    const Bytes message{0xC4, 0x01, 0x00, 0x00, 0x00};
    uint8_t out[1024];
    const size_t n = buildDataChannelPayload(kA, kB, message.data(), message.size(), out, 1023);
    ASSERT_EQ(n, 1 + midiPackedSize(8 + message.size()));
    EXPECT_EQ(out[0], 's');
    uint8_t scratch[kMaxSysExPayload];
    const auto r = classifySysEx(true, kMixerSysExId, out, n, kA, kB, scratch, sizeof scratch);
    ASSERT_EQ(r.kind, Kind::Data);
    EXPECT_EQ(Bytes(r.data, r.data + r.length), message);
}

TEST(DataChannel, LargestMessageFitsOneFrame)
{
    Bytes message(kDataChannelMaxMessage, 0xFF);
    uint8_t out[1024];
    const size_t n = buildDataChannelPayload(kA, kB, message.data(), message.size(), out, 1023);
    EXPECT_EQ(n, 1019u);
    EXPECT_LE(n, kMaxSysExPayload);
    message.push_back(0);
    EXPECT_EQ(buildDataChannelPayload(kA, kB, message.data(), message.size(), out, 1023), 0u);
    EXPECT_EQ(buildDataChannelPayload(kA, kB, message.data(), 0, out, 1023), 0u);
}

TEST(FlashParam, SixteenBytePayload)
{
    uint8_t out[32];
    ASSERT_EQ(buildFlashParamPayload(kA, kB, kFlashUnlockCode1, PROTO_OFLASH_PARAM_CMD_UNLOCK1, out, sizeof out), 16u);
    EXPECT_EQ(out[0], 'x');
    uint8_t body[16];
    ASSERT_EQ(midiUnpack7(out + 1, 15, body, sizeof body), 13u);
    EXPECT_EQ(loadLe32(body), kA);
    EXPECT_EQ(loadLe32(body + 4), kB);
    EXPECT_EQ(loadLe32(body + 8), kFlashUnlockCode1);
    EXPECT_EQ(body[12], PROTO_OFLASH_PARAM_CMD_UNLOCK1);
    EXPECT_EQ(buildFlashParamPayload(kA, kB, 0, 3, out, 15), 0u);
}

} // namespace

#include "mixer/midi/own_protocol.h"

namespace {

TEST(OwnProtocol, KeepsItsRepliesWhileActive)
{
    DeviceDirectory devices(nullptr);
    OwnProtocol own(devices);
    MidiPortPair pair;
    MidiDeviceDescriptor d;
    d.setUsbId(kA);
    d.setSerialNumber(kB);
    d.setFirmwareVersion(1, 0, 5, 94);
    d.setPortLetter('A');
    const Bytes q = packedPayload('q', Bytes(d.data(), d.data() + 48));

    // Flag clear: a 'q' goes to the listeners and makes no record.
    EXPECT_FALSE(own.receive(kMixerSysExId, q.data(), q.size(), &pair));
    EXPECT_EQ(devices.deviceCount(), 0u);

    own.setActive(true);
    EXPECT_TRUE(own.receive(kMixerSysExId, q.data(), q.size(), &pair));
    ASSERT_EQ(devices.deviceCount(), 1u);
    EXPECT_EQ(devices.deviceAt(0)->portPair, &pair);
    const Bytes channel{0x08, 0x0A};
    EXPECT_TRUE(own.receive(kMixerSysExId, channel.data(), channel.size(), &pair)); // dropped

    // Addressed exchanges.
    const Bytes ack = packedPayload('x', words({kA, kB, 0}, {0x7F}));
    EXPECT_TRUE(own.receive(kMixerSysExId, ack.data(), ack.size(), &pair));
    EXPECT_FALSE(own.acknowledged()); // nobody addressed
    own.address(kA, kB);
    own.receive(kMixerSysExId, ack.data(), ack.size(), &pair);
    EXPECT_TRUE(own.acknowledged());
    const Bytes s = packedPayload('s', words({kA, kB}, {0x84, 0x03}));
    own.receive(kMixerSysExId, s.data(), s.size(), &pair);
    const uint8_t* p;
    uint32_t n;
    ASSERT_TRUE(own.mailbox().take(&p, &n));
    EXPECT_EQ(Bytes(p, p + n), (Bytes{0x84, 0x03}));
}

} // namespace
