#include "device_helpers.h"

#include "sim/mixer/profile.h"

#include <gtest/gtest.h>

namespace sim::mixer {
namespace {

using namespace sim::mixer::testing;

TEST(ClockRequests, ClockValidIsOneByteAndFollowsTheFault) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    Reply r = get(dev, clockRequest(true, uac2::kRequestCur, uac2::kCsClockValidControl, 1));
    EXPECT_EQ(r.result.status, DeviceStatus::Ok);
    EXPECT_EQ(r.result.length, 1u);
    EXPECT_EQ(r.data[0], 1);
    Faults f;
    f.clockInvalid = true;
    dev.setFaults(f);
    r = get(dev, clockRequest(true, uac2::kRequestCur, uac2::kCsClockValidControl, 1));
    EXPECT_EQ(r.result.status, DeviceStatus::Ok);
    EXPECT_EQ(r.data[0], 0);
    EXPECT_EQ(dev.counters().clockValidReads.load(), 2u);
}

TEST(ClockRequests, ClockAnswersThroughItsEntityAndTheTerminalsItClocks) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    for (uint8_t entity : {kClockSourceId, kPlaybackUsbTerminalId, kRecordUsbTerminalId})
        EXPECT_EQ(readRate(dev, entity), 48000u) << int{entity};
    for (uint8_t entity : {uint8_t{0}, kPlaybackLineTerminalId, kRecordLineTerminalId, uint8_t{0x30}})
        EXPECT_EQ(readRate(dev, entity), std::nullopt) << int{entity};
    // The low byte of wIndex is the control interface.
    SetupPacket wrongInterface = clockRequest(true, uac2::kRequestCur, uac2::kCsSamFreqControl, 4);
    wrongInterface.wIndex |= 1;
    EXPECT_EQ(get(dev, wrongInterface).result.status, DeviceStatus::Stall);
    // A nonzero channel number or an unknown selector stalls.
    SetupPacket channel = clockRequest(true, uac2::kRequestCur, uac2::kCsSamFreqControl, 4);
    channel.wValue |= 1;
    EXPECT_EQ(get(dev, channel).result.status, DeviceStatus::Stall);
    EXPECT_EQ(get(dev, clockRequest(true, uac2::kRequestCur, 0x03, 4)).result.status, DeviceStatus::Stall);
    // Validity is read-only.
    uint8_t one = 1;
    EXPECT_EQ(dev.controlTransfer(clockRequest(false, uac2::kRequestCur, uac2::kCsClockValidControl, 1), {&one, 1})
                  .status,
              DeviceStatus::Stall);
}

TEST(ClockRequests, SetTakesOfferedRatesAndAnnouncesThem) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    dev.setConfiguration(kConfigurationValue);
    ControlResult r = setRate(dev, 96000);
    EXPECT_EQ(r.status, DeviceStatus::Ok);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(readRate(dev), 96000u);
    EXPECT_EQ(dev.sampleRate(), 96000u);

    auto message = dev.interruptIn(kInterruptEndpoint);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(*message, (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x01, 0x00, kClockSourceId}));
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), std::nullopt);

    // Setting the rate in force changes nothing and announces nothing.
    EXPECT_EQ(setRate(dev, 96000).status, DeviceStatus::Ok);
    EXPECT_EQ(dev.pendingInterruptMessages(), 0u);
}

TEST(ClockRequests, UnofferedRateIsNotTakenAndReadsBackTheOldOne) {
    UsbAudioDevice dev(profiles::zr90Alpha(), 1);
    for (uint32_t rate : {0u, 32000u, 176400u, 192000u, 48001u}) {
        EXPECT_EQ(setRate(dev, rate).status, DeviceStatus::Ok) << rate;
        EXPECT_EQ(readRate(dev), 48000u) << rate;
    }
    EXPECT_EQ(dev.pendingInterruptMessages(), 0u);
    // A continuous range takes any rate inside it at its resolution.
    UsbAudioDevice cont(profiles::continuousRange(), 1);
    setRate(cont, 72000);
    EXPECT_EQ(readRate(cont), 72000u);
    setRate(cont, 100000);
    EXPECT_EQ(readRate(cont), 72000u);
}

TEST(ClockRequests, SetWithWrongLengthStalls) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    uint8_t data[2] = {0x00, 0x77};
    EXPECT_EQ(dev.controlTransfer(clockRequest(false, uac2::kRequestCur, uac2::kCsSamFreqControl, 2), data).status,
              DeviceStatus::Stall);
    EXPECT_EQ(readRate(dev), 48000u);
}

TEST(ClockRequests, ShortReadGetsTheFirstBytes) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    Reply r = get(dev, clockRequest(true, uac2::kRequestCur, uac2::kCsSamFreqControl, 2));
    EXPECT_EQ(r.result.length, 2u);
    EXPECT_EQ(r.data[0], 48000 & 0xFF);
    EXPECT_EQ(r.data[1], 48000 >> 8);
}

struct RangeCase {
    Profile profile;
    uint16_t count; // wNumSubRanges as sent
};

