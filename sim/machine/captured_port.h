#pragma once
// A mixer's USB port as the machine process plugs it into the bus: every call
// goes to the mixer, and on command what its OUT side accepts is kept as
// well. Unlike the mixer's own recorder, a capture can start and end while
// the bus streams: the packet path and the commands share a lock, and the
// storage is made and handed over outside it.

#include "platform/kernel/usb_device_backend.h"
#include "sim/mixer/playback_recorder.h"

#include <cstdint>
#include <mutex>

namespace orvo::machine {

class CapturedPort final : public kplat::usb::DeviceBackend {
public:
    CapturedPort(kplat::usb::DeviceBackend& device, uint32_t playbackChannels)
        : device_(device), channels_(playbackChannels)
    {
    }

    // Starts keeping at most `frames` frames (any capture before is dropped).
    void startCapture(uint64_t frames, uint64_t packets);
    // What was kept since the start; keeping ends.
    sim::mixer::PlaybackRecorder takeCapture();

    std::span<const uint8_t> deviceDescriptor() const override { return device_.deviceDescriptor(); }
    std::span<const uint8_t> configurationDescriptor() const override { return device_.configurationDescriptor(); }
    bool highSpeed() const override { return device_.highSpeed(); }
    std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const override
    {
        return device_.stringDescriptor(index, langId);
    }
    kplat::usb::ControlResult controlTransfer(const kplat::usb::SetupPacket& setup, std::span<uint8_t> data) override
    {
        return device_.controlTransfer(setup, data);
    }
    void setConfiguration(uint8_t value) override { device_.setConfiguration(value); }
    void setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override
    {
        device_.setInterface(interfaceNumber, alternateSetting);
    }
    kplat::usb::IsochPacketResult isochIn(uint8_t endpointAddress, uint64_t microframe,
                                          std::span<uint8_t> packet) override
    {
        return device_.isochIn(endpointAddress, microframe, packet);
    }
    kplat::usb::IsochPacketResult isochOut(uint8_t endpointAddress, uint64_t microframe,
                                           std::span<const uint8_t> packet) override;
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t endpointAddress) override
    {
        return device_.interruptIn(endpointAddress);
    }
    bool attached() const override { return device_.attached(); }

private:
    kplat::usb::DeviceBackend& device_;
    const uint32_t channels_;
    std::mutex mutex_;
    sim::mixer::PlaybackRecorder capture_;
};

} // namespace orvo::machine
