#pragma once
// A bare USB device with the mixer's identity and interface layout, used by
// the machine until the simulated mixer is plugged in instead. It streams
// nothing.

#include "platform/kernel/usb_device_backend.h"

#include <vector>

namespace orvo::sim {

class BasicMixer final : public kplat::usb::DeviceBackend {
public:
    BasicMixer();
    std::span<const uint8_t> deviceDescriptor() const override { return device_; }
    std::span<const uint8_t> configurationDescriptor() const override { return config_; }
    bool highSpeed() const override { return true; }
    std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const override;
    kplat::usb::ControlResult controlTransfer(const kplat::usb::SetupPacket&, std::span<uint8_t>) override
    {
        return {kplat::usb::DeviceStatus::Stall, 0};
    }
    void setConfiguration(uint8_t) override {}
    void setInterface(uint8_t, uint8_t) override {}
    kplat::usb::IsochPacketResult isochIn(uint8_t, uint64_t, std::span<uint8_t>) override { return {}; }
    kplat::usb::IsochPacketResult isochOut(uint8_t, uint64_t, std::span<const uint8_t> packet) override
    {
        return {kplat::usb::DeviceStatus::Ok, static_cast<uint32_t>(packet.size())};
    }
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t) override { return std::nullopt; }

private:
    std::vector<uint8_t> device_;
    std::vector<uint8_t> config_;
};

} // namespace orvo::sim