class RangeBlock : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeBlock, LayoutThreeInA182ByteReply) {
    const RangeCase& c = GetParam();
    UsbAudioDevice dev(c.profile, 1);
    Reply r = get(dev, clockRequest(true, uac2::kRequestRange, uac2::kCsSamFreqControl, 182));
    ASSERT_EQ(r.result.status, DeviceStatus::Ok);
    const uint32_t full = 2 + 12 * static_cast<uint32_t>(c.profile.rates.size());
    EXPECT_EQ(r.result.length, std::min(full, 182u));
    EXPECT_EQ(r.data[0] | r.data[1] << 8, c.count);
    const size_t shown = std::min<size_t>(c.profile.rates.size(), 15);
    for (size_t i = 0; i < shown; ++i) {
        const uint8_t* e = &r.data[2 + 12 * i];
        EXPECT_EQ(le32(e), c.profile.rates[i].min) << i;
        EXPECT_EQ(le32(e + 4), c.profile.rates[i].max) << i;
        EXPECT_EQ(le32(e + 8), c.profile.rates[i].res) << i;
    }
    // Bytes past the reply stay as the host left them.
    for (size_t i = r.result.length; i < r.data.size(); ++i)
        EXPECT_EQ(r.data[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(Profiles, RangeBlock,
                         ::testing::Values(RangeCase{profiles::qx1600(), 6}, RangeCase{profiles::zr90Alpha(), 4},
                                           RangeCase{profiles::manySubranges(), 20},
                                           RangeCase{profiles::continuousRange(), 3},
                                           RangeCase{profiles::highRates(), 6}),
                         [](const auto& info) {
                             std::string name = info.param.profile.key;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

TEST(ClockRequests, RangeReplyListsTheProfileShapes) {
    EXPECT_EQ(profiles::continuousRange().rates[1].min, 48000u);
    EXPECT_EQ(profiles::continuousRange().rates[1].max, 96000u);
    EXPECT_FALSE(profiles::continuousRange().rates[1].discrete());
    EXPECT_GT(profiles::highRates().highestRate(), 192000u);
    EXPECT_GT(profiles::manySubranges().rates.size(), 15u);
}

TEST(ClockRequests, TwoByteRangeQueryGivesTheCount) {
    UsbAudioDevice dev(profiles::manySubranges(), 1);
    Reply r = get(dev, clockRequest(true, uac2::kRequestRange, uac2::kCsSamFreqControl, 2));
    EXPECT_EQ(r.result.length, 2u);
    EXPECT_EQ(r.data[0], 20);
    EXPECT_EQ(r.data[1], 0);
}

TEST(ClockRequests, PanelChangeAnnouncesAndSilentChangeDoesNot) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    dev.setConfiguration(kConfigurationValue);
    EXPECT_FALSE(dev.changeRateFromPanel(12345));
    EXPECT_TRUE(dev.changeRateFromPanel(44100));
    EXPECT_EQ(readRate(dev), 44100u);
    EXPECT_EQ(dev.pendingInterruptMessages(), 1u);
    dev.interruptIn(kInterruptEndpoint);
    dev.changeRateSilently(96000);
    EXPECT_EQ(readRate(dev), 96000u);
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), std::nullopt);
}

TEST(ClockRequests, InterruptPipeAnswersOnlyWhenConfiguredOnItsEndpoint) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    dev.changeRateFromPanel(96000);
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), std::nullopt); // not configured yet
    dev.setConfiguration(kConfigurationValue);
    EXPECT_EQ(dev.interruptIn(kRecordEndpoint), std::nullopt);
    dev.injectInterruptMessage({1, 2, 3, 4});
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint)->size(), 6u);
    EXPECT_EQ(dev.interruptIn(kInterruptEndpoint), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(dev.counters().interruptMessagesSent.load(), 2u);
}

TEST(ClockRequests, InterruptQueueIsBounded) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    dev.setConfiguration(kConfigurationValue);
    for (int i = 0; i < 40; ++i)
        dev.changeRateFromPanel(i % 2 ? 48000 : 96000);
    EXPECT_EQ(dev.pendingInterruptMessages(), 16u);
    EXPECT_EQ(dev.counters().interruptMessagesDropped.load(), 24u);
}

TEST(StandardRequests, StatusAndEndpointHaltAreAnswered) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    Reply r = get(dev, {0x80, uac2::kRequestGetStatus, 0, 0, 2});
    EXPECT_EQ(r.result.status, DeviceStatus::Ok);
    EXPECT_EQ(r.result.length, 2u);
    for (uint8_t ep : {kPlaybackEndpoint, kRecordEndpoint, kInterruptEndpoint})
        EXPECT_EQ(dev.controlTransfer({0x02, uac2::kRequestClearFeature, 0, ep, 0}, {}).status, DeviceStatus::Ok);
    EXPECT_EQ(dev.controlTransfer({0x02, uac2::kRequestClearFeature, 0, 0x05, 0}, {}).status, DeviceStatus::Stall);
    EXPECT_EQ(dev.counters().endpointHaltClears.load(), 3u);
    // Vendor requests are not understood.
    EXPECT_EQ(get(dev, {0xC0, 0x42, 0, 0, 4}).result.status, DeviceStatus::Stall);
}

} // namespace
} // namespace sim::mixer
