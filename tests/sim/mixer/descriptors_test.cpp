#include "sim/mixer/descriptors.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/uac2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace sim::mixer {
namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The configuration descriptor read the way a host reads it: a walk over
// length-prefixed descriptors.
struct Walked {
    struct Endpoint {
        uint8_t address, attributes;
        uint16_t maxPacket;
        uint8_t interval;
    };
    struct Setting {
        uint8_t number, alt, endpointsDeclared, cls, subclass, protocol;
        std::vector<Endpoint> endpoints;
        std::vector<std::vector<uint8_t>> classSpecific;
    };
    std::vector<Setting> settings;
    std::vector<std::vector<uint8_t>> beforeInterfaces; // IAD
};

Walked walk(std::span<const uint8_t> bytes) {
    Walked w;
    size_t at = bytes[0]; // past the configuration descriptor itself
    while (at < bytes.size()) {
        const uint8_t len = bytes[at];
        EXPECT_GE(len, 2u);
        EXPECT_LE(at + len, bytes.size());
        if (len < 2 || at + len > bytes.size())
            break;
        const uint8_t* d = &bytes[at];
        std::vector<uint8_t> copy(d, d + len);
        if (d[1] == uac2::kDescInterface) {
            EXPECT_EQ(len, 9);
            w.settings.push_back({d[2], d[3], d[4], d[5], d[6], d[7], {}, {}});
        } else if (w.settings.empty()) {
            w.beforeInterfaces.push_back(copy);
        } else if (d[1] == uac2::kDescEndpoint) {
            EXPECT_EQ(len, 7);
            w.settings.back().endpoints.push_back({d[2], d[3], le16(d + 4), d[6]});
        } else {
            w.settings.back().classSpecific.push_back(copy);
        }
        at += len;
    }
    EXPECT_EQ(at, bytes.size());
    return w;
}

const std::vector<uint8_t>* findClassSpecific(const Walked::Setting& s, uint8_t type, uint8_t subtype) {
    for (const auto& d : s.classSpecific)
        if (d[1] == type && d[2] == subtype)
            return &d;
    return nullptr;
}

const Walked::Setting* findSetting(const Walked& w, uint8_t number, uint8_t alt) {
    for (const auto& s : w.settings)
        if (s.number == number && s.alt == alt)
            return &s;
    return nullptr;
}

class EveryProfile : public ::testing::TestWithParam<Profile> {};

TEST_P(EveryProfile, DeviceDescriptorNamesTheMaker) {
    const Profile& p = GetParam();
    UsbAudioDevice dev(p, 1234, 'A');
    auto d = dev.deviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], uac2::kDescDevice);
    EXPECT_EQ(le16(&d[2]), 0x0200);
    EXPECT_EQ(le16(&d[8]), 0x3A71);
    EXPECT_EQ(le16(&d[10]), p.productId);
    EXPECT_EQ(d[17], 1);
    EXPECT_TRUE(dev.highSpeed());
    EXPECT_EQ(dev.stringDescriptor(d[15], 0x0409), p.product);
    EXPECT_EQ(dev.stringDescriptor(d[16], 0x0409), u"0000001234A");
    EXPECT_EQ(dev.stringDescriptor(d[14], 0x0409), u"Orvo Works");
}

