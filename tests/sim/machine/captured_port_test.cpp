// A capture of the OUT side started and taken while packets arrive on the
// bus's thread: each capture holds whole packets, in order, with nothing
// lost between its start and its end.

#include "sim/machine/captured_port.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

using kplat::usb::DeviceStatus;

constexpr uint32_t kChannels = 2;
constexpr uint32_t kFrames = 6;

// Takes every packet whole; refuses every third one.
class Sink final : public kplat::usb::DeviceBackend {
public:
    std::span<const uint8_t> deviceDescriptor() const override { return {}; }
    std::span<const uint8_t> configurationDescriptor() const override { return {}; }
    bool highSpeed() const override { return true; }
    std::optional<std::u16string> stringDescriptor(uint8_t, uint16_t) const override { return std::nullopt; }
    kplat::usb::ControlResult controlTransfer(const kplat::usb::SetupPacket&, std::span<uint8_t>) override
    {
        return {DeviceStatus::Stall, 0};
    }
    void setConfiguration(uint8_t) override {}
    void setInterface(uint8_t, uint8_t) override {}
    kplat::usb::IsochPacketResult isochIn(uint8_t, uint64_t, std::span<uint8_t>) override
    {
        return {DeviceStatus::NoResponse, 0};
    }
    kplat::usb::IsochPacketResult isochOut(uint8_t, uint64_t microframe, std::span<const uint8_t> packet) override
    {
        if (microframe % 3 == 2)
            return {DeviceStatus::NoResponse, 0};
        return {DeviceStatus::Ok, static_cast<uint32_t>(packet.size())};
    }
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t) override { return std::nullopt; }
};

TEST(CapturedPort, CapturesTakenWhilePacketsArriveHoldWholeAcceptedPackets)
{
    Sink sink;
    orvo::machine::CapturedPort port(sink, kChannels);
    std::atomic<bool> done{false};
    // Microframe m carries samples m * 100 + i.
    std::thread bus([&] {
        std::array<uint32_t, kChannels * kFrames> packet;
        for (uint64_t m = 0; !done.load(); ++m) {
            for (uint32_t i = 0; i < packet.size(); ++i)
                packet[i] = static_cast<uint32_t>(m * 100 + i);
            port.isochOut(0x01, m, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(packet.data()),
                                                            sizeof packet));
        }
    });
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        port.startCapture(100000, 100000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const sim::mixer::PlaybackRecorder taken = port.takeCapture();
        ASSERT_EQ(taken.frames() % kFrames, 0u);
        const auto packets = taken.packets();
        for (size_t p = 0; p < packets.size(); ++p) {
            const uint64_t m = packets[p].microframe;
            EXPECT_NE(m % 3, 2u) << "a refused packet was kept";
            if (p > 0) {
                EXPECT_EQ(m, packets[p - 1].microframe + (m % 3 == 0 ? 2 : 1)) << "a packet went missing";
            }
            for (uint32_t i = 0; i < kChannels * kFrames; ++i)
                ASSERT_EQ(taken.sample(packets[p].firstFrame + i / kChannels, i % kChannels), static_cast<uint32_t>(m * 100 + i));
        }
    }
    done = true;
    bus.join();
    EXPECT_EQ(port.takeCapture().frames(), 0u); // nothing kept once taken
}

} // namespace
