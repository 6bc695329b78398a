#pragma once
// A small USB device for tests of the kernel side: a control interface with
// an interrupt IN endpoint and two streaming interfaces with one isochronous
// endpoint each at alternate setting 1. Everything it is asked is recorded.

#include "platform/kernel/usb_device_backend.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kplat::testing {

class TestUsbDevice : public usb::DeviceBackend {
public:
    struct Options {
        uint16_t vendor = 0x3A71;
        uint16_t product = 0x0018;
        bool highSpeed = true;
        uint8_t channels = 2;
        uint16_t isochMaxPacket = 1024;
        // Bytes an IN packet carries (0: a zero-length packet), unless a
        // sample rate is given: then each IN packet carries the frames of its
        // microframe (rate / 8000 on average, at most one more) of 32-bit
        // samples streamSample(frame, channel).
        uint32_t inPacketBytes = 48;
        uint32_t sampleRate = 0;
        bool recordOut = true;
    };
    static uint32_t streamSample(uint64_t frame, uint32_t channel)
    {
        return static_cast<uint32_t>(frame << 8 | channel) | 0x80000000u;
    }
    // IN packets of these microframes arrive empty.
    std::function<bool(uint64_t microframe)> zeroLengthIn;

    TestUsbDevice() : TestUsbDevice(Options{}) {}
    explicit TestUsbDevice(const Options& options);

    std::span<const uint8_t> deviceDescriptor() const override { return device_; }
    std::span<const uint8_t> configurationDescriptor() const override { return config_; }
    bool highSpeed() const override { return options_.highSpeed; }
    std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const override;
    usb::ControlResult controlTransfer(const usb::SetupPacket& setup, std::span<uint8_t> data) override;
    void setConfiguration(uint8_t value) override;
    void setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
    usb::IsochPacketResult isochIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> packet) override;
    usb::IsochPacketResult isochOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> packet) override;
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t endpoint) override;
    bool attached() const override { return !pulled.load(); }

    // Pulled from its port: the bus notices at its next frame.
    std::atomic<bool> pulled{false};

    // The byte an IN packet carries at `index` in `microframe`.
    static uint8_t inByte(uint64_t microframe, size_t index) { return static_cast<uint8_t>(microframe * 7 + index); }

    void queueInterrupt(std::vector<uint8_t> message);
    std::function<usb::ControlResult(const usb::SetupPacket&, std::span<uint8_t>)> onControl;

    struct OutPacket {
        uint64_t microframe;
        std::vector<uint8_t> bytes;
    };
    std::vector<OutPacket> outPackets() const;
    std::vector<uint64_t> inMicroframes() const;
    std::vector<std::string> calls() const;

    static constexpr uint8_t kInterruptEndpoint = 0x83;
    static constexpr uint8_t kPlaybackEndpoint = 0x01;
    static constexpr uint8_t kRecordEndpoint = 0x82;

private:
    Options options_;
    std::vector<uint8_t> device_;
    std::vector<uint8_t> config_;
    mutable std::mutex mutex_;
    std::deque<std::vector<uint8_t>> interrupts_;
    std::vector<OutPacket> out_;
    std::vector<uint64_t> in_;
    std::vector<std::string> calls_;
    uint64_t inAccumulator_ = 0;
    uint64_t inFrames_ = 0;
};

} // namespace kplat::testing