TEST_P(EveryProfile, ConfigurationIsAnAudioFunctionOfThreeInterfaces) {
    const Profile& p = GetParam();
    UsbAudioDevice dev(p, 1, 'A');
    auto bytes = dev.configurationDescriptor();
    ASSERT_GE(bytes.size(), 9u);
    EXPECT_EQ(bytes[1], uac2::kDescConfiguration);
    EXPECT_EQ(le16(&bytes[2]), bytes.size());
    EXPECT_EQ(bytes[4], 3); // interfaces
    EXPECT_EQ(bytes[5], kConfigurationValue);
    Walked w = walk(bytes);

    ASSERT_EQ(w.beforeInterfaces.size(), 1u);
    const auto& iad = w.beforeInterfaces[0];
    EXPECT_EQ(iad[1], uac2::kDescInterfaceAssociation);
    EXPECT_EQ(iad[2], 0);
    EXPECT_EQ(iad[3], 3);
    EXPECT_EQ(iad[4], uac2::kClassAudio);
    EXPECT_EQ(iad[6], uac2::kProtocolIpVersion2);

    // Control interface: one setting, one interrupt IN endpoint of 6 bytes.
    const auto* control = findSetting(w, 0, 0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->subclass, uac2::kSubclassAudioControl);
    ASSERT_EQ(control->endpoints.size(), 1u);
    EXPECT_EQ(control->endpointsDeclared, 1);
    EXPECT_EQ(control->endpoints[0].address, kInterruptEndpoint);
    EXPECT_EQ(control->endpoints[0].attributes & 3, 3);
    EXPECT_EQ(control->endpoints[0].maxPacket, 6);
    EXPECT_EQ(findSetting(w, 0, 1), nullptr);

    // The class-specific header covers the entities that follow it.
    const auto* header = findClassSpecific(*control, uac2::kDescCsInterface, uac2::kAcHeader);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(le16(header->data() + 3), 0x0200);
    size_t entities = 0;
    for (const auto& d : control->classSpecific)
        entities += d.size();
    EXPECT_EQ(le16(header->data() + 6), entities);
    const auto* clock = findClassSpecific(*control, uac2::kDescCsInterface, uac2::kAcClockSource);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ((*clock)[3], kClockSourceId);
    EXPECT_EQ((*clock)[5] & 0x3, 0x3); // frequency host-programmable
}

