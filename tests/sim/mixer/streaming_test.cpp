#include "device_helpers.h"

#include "sim/mixer/test_signal.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace sim::mixer {
namespace {

using namespace sim::mixer::testing;

Profile withRate(Profile p, uint32_t rate) {
    p.initialRate = rate;
    return p;
}

// Polls the record endpoint for microframes [from, to) into a buffer of the
// driver's packet size and checks every sample against the signal.
struct Polled {
    uint64_t frames = 0;
    uint32_t minFrames = ~0u;
    uint32_t maxFrames = 0;
    uint64_t badSamples = 0;
};

Polled pollRecord(UsbAudioDevice& dev, uint64_t from, uint64_t to, uint64_t expectFirstFrame) {
    const uint32_t channels = dev.profile().record.channels();
    std::vector<uint8_t> buf(driverPacketBytes(dev.sampleRate(), channels));
    Polled p;
    uint64_t expected = expectFirstFrame;
    for (uint64_t m = from; m < to; ++m) {
        auto r = dev.isochIn(kRecordEndpoint, m, buf);
        EXPECT_EQ(r.status, DeviceStatus::Ok);
        EXPECT_EQ(r.length % (channels * 4), 0u);
        const uint32_t frames = r.length / (channels * 4);
        p.minFrames = std::min(p.minFrames, frames);
        p.maxFrames = std::max(p.maxFrames, frames);
        for (uint32_t f = 0; f < frames; ++f, ++expected)
            for (uint32_t c = 0; c < channels; ++c)
                p.badSamples += le32(&buf[(f * channels + c) * 4]) != recordSample(c, expected);
        p.frames += frames;
    }
    return p;
}

struct RateCase {
    uint32_t rate;
    uint32_t nominal; // whole frames per microframe
    bool fractional;
};

class PacketSizes : public ::testing::TestWithParam<RateCase> {};

TEST_P(PacketSizes, AverageIsTheRateAndNoPacketExceedsOneFrameMore) {
    const RateCase c = GetParam();
    UsbAudioDevice dev(withRate(profiles::qx1600(), c.rate), 1);
    startStreaming(dev);
    const uint64_t seconds = 10;
    Polled p = pollRecord(dev, 0, seconds * 8000, 0);
    EXPECT_EQ(p.frames, c.rate * seconds);
    EXPECT_EQ(p.minFrames, c.nominal);
    EXPECT_EQ(p.maxFrames, c.nominal + (c.fractional ? 1 : 0));
    EXPECT_EQ(p.badSamples, 0u);
    EXPECT_EQ(dev.counters().inPackets.load(), seconds * 8000);
    EXPECT_EQ(dev.counters().inFrames.load(), c.rate * seconds);
}

INSTANTIATE_TEST_SUITE_P(Rates, PacketSizes,
                         ::testing::Values(RateCase{44100, 5, true}, RateCase{48000, 6, false},
                                           RateCase{88200, 11, true}, RateCase{96000, 12, false},
                                           RateCase{176400, 22, true}, RateCase{192000, 24, false}),
                         [](const auto& info) { return std::to_string(info.param.rate); });

TEST(Streaming, SignalFollowsTheDeviceClockAcrossPollingGaps) {
    UsbAudioDevice dev(withRate(profiles::asymmetric(), 44100), 1);
    startStreaming(dev);
    // The host polls in bursts; frames of microframes it skipped are lost, and
    // the next packet carries the clock's frame index for its microframe.
    uint64_t m = 1000;
    for (int burst = 0; burst < 20; ++burst) {
        const uint64_t len = 8 * (1 + burst % 5);
        Polled p = pollRecord(dev, m, m + len, dev.nominalFrameAt(m));
        EXPECT_EQ(p.badSamples, 0u);
        EXPECT_EQ(p.frames, dev.nominalFrameAt(m + len) - dev.nominalFrameAt(m));
        m += len + 37;
    }
}

TEST(Streaming, RateChangeKeepsFrameIndicesContinuous) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    startStreaming(dev);
    Polled a = pollRecord(dev, 0, 800, 0);
    EXPECT_EQ(a.frames, 4800u);
    setRate(dev, 96000);
    Polled b = pollRecord(dev, 800, 1600, 4800);
    EXPECT_EQ(b.frames, 9600u);
    EXPECT_EQ(b.minFrames, 12u);
    EXPECT_EQ(b.badSamples, 0u);
    dev.changeRateSilently(44100);
    Polled c = pollRecord(dev, 1600, 2400, 4800 + 9600);
    EXPECT_EQ(c.frames, 4410u);
    EXPECT_EQ(c.badSamples, 0u);
}

TEST(Streaming, RecordEndpointIsSilentUntilItsInterfaceIsSelected) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 0, buf).status, DeviceStatus::NoResponse);
    dev.setConfiguration(kConfigurationValue);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 1, buf).status, DeviceStatus::NoResponse);
    dev.setInterface(kRecordInterface, 1);
    EXPECT_EQ(dev.alternateSetting(kRecordInterface), 1);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 2, buf).status, DeviceStatus::Ok);
    EXPECT_EQ(dev.isochIn(kPlaybackEndpoint, 3, buf).status, DeviceStatus::NoResponse);
    dev.setInterface(kRecordInterface, 0);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 4, buf).status, DeviceStatus::NoResponse);
    dev.setInterface(kRecordInterface, 1);
    dev.setConfiguration(0);
    EXPECT_EQ(dev.alternateSetting(kRecordInterface), 0);
    EXPECT_EQ(dev.isochIn(kRecordEndpoint, 5, buf).status, DeviceStatus::NoResponse);
    EXPECT_EQ(dev.counters().inInactive.load(), 5u);
}