TEST_P(EveryProfile, StreamingInterfacesCarryTheParsedFields) {
    const Profile& p = GetParam();
    UsbAudioDevice dev(p, 1, 'A');
    Walked w = walk(dev.configurationDescriptor());
    struct Case {
        uint8_t number, endpoint, terminal;
        const StreamFormat& format;
    };
    for (const Case& c : {Case{kPlaybackInterface, kPlaybackEndpoint, kPlaybackUsbTerminalId, p.playback},
                          Case{kRecordInterface, kRecordEndpoint, kRecordUsbTerminalId, p.record}}) {
        SCOPED_TRACE(c.number);
        const auto* idle = findSetting(w, c.number, 0);
        ASSERT_NE(idle, nullptr);
        EXPECT_TRUE(idle->endpoints.empty());
        EXPECT_EQ(idle->endpointsDeclared, 0);

        const auto* live = findSetting(w, c.number, 1);
        ASSERT_NE(live, nullptr);
        EXPECT_EQ(live->cls, uac2::kClassAudio);
        EXPECT_EQ(live->subclass, uac2::kSubclassAudioStreaming);
        EXPECT_EQ(live->protocol, uac2::kProtocolIpVersion2);
        ASSERT_EQ(live->endpoints.size(), 1u);
        EXPECT_EQ(live->endpoints[0].address, c.endpoint);
        EXPECT_EQ(live->endpoints[0].attributes & 3, 1); // isochronous
        EXPECT_EQ(live->endpoints[0].interval, 1);

        const auto* general = findClassSpecific(*live, uac2::kDescCsInterface, uac2::kAsGeneral);
        ASSERT_NE(general, nullptr);
        ASSERT_EQ(general->size(), 16u);
        const uint8_t* g = general->data();
        EXPECT_EQ(g[3], c.terminal);                               // bTerminalLink
        EXPECT_EQ(g[6], c.format.floatSamples ? 0x04 : 0x01);      // bmFormats, low byte
        EXPECT_EQ(g[10], c.format.channels());                     // bNrChannels
        const uint8_t names = g[15];                               // iChannelNames
        const auto& strings = dev.descriptors().strings;
        for (uint32_t ch = 0; ch < c.format.channels(); ++ch) {
            const uint32_t index = names + ch;
            if (index > 255)
                break; // the string table ends at 255
            EXPECT_EQ(dev.stringDescriptor(static_cast<uint8_t>(index), 0x0409), c.format.channelNames[ch])
                << "channel " << ch;
            EXPECT_TRUE(strings.count(static_cast<uint8_t>(index)));
        }

        const auto* format = findClassSpecific(*live, uac2::kDescCsInterface, uac2::kAsFormatType);
        ASSERT_NE(format, nullptr);
        EXPECT_EQ((*format)[4], 4); // four bytes per sample

        // The endpoint takes the largest packet of the highest rate, up to
        // what high speed allows.
        const uint16_t field = live->endpoints[0].maxPacket;
        const uint32_t bytes = (field & 0x7FF) * ((field >> 11 & 3) + 1);
        const uint32_t needed = (p.highestRate() / 8000 + 1) * c.format.channels() * 4;
        EXPECT_GE(bytes, std::min(needed, uac2::kMaxIsochPacketBytes));
        EXPECT_LE(field & 0x7FF, 1024);
        EXPECT_NE(findClassSpecific(*live, uac2::kDescCsEndpoint, uac2::kEpGeneral), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(profiles::all()),
                         [](const auto& info) {
                             std::string name = info.param.key;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

TEST(Descriptors, ModelsAreRealisticAndWithinTheClientTables) {
    for (const Profile& p : {profiles::qx1600(), profiles::zr90Alpha()}) {
        EXPECT_GT(p.record.channels(), 0u);
        EXPECT_LE(p.record.channels(), 20u);
        EXPECT_GT(p.playback.channels(), 0u);
        EXPECT_LE(p.playback.channels(), 20u);
        EXPECT_TRUE(p.supportsRate(44100));
        EXPECT_TRUE(p.supportsRate(48000));
        EXPECT_TRUE(p.supportsRate(96000));
        EXPECT_TRUE(p.supportsRate(p.initialRate));
    }
    EXPECT_EQ(profiles::qx1600().usbId(), 0x3A710018u);
    EXPECT_EQ(profiles::zr90Alpha().usbId(), 0x3A710019u);
}

TEST(Descriptors, StringsAnswerOnlyTheOfferedLanguage) {
    UsbAudioDevice dev(profiles::qx1600(), 7, 'B');
    EXPECT_EQ(dev.stringDescriptor(0, 0), std::u16string(1, char16_t{0x0409}));
    EXPECT_EQ(dev.stringDescriptor(kSerialString, 0x0409), u"0000000007B");
    EXPECT_EQ(dev.stringDescriptor(kSerialString, 0x0407), std::nullopt);
    EXPECT_EQ(dev.stringDescriptor(255, 0x0409), std::nullopt);
}

TEST(Descriptors, OverlargeProfilesStillMakeValidDescriptors) {
    // Names of 126 characters: 24 per direction overflow a 5,100-byte list.
    const Profile p = profiles::nameOverflow();
    size_t bytes = 0;
    for (const auto& n : p.record.channelNames)
        bytes += (n.size() + 1) * 2;
    EXPECT_GT(bytes, 5100u);
    // Channel names past string index 255 do not exist.
    UsbAudioDevice big(profiles::oversizePackets(), 1, 'A');
    EXPECT_EQ(big.descriptors().playbackNamesIndex, kFirstChannelNameString);
    EXPECT_EQ(big.descriptors().recordNamesIndex, kFirstChannelNameString + 240);
    EXPECT_EQ(big.descriptors().strings.rbegin()->first, 255);
    EXPECT_EQ(isochMaxPacketField(48000, 240), 1024 | 2 << 11);
}

TEST(Descriptors, ProfileThatCannotBeDescribedIsRejected) {
    Profile p = profiles::asymmetric();
    p.record.channelNames = numberedNames(u"In", 256);
    EXPECT_THROW(UsbAudioDevice(p, 1, 'A'), std::invalid_argument);
    p = profiles::asymmetric();
    p.record.channelNames[0] = std::u16string(127, u'y');
    EXPECT_THROW(UsbAudioDevice(p, 1, 'A'), std::invalid_argument);
}

TEST(Mixer, PortsShareIdentityAndDifferInPortLetter) {
    Mixer m(profiles::zr90Alpha(), 4000000001u, 2);
    EXPECT_EQ(m.identity().usbId, 0x3A710019u);
    EXPECT_EQ(m.identity().serialNumber, 4000000001u);
    ASSERT_EQ(m.portCount(), 2u);
    EXPECT_EQ(m.usb('A').serialString(), u"4000000001A");
    EXPECT_EQ(m.usb('B').serialString(), u"4000000001B");
    EXPECT_NE(&m.usb('A'), &m.usb('B'));
    EXPECT_FALSE(m.hasPort('C'));
    EXPECT_THROW(m.usb('C'), std::out_of_range);
}

} // namespace
} // namespace sim::mixer