TEST(Streaming, PacketLargerThanTheHostBufferIsLost) {
    UsbAudioDevice dev(profiles::qx1600(), 1);
    startStreaming(dev);
    std::vector<uint8_t> small(5 * 16 * 4); // room for 5 frames, 6 are due
    auto r = dev.isochIn(kRecordEndpoint, 0, small);
    EXPECT_EQ(r.status, DeviceStatus::Error);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(dev.counters().inOverflow.load(), 1u);
}

std::vector<uint8_t> outPacket(uint32_t frames, uint32_t channels, uint32_t seed) {
    std::vector<uint8_t> p(frames * channels * 4);
    for (uint32_t i = 0; i < frames * channels; ++i) {
        const uint32_t v = seed * 1000 + i;
        for (int b = 0; b < 4; ++b)
            p[i * 4 + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    return p;
}

TEST(Streaming, PlaybackIsRecordedPerPacketWithItsMicroframe) {
    UsbAudioDevice dev(profiles::asymmetric(), 1); // 2 playback channels
    startStreaming(dev);
    dev.playback().enable(2, 1000, 100);
    for (uint32_t k = 0; k < 10; ++k) {
        auto pkt = outPacket(5 + k % 2, 2, k);
        auto r = dev.isochOut(kPlaybackEndpoint, 500 + k, pkt);
        EXPECT_EQ(r.status, DeviceStatus::Ok);
        EXPECT_EQ(r.length, pkt.size());
    }
    const auto& rec = dev.playback();
    ASSERT_EQ(rec.packets().size(), 10u);
    uint64_t frame = 0;
    for (uint32_t k = 0; k < 10; ++k) {
        const auto& p = rec.packets()[k];
        EXPECT_EQ(p.microframe, 500 + k);
        EXPECT_EQ(p.frames, 5 + k % 2);
        EXPECT_EQ(p.firstFrame, frame);
        for (uint32_t f = 0; f < p.frames; ++f)
            for (uint32_t c = 0; c < 2; ++c)
                EXPECT_EQ(rec.sample(frame + f, c), k * 1000 + f * 2 + c);
        frame += p.frames;
    }
    EXPECT_EQ(rec.frames(), 55u);
    EXPECT_EQ(dev.counters().outFrames.load(), 55u);
    EXPECT_EQ(dev.counters().firstOutMicroframe.load(), 500u);
    EXPECT_EQ(dev.counters().lastOutMicroframe.load(), 509u);
}

TEST(Streaming, RecordingStopsWhenFullAndCountsTheRest) {
    UsbAudioDevice dev(profiles::asymmetric(), 1);
    startStreaming(dev);
    dev.playback().enable(2, 12, 100);
    for (uint32_t k = 0; k < 4; ++k) {
        auto pkt = outPacket(5, 2, k);
        dev.isochOut(kPlaybackEndpoint, k, pkt);
    }
    EXPECT_EQ(dev.playback().packets().size(), 2u);
    EXPECT_EQ(dev.playback().droppedPackets(), 2u);
    EXPECT_EQ(dev.counters().outFrames.load(), 20u); // counted all the same
    dev.playback().disable();
    dev.isochOut(kPlaybackEndpoint, 9, outPacket(5, 2, 9));
    EXPECT_TRUE(dev.playback().packets().empty());
    EXPECT_EQ(dev.counters().outPackets.load(), 5u);
}

TEST(Streaming, PlaybackPacketOfPartialFramesIsCountedMalformed) {
    UsbAudioDevice dev(profiles::asymmetric(), 1);
    startStreaming(dev);
    std::vector<uint8_t> odd(2 * 2 * 4 + 4);
    auto r = dev.isochOut(kPlaybackEndpoint, 0, odd);
    EXPECT_EQ(r.status, DeviceStatus::Ok);
    EXPECT_EQ(dev.counters().outMalformed.load(), 1u);
    EXPECT_EQ(dev.counters().outFrames.load(), 2u);
    // An empty packet is a packet of no frames.
    dev.isochOut(kPlaybackEndpoint, 1, {});
    EXPECT_EQ(dev.counters().outMalformed.load(), 1u);
    EXPECT_EQ(dev.counters().outPackets.load(), 2u);
}

TEST(Streaming, PlaybackEndpointNeedsItsInterface) {
    UsbAudioDevice dev(profiles::asymmetric(), 1);
    dev.setConfiguration(kConfigurationValue);
    dev.setInterface(kRecordInterface, 1);
    auto pkt = outPacket(6, 2, 0);
    EXPECT_EQ(dev.isochOut(kPlaybackEndpoint, 0, pkt).status, DeviceStatus::NoResponse);
    dev.setInterface(kPlaybackInterface, 1);
    EXPECT_EQ(dev.isochOut(kRecordEndpoint, 1, pkt).status, DeviceStatus::NoResponse);
    EXPECT_EQ(dev.isochOut(kPlaybackEndpoint, 2, pkt).status, DeviceStatus::Ok);
    EXPECT_EQ(dev.counters().outInactive.load(), 2u);
}

TEST(Streaming, SignalHelpersInvertTheSample) {
    for (uint32_t c : {0u, 5u, 19u, 254u})
        for (uint64_t f : {uint64_t{0}, uint64_t{12345}, uint64_t{0xFFFFFF}, uint64_t{0x1000001}}) {
            const uint32_t s = recordSample(c, f);
            EXPECT_EQ(sampleChannel(s), static_cast<int32_t>(c));
            EXPECT_EQ(sampleFrameBits(s), f & 0xFFFFFF);
        }
    EXPECT_EQ(sampleChannel(0), -1); // silence is no channel's sample
}

} // namespace
} // namespace sim::mixer
